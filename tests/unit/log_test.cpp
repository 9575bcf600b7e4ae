#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "case_name.h"
#include "hex.h"
#include "log/format.h"
#include "log/mdlog.h"
#include "log_capture.h"

using mdlog::Arg;
using mdlog::Format;

struct FormatCase {
    const char* format;
    std::vector<Arg> args;
    const char* expected;
};

std::string FormatWith(const char* format, const std::vector<Arg>& args) {
    switch (args.size()) {
        case 0:
            return Format(format, {});
        case 1:
            return Format(format, {args[0]});
        case 2:
            return Format(format, {args[0], args[1]});
        default:
            return Format(format, {args[0], args[1], args[2]});
    }
}

TEST(LogFormat, ConversionsWriteTheSameBytesAsWindowsPrintf) {
    const WCHAR wide[] = {'P', 'I', 'N', 0x00E9, 0};
    const FormatCase cases[] = {
        {"%d", {Arg(-5)}, "-5"},
        {"%d", {Arg(0x80100004u)}, "-2146435068"},   // "%d" reads 32 bits, signed
        {"%lu", {Arg(uint64_t{0x100000007})}, "7"},  // "l" is 32 bits as on Windows
        {"%llx", {Arg(0x80100004u)}, "80100004"},
        {"%llx", {Arg(int64_t{-1})}, "ffffffffffffffff"},
        {"0x%08X", {Arg(0x6982)}, "0x00006982"},
        {"%02x", {Arg(0x7)}, "07"},
        {"%x %X", {Arg(0xabc), Arg(0xabc)}, "abc ABC"},
        {"%3d|%-3d|", {Arg(4), Arg(4)}, "  4|4  |"},
        {"%s", {Arg("cardcf")}, "cardcf"},
        {"%s", {Arg(static_cast<const char*>(nullptr))}, ""},
        {"%ws", {Arg(wide)}, "PIN\xC3\xA9"},
        {"%S", {Arg(wide)}, "PIN\xC3\xA9"},
        {"%ws", {Arg(static_cast<const WCHAR*>(nullptr))}, ""},
        {"100%% done", {}, "100% done"},
        {"%d and %s", {Arg(1)}, "1 and "},  // a missing argument prints nothing
        {"%q stays", {}, "%q stays"},
        {"ends with %", {}, "ends with %"},
        {"%s", {Arg(7)}, ""},  // an integer where a string belongs prints nothing
    };
    for (const FormatCase& c : cases) EXPECT_EQ(FormatWith(c.format, c.args), c.expected) << c.format;
}

TEST(LogFormat, InvalidUtf16ShowsAsQuestionMarks) {
    const WCHAR lone[] = {'A', 0xD800, 'B', 0};
    EXPECT_EQ(mdlog::WideForLog(lone), "A?B");
}

TEST(LogFormat, TimeLineMatchesTheCLibraryTwentyFourCharacterForm) {
    for (std::time_t t :
         {std::time_t{0}, std::time_t{1733329418}, std::time_t{1796400000}, std::time_t{951782400}}) {
        std::tm local{};
        ASSERT_NE(::localtime_r(&t, &local), nullptr);
        char expected[64];
        ASSERT_NE(::asctime_r(&local, expected), nullptr);
        EXPECT_EQ(mdlog::TimeLine(local) + "\n", expected);
        EXPECT_EQ(mdlog::TimeLine(local).size(), 24u);
    }
}

