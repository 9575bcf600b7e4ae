#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "hex.h"
#include "log/format.h"
#include "log/mdlog.h"
#include "log_capture.h"

using mdlog::Arg;
using mdlog::Format;

TEST(LogFormat, ConversionsWriteTheSameBytesAsWindowsPrintf) {
    const WCHAR wide[] = {'P', 'I', 'N', 0x00E9, 0};
    const struct {
        const char* format;
        std::vector<Arg> args;
        const char* expected;
    } cases[] = {
        {"%d", {Arg(0x80100004u)}, "-2146435068"},   // "%d" reads 32 bits, signed
        {"%lu", {Arg(uint64_t{0x100000007})}, "7"},  // "l" is 32 bits as on Windows
        {"%llx", {Arg(0x80100004u)}, "80100004"},
        {"%llx", {Arg(int64_t{-1})}, "ffffffffffffffff"},
        {"0x%08X", {Arg(0x6982)}, "0x00006982"},
        {"%x %X", {Arg(0xabc), Arg(0xabc)}, "abc ABC"},
        {"%3d|%-3d|", {Arg(4), Arg(4)}, "  4|4  |"},
        {"%s", {Arg("cardcf")}, "cardcf"},
        {"%s", {Arg(static_cast<const char*>(nullptr))}, ""},
        {"%ws", {Arg(wide)}, "PIN\xC3\xA9"},
        {"%ws", {Arg(static_cast<const WCHAR*>(nullptr))}, ""},
        {"100%% done", {}, "100% done"},
        {"%d and %s", {Arg(1)}, "1 and "},  // a missing argument prints nothing
        {"%q stays", {}, "%q stays"},
        {"%s", {Arg(7)}, ""},  // an integer where a string belongs prints nothing
    };
    for (const auto& c : cases) {
        const std::vector<Arg>& a = c.args;
        const std::string out = a.empty()       ? Format(c.format, {})
                                : a.size() == 1 ? Format(c.format, {a[0]})
                                                : Format(c.format, {a[0], a[1]});
        EXPECT_EQ(out, c.expected) << c.format;
    }
    const WCHAR lone[] = {'A', 0xD800, 'B', 0};
    EXPECT_EQ(mdlog::WideForLog(lone), "A?B") << "invalid UTF-16 shows as question marks";
}

TEST(Log, EntriesAreATimeLineTheMessageAndABlankLineAppendedToWhatIsThere) {
    LogCapture log;
    MdLog("<P:%lu; T:%lu>: CardReadFile(pszDirectoryName: %s)", 12, 34, "mscp");
    MdLogRaw("SCardTransmit error = 0x%08X", 0x80100068u);
    MdLogRaw("second");
    const std::regex shape(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n"
        "<P:12; T:34>: CardReadFile\\(pszDirectoryName: mscp\\)\n\n"
        "SCardTransmit error = 0x80100068\n\nsecond\n\n");
    EXPECT_TRUE(std::regex_match(log.Read(), shape)) << log.Read();
}

TEST(Log, DumpsMatchTheExpectedFilesByteForByte) {
    LogCapture log;
    const auto apdu = Hex("00 C0 00 00 10");
    MdLogHex(HELIX_WTEXT("CAPDU: "), apdu.data(), apdu.size());
    MdLogHex(HELIX_WTEXT("RAPDU: "), nullptr, 0);
    const auto value = Hex("01 00 00 00");
    MdLogHex(HELIX_WTEXT("Free Space"), value.data(), value.size(), HexHeader::Arrow);
    EXPECT_EQ(log.Read(), ReadTestData("log/hex_dump.log"));

    LogCapture table;
    // 20 bytes: a full line and a short one whose characters follow its last group directly.
    const auto record = Hex("00 41 42 43 25 64 25 73 7F 80 FF 20 7E 1F 30 31  32 33 34 25");
    MdLogHexTable(record.data(), record.size());
    EXPECT_EQ(table.Read(), ReadTestData("log/table_dump.log"));
}

// A path names at most 259 characters; a longer one turns the log off even where the file could be made. No
// variable, an empty one or an unwritable place drop the entry and create nothing.
TEST(Log, PathDecidesWhetherAnEntryIsWritten) {
    const std::string top = "/tmp/helix-log-path-" + std::to_string(::getpid());
    const std::string dir = top + "/" + std::string(200, 'd');
    std::filesystem::create_directories(dir);
    const auto bytes = Hex("01 02");
    ::unsetenv("TQ_MD_LOG");
    for (const auto& [length, written] : {std::pair{0, false}, {259, true}, {260, false}, {300, false}}) {
        const std::string path = length != 0 ? dir + "/" + std::string(length - dir.size() - 1, 'f') : "";
        if (length != 0) ::setenv("TQ_MD_LOG", path.c_str(), 1);
        MdLog("entry");
        MdLogRaw("raw");
        MdLogHex(HELIX_WTEXT("CAPDU: "), bytes.data(), bytes.size());
        MdLogHexTable(bytes.data(), bytes.size());
        ::unsetenv("TQ_MD_LOG");
        EXPECT_EQ(::access(path.c_str(), F_OK) == 0, written) << length;
    }
    std::filesystem::remove_all(top);

    for (const char* path : {"", "/nonexistent-helix-dir/helix.log"}) {
        ::setenv("TQ_MD_LOG", path, 1);
        MdLog("dropped %d", 1);
        MdLogHex(HELIX_WTEXT("CAPDU: "), nullptr, 0);
    }
    ::unsetenv("TQ_MD_LOG");
    EXPECT_NE(::access("/nonexistent-helix-dir", F_OK), 0);
    LogCapture log;  // nothing kept from the failed writes: the next entry is whole
    MdLogRaw("next");
    EXPECT_EQ(log.Read(), "next\n\n");
}
