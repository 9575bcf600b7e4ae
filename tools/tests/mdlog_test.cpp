#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mdlog/commands.h"
#include "mdlog/log_lines.h"
#include "mdlog/redact.h"
#include "mdlog/render.h"
#include "mdlog/story.h"

namespace mdlog {
namespace {

Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// The module's dump of a command or answer: "CAPDU:  (n bytes): 00 a4 ".
std::string Dump(const char* title, const std::string& hex) {
    const Bytes bytes = Hex(hex);
    std::string pairs = bytes.empty() ? "" : HexText(bytes) + " ";
    for (char& c : pairs) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::string(title) + " (" + std::to_string(bytes.size()) + " bytes): " + pairs + "\n\n";
}

std::string CallLine(unsigned pid, const std::string& call) {
    return "Sun Dec  6 10:00:0" + std::to_string(pid % 10) + " 2026\n<P:" + std::to_string(pid) +
           "; T:" + std::to_string(pid + 1) + ": hSCardCtx:0x00000001; hScard:0x00000002>: " + call + "\n\n";
}

std::vector<Call> Calls(const std::string& log) {
    std::vector<Call> calls;
    Assembler assembler([&](const Call& c) { calls.push_back(c); });
    std::istringstream in(log);
    std::string text;
    uint64_t number = 0;
    while (std::getline(in, text)) assembler.Add(ParseLine(text, ++number));
    assembler.Finish();
    return calls;
}

const char* const kSelectApplet = "00A404000CA000000164505249534D0001";

// Answers are untrusted text too: an FCP is decoded, a word missing said so.
TEST(Commands, AnswersAreToldWithTheirWordAndTemplate) {
    EXPECT_EQ(DescribeResponse(0xA4, Hex("6218830240008701018002001286080000002000FF00FF8A01049000")),
              "9000 success, normalised success; FCP: identifier 4000, file of 18 bytes, access 00/20, "
              "attributes 0000002000FF00FF");
    EXPECT_EQ(DescribeResponse(0xB0, Hex("90")), "no status word (1 bytes)");
}

// Per call: name, the host's code, the commands' names joined by "|".
TEST(Assembler, TellsEachCallWithItsCommandsAndOutcome) {
    const std::pair<std::string, std::vector<std::string>> stories[] = {
        // An exception ends a call; the next call of the process ends the one before.
        {CallLine(7, "CardReadFile(pszDirectoryName: mscp, pszFileName: msroots, dwFlags: 0)") +
             Dump("CAPDU: ", "80A4080C0A3F00300030033005400400") + Dump("RAPDU: ", "6A82") +
             "Sun Dec  6 10:00:07 2026\nException: 80100024\n\n" + CallLine(7, "CardQueryCapabilities()"),
         {"CardReadFile 2148532260 SELECT 3F00/3000/3003/3005/4004 by path|", "CardQueryCapabilities 0 "}},
        // Chained pieces are numbered to the last; GET RESPONSE does not break the chain.
        {CallLine(7, "CardSignData(dwSigningFlags: 0x00000000, dwPaddingType: 2, szDataToSign: 32)") +
             Dump("CAPDU: ", "102A9E9A02AAAA") + Dump("RAPDU: ", "9000") +
             Dump("CAPDU: ", "002A9E9A02CCCC00") + Dump("RAPDU: ", "6102") +
             Dump("CAPDU_reqResponse: ", "00C0000002") + Dump("RAPDU: ", "01029000"),
         {"CardSignData 0 PERFORM SECURITY OPERATION: signature, chained piece 1 of 2|PERFORM SECURITY "
          "OPERATION: signature 9E9A, chained piece 2 of 2|GET RESPONSE 2 bytes|"}},
        // One card for two processes: the call holding it keeps its commands until another selects the
        // applet; an exception belongs to the call that started last.
        {CallLine(7, "CardAuthenticatePin(pwszUserId: user)") + Dump("CAPDU: ", kSelectApplet) +
             Dump("RAPDU: ", "9000") + CallLine(8, "CardQueryFreeSpace(dwFlags: 0)") +
             Dump("CAPDU: ", "0084000008") + Dump("RAPDU: ", "01020304050607089000") +
             "Sun Dec  6 10:00:08 2026\nException: 8010006b\n\n" + Dump("CAPDU: ", kSelectApplet) +
             Dump("RAPDU: ", "9000"),
         {"CardAuthenticatePin 2148532331 SELECT of the Helix applet|GET CHALLENGE 8 bytes|",
          "CardQueryFreeSpace 0 SELECT of the Helix applet|"}},
    };
    for (const auto& [log, expected] : stories) {
        std::vector<std::string> told;
        for (const Call& call : Calls(log)) {
            told.push_back(call.name + " " + std::to_string(call.code) + " ");
            for (const ExchangeView& v : Describe(call)) told.back() += v.name + "|";
        }
        EXPECT_EQ(told, expected) << log;
    }
}

TEST(Summary, CountsPerCallAndListsTheSlowestAndTheFailed) {
    Summary summary;
    const std::string log = CallLine(3, "CardReadFile(pszDirectoryName: , pszFileName: cardid, dwFlags: 0)") +
                            Dump("CAPDU: ", kSelectApplet) + Dump("RAPDU: ", "9000") +
                            CallLine(7, "CardReadFile(pszDirectoryName: , pszFileName: cardcf, dwFlags: 0)") +
                            "Sun Dec  6 10:00:09 2026\nException: 80100024\n\n" +
                            CallLine(5, "CardGetChallenge()");
    for (const Call& call : Calls(log)) summary.Add(call);
    std::ostringstream out;
    summary.Print(out, true);
    const std::string json = out.str();
    for (
        const char* part : {
            R"("calls":3,"failures":1)",
            R"({"call":"CardReadFile","count":2,"failures":1,"apdus":1,"bytes":19})",
            R"("slowest":[{"line":9,"time":"Sun Dec  6 10:00:07 2026","seconds":2,)",
            R"("failing":[{"line":9,"time":"Sun Dec  6 10:00:07 2026","seconds":2,"call":"CardReadFile(pszDirectoryName: , pszFileName: cardcf, dwFlags: 0) -> 0x80100024 SCARD_E_FILE_NOT_FOUND"}])",
            R"({"pid":3,"name":"","threads":[4]})",
        })
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
}

TEST(Redactor, HidesTheSecretsOfEachCommandAndKeepsHeadersAndWords) {
    const std::pair<std::string, std::string> cases[] = {
        {"CAPDU:  (9 bytes): 00 20 00 23 04 31 32 33 34 \n",
         "CAPDU:  (9 bytes): 00 20 00 23 04 xx xx xx xx \n"},
        // An extended wrapped command: the data after the three-byte Lc.
        {"CAPDU:  (10 bytes): 0c e0 08 00 00 00 03 87 01 02 \n",
         "CAPDU:  (10 bytes): 0c e0 08 00 00 00 03 xx xx xx \n"},
        // An agreed secret, GET RESPONSE rounds included.
        {"CAPDU:  (8 bytes): 80 4a 00 00 02 04 01 20 \nRAPDU:  (4 bytes): aa bb 61 02 \n"
         "CAPDU_reqResponse:  (5 bytes): 00 c0 00 00 02 \nRAPDU:  (4 bytes): cc dd 90 00 \n",
         "CAPDU:  (8 bytes): 80 4a 00 00 02 04 01 20 \nRAPDU:  (4 bytes): xx xx 61 02 \n"
         "CAPDU_reqResponse:  (5 bytes): 00 c0 00 00 02 \nRAPDU:  (4 bytes): xx xx 90 00 \n"},
        {"CAPDU:  (5 bytes): 00 b0 00 00 02 \nRAPDU:  (4 bytes): 31 32 90 00 \n",
         "CAPDU:  (5 bytes): 00 b0 00 00 02 \nRAPDU:  (4 bytes): 31 32 90 00 \n"},
        // A line cut short could hold anything.
        {"CAPDU:  (9 bytes): 00 20 00 23 04 31 32\n",
         "(mdlog --redact: line 1 could not be read and was left out)\n"},
    };
    for (const auto& [log, expected] : cases) {
        std::ostringstream out;
        Redactor redactor(out);
        std::istringstream in(log);
        uint64_t number = 0;
        for (std::string text; std::getline(in, text);) redactor.Add(ParseLine(text, ++number));
        EXPECT_EQ(out.str(), expected);
    }
}

TEST(Lines, UntrustedTextIsReadForWhatItIs) {
    const std::pair<const char*, LineKind> cases[] = {
        {"Fri Dec  4 16:23:38 2026", LineKind::Time},
        {"P:1; T:2; hSCardCtx:0x00000001; hScard:0x00000002> CardDeleteDirectory(pszDirectoryName: d)",
         LineKind::Call},
        {"<ProcName: my host P:1; T:2: hSCardCtx:0x1; hScard:0x2>: CardAcquireContext()",
         LineKind::ProcessName},
        {"00 41 42 25 .AB%", LineKind::TableRow},
        {"00 41 42 25 .AB&", LineKind::Unreadable},
        {"RAPDU:  (3 bytes): 01 90 ", LineKind::Unreadable},
        {"RAPDU:  (2 bytes): 90 00 01 ", LineKind::Unreadable},
        {"Exception: 8010zz", LineKind::Unreadable},
        {"\x7f\x45LF\x01", LineKind::Unreadable},
    };
    for (const auto& [line, kind] : cases) EXPECT_EQ(ParseLine(line, 1).kind, kind) << line;

    const auto close = [](std::FILE* file) {
        (void)std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory)
    };
    const std::unique_ptr<std::FILE, decltype(close)> file(std::tmpfile(),
                                                           close);  // NOLINT(cppcoreguidelines-owning-memory)
    ASSERT_NE(file, nullptr);
    ASSERT_GE(std::fputs((std::string(LineReader::kMaxLine + 10, 'a') + "\nnext").c_str(), file.get()), 0);
    std::rewind(file.get());
    LineReader reader(file.get());
    std::string line;
    bool tooLong = false;
    ASSERT_TRUE(reader.Next(line, tooLong));
    EXPECT_TRUE(tooLong);
    EXPECT_EQ(line.size(), LineReader::kMaxLine);
    ASSERT_TRUE(reader.Next(line, tooLong));
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(line, "next");
    EXPECT_EQ(reader.Number(), 2u);
    EXPECT_FALSE(reader.Next(line, tooLong));
}

}  // namespace
}  // namespace mdlog