TEST(Log, EntryIsTimeLineMessageAndBlankLine) {
    LogCapture log;
    MdLog("<P:%lu; T:%lu>: CardReadFile(pszDirectoryName: %s)", 12, 34, "mscp");
    const std::string text = log.Read();
    const std::regex shape(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n"
        "<P:12; T:34>: CardReadFile\\(pszDirectoryName: mscp\\)\n\n");
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST(Log, EntriesAppendToWhatIsThere) {
    LogCapture log;
    MdLogRaw("SCardTransmit error = 0x%08X", 0x80100068u);
    MdLogRaw("second");
    EXPECT_EQ(log.Read(), "SCardTransmit error = 0x80100068\n\nsecond\n\n");
}

TEST(Log, HexDumpsMatchTheExpectedFileByteForByte) {
    LogCapture log;
    const auto apdu = Hex("00 C0 00 00 10");
    MdLogHex(HELIX_WTEXT("CAPDU: "), apdu.data(), apdu.size());
    MdLogHex(HELIX_WTEXT("RAPDU: "), nullptr, 0);
    const auto value = Hex("01 00 00 00");
    MdLogHex(HELIX_WTEXT("Free Space"), value.data(), value.size(), HexHeader::Arrow);
    EXPECT_EQ(log.Read(), ReadTestData("log/hex_dump.log"));
}

TEST(Log, TableDumpMatchesTheExpectedFileByteForByte) {
    LogCapture log;
    // 20 bytes: a full line and a short one whose characters follow its last group directly.
    const auto record = Hex("00 41 42 43 25 64 25 73 7F 80 FF 20 7E 1F 30 31  32 33 34 25");
    MdLogHexTable(record.data(), record.size());
    EXPECT_EQ(log.Read(), ReadTestData("log/table_dump.log"));
}

TEST(Log, LongDumpsAreWrittenWhole) {
    LogCapture log;
    std::vector<uint8_t> big(6000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    MdLogHex(HELIX_WTEXT("RAPDU: "), big.data(), big.size());
    const std::string hex = log.Read();
    EXPECT_EQ(hex.size(), std::string("RAPDU:  (6000 bytes): ").size() + 3 * 6000 + 2);
    EXPECT_EQ(hex.substr(hex.size() - 8), "6e 6f \n\n");

    LogCapture table;
    MdLogHexTable(big.data(), big.size());
    const std::string text = table.Read();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 375);  // 6000 / 16 lines, none lost
}

struct LogPathCase {
    const char* name;
    std::optional<size_t> length;  // nullopt: the variable is unset
    bool written;
};

class LogPath : public testing::TestWithParam<LogPathCase> {};

// A path names at most 259 characters; a longer one turns the log off even where the file could be made.
TEST_P(LogPath, DecidesWhetherAnEntryIsWritten) {
    const LogPathCase& c = GetParam();
    const std::string dir = "/tmp/helix-log-path-" + std::to_string(::getpid()) + "/" + std::string(200, 'd');
    ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
    const std::string path = c.length ? dir + "/" + std::string(*c.length - dir.size() - 1, 'f') : "";
    if (c.length) {
        ::setenv("TQ_MD_LOG", path.c_str(), 1);
    } else {
        ::unsetenv("TQ_MD_LOG");
    }
    const auto bytes = Hex("01 02");
    MdLog("entry");
    MdLogRaw("raw");
    MdLogHex(HELIX_WTEXT("CAPDU: "), bytes.data(), bytes.size());
    MdLogHexTable(bytes.data(), bytes.size());
    ::unsetenv("TQ_MD_LOG");
    EXPECT_EQ(::access(path.c_str(), F_OK) == 0, c.written);
    ASSERT_EQ(std::system(("rm -rf /tmp/helix-log-path-" + std::to_string(::getpid())).c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogPath,
                         testing::Values(LogPathCase{"Unset", std::nullopt, false},
                                         LogPathCase{"Longest", 259, true},
                                         LogPathCase{"OneTooLong", 260, false},
                                         LogPathCase{"FarTooLong", 300, false}),
                         CaseName());

TEST(Log, EmptyVariableOrUnwritablePlaceDropsTheEntryAndCreatesNothing) {
    for (const char* path : {"", "/nonexistent-helix-dir/helix.log"}) {
        ::setenv("TQ_MD_LOG", path, 1);
        MdLog("dropped %d", 1);
        MdLogHex(HELIX_WTEXT("CAPDU: "), nullptr, 0);
    }
    ::unsetenv("TQ_MD_LOG");
    EXPECT_NE(::access("/nonexistent-helix-dir", F_OK), 0);
    // Nothing kept from the failed writes: the next entry is whole.
    LogCapture log;
    MdLogRaw("next");
    EXPECT_EQ(log.Read(), "next\n\n");
}
