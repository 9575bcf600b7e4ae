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
    std::string line = std::string(title) + " (" + std::to_string(bytes.size()) + " bytes): ";
    std::string pairs = bytes.empty() ? "" : HexText(bytes) + " ";
    for (char& c : pairs) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line + pairs + "\n\n";
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

struct Named {
    const char* command;
    const char* name;
};

class CommandNames : public ::testing::TestWithParam<Named> {};

TEST_P(CommandNames, NameTheCommandAsTheModuleBuildsIt) {
    EXPECT_EQ(DescribeCommand(Hex(GetParam().command)).name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, CommandNames,
                         ::testing::Values(Named{"00A404000CA000000164505249534D000100",
                                                 "SELECT of the Helix applet"},
                                           Named{"80A4080C083F00300030034000"
                                                 "00",
                                                 "SELECT 3F00/3000/3003/4000 by path"},
                                           Named{"80A4000C02400100", "SELECT 4001 by identifier"},
                                           Named{"00B0000012", "READ BINARY 18 bytes at 0"},
                                           Named{"00D6010003AABBCC", "UPDATE BINARY 3 bytes at 256"},
                                           Named{"802000001000112233445566778899AABBCCDDEEFF",
                                                 "VERIFY protected (user PIN cryptogram)"},
                                           Named{"0020002304"
                                                 "31323334",
                                                 "VERIFY in clear of object 23"},
                                           Named{"00C0000020", "GET RESPONSE 32 bytes"},
                                           Named{"8C24000004"
                                                 "01020304",
                                                 "secure-messaging wrapped set PIN value"},
                                           Named{"002A9E9A000003010203"
                                                 "0000",
                                                 "PERFORM SECURITY OPERATION: signature 9E9A"},
                                           Named{"804A000003040102"
                                                 "20",
                                                 "elliptic-curve key agreement"},
                                           Named{"80CB011105", "capability query 11"},
                                           Named{"80FF0000", "unknown command 80 FF 00 00"}));

struct Answer {
    uint8_t ins;
    const char* response;
    const char* text;
};

class Answers : public ::testing::TestWithParam<Answer> {};

TEST_P(Answers, DecodeTheStatusWordAndASelectTemplate) {
    EXPECT_EQ(DescribeResponse(GetParam().ins, Hex(GetParam().response)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Words, Answers,
    ::testing::Values(
        Answer{0xA4, "6218830240008701018002001286080000002000FF00FF8A01049000",
               "9000 success, normalised success; FCP: identifier 4000, file of 18 bytes, access 00/20, "
               "attributes "
               "0000002000FF00FF"},
        Answer{0xB0, "6A82", "6A82 file or application not found, normalised 6A82"},
        Answer{0x20, "63C2",
               "63C2 verification failed, SW2 low nibble gives the tries left, normalised 6300"},
        Answer{0xD6, "6B00", "6B00 wrong parameters P1-P2, normalised 6B00"},
        Answer{0xB0, "0102610A", "610A more data to fetch, normalised success; 2 bytes of data"},
        Answer{0xB0, "90", "no status word (1 bytes)"}));

const char* const kSelectApplet = "00A404000CA000000164505249534D0001";

struct Story {
    const char* what;
    std::string log;
    // Per call: name, the host's code, the commands' names joined by "|".
    std::vector<std::string> calls;
};

std::string Summarise(const Call& call) {
    std::string text = call.name + " " + std::to_string(call.code) + " ";
    for (const ExchangeView& v : Describe(call)) text += v.name + "|";
    return text;
}

TEST(Assembler, TellsEachCallWithItsCommandsAndOutcome) {
    const std::vector<Story> stories = {
        {"an exception ends a call; the next call of the process ends the one before",
         CallLine(7, "CardReadFile(pszDirectoryName: mscp, pszFileName: msroots, dwFlags: 0)") +
             Dump("CAPDU: ", "80A4080C0A3F00300030033005400400") + Dump("RAPDU: ", "6A82") +
             "Sun Dec  6 10:00:07 2026\nException: 80100024\n\n" + CallLine(7, "CardQueryCapabilities()"),
         {"CardReadFile 2148532260 SELECT 3F00/3000/3003/3005/4004 by path|", "CardQueryCapabilities 0 "}},
        {"chained pieces are numbered to the last, GET RESPONSE does not break the chain",
         CallLine(7, "CardSignData(dwSigningFlags: 0x00000000, dwPaddingType: 2, szDataToSign: 32)") +
             Dump("CAPDU: ", "102A9E9A02AAAA") + Dump("RAPDU: ", "9000") + Dump("CAPDU: ", "102A9E9A02BBBB") +
             Dump("RAPDU: ", "9000") + Dump("CAPDU: ", "002A9E9A02CCCC00") + Dump("RAPDU: ", "6102") +
             Dump("CAPDU_reqResponse: ", "00C0000002") + Dump("RAPDU: ", "01029000"),
         {"CardSignData 0 PERFORM SECURITY OPERATION: signature, chained piece 1 of 3|PERFORM SECURITY "
          "OPERATION: "
          "signature, chained piece 2 of 3|PERFORM SECURITY OPERATION: signature 9E9A, chained piece 3 of "
          "3|GET "
          "RESPONSE 2 bytes|"}},
        {"two processes: an exception belongs to the call that started last",
         CallLine(7, "CardAuthenticatePin(pwszUserId: user)") + Dump("CAPDU: ", "0084000008") +
             CallLine(8, "CardDeleteContext()") + "Sun Dec  6 10:00:08 2026\nException: 80100003\n\n" +
             Dump("RAPDU: ", "01020304050607089000"),
         {"CardDeleteContext 2148532227 ", "CardAuthenticatePin 0 GET CHALLENGE 8 bytes|"}},
        {"one card for two processes: the call holding it keeps its commands until another selects the "
         "applet",
         CallLine(7, "CardAuthenticatePin(pwszUserId: user)") + Dump("CAPDU: ", kSelectApplet) +
             Dump("RAPDU: ", "9000") + CallLine(8, "CardQueryFreeSpace(dwFlags: 0)") +
             Dump("CAPDU: ", "0084000008") + Dump("RAPDU: ", "01020304050607089000") +
             "Sun Dec  6 10:00:08 2026\nException: 8010006b\n\n" + Dump("CAPDU: ", kSelectApplet) +
             Dump("RAPDU: ", "9000"),
         {"CardAuthenticatePin 2148532331 SELECT of the Helix applet|GET CHALLENGE 8 bytes|",
          "CardQueryFreeSpace 0 SELECT of the Helix applet|"}},
        {"an operation the module does not offer answers without a line",
         CallLine(7, "CardGetKeyProperty(wszProperty: x)"),
         {"CardGetKeyProperty 2148532258 "}},
    };
    for (const Story& story : stories) {
        std::vector<std::string> told;
        for (const Call& call : Calls(story.log)) told.push_back(Summarise(call));
        EXPECT_EQ(told, story.calls) << story.what;
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

struct Redaction {
    const char* what;
    std::string log;
    std::string expected;
};

std::string Redacted(const std::string& log) {
    std::ostringstream out;
    Redactor redactor(out);
    std::istringstream in(log);
    std::string text;
    uint64_t number = 0;
    while (std::getline(in, text)) redactor.Add(ParseLine(text, ++number));
    return out.str();
}

TEST(Redactor, HidesTheSecretsOfEachCommandAndKeepsHeadersAndWords) {
    const std::vector<Redaction> cases = {
        {"a PIN in clear", "CAPDU:  (9 bytes): 00 20 00 23 04 31 32 33 34 \n",
         "CAPDU:  (9 bytes): 00 20 00 23 04 xx xx xx xx \n"},
        {"an extended wrapped command: the data after the three-byte Lc",
         "CAPDU:  (10 bytes): 0c e0 08 00 00 00 03 87 01 02 \n",
         "CAPDU:  (10 bytes): 0c e0 08 00 00 00 03 xx xx xx \n"},
        {"an agreed secret, GET RESPONSE rounds included",
         "CAPDU:  (8 bytes): 80 4a 00 00 02 04 01 20 \nRAPDU:  (4 bytes): aa bb 61 02 \n"
         "CAPDU_reqResponse:  (5 bytes): 00 c0 00 00 02 \nRAPDU:  (4 bytes): cc dd 90 00 \n",
         "CAPDU:  (8 bytes): 80 4a 00 00 02 04 01 20 \nRAPDU:  (4 bytes): xx xx 61 02 \n"
         "CAPDU_reqResponse:  (5 bytes): 00 c0 00 00 02 \nRAPDU:  (4 bytes): xx xx 90 00 \n"},
        {"a file read stays as it was",
         "CAPDU:  (5 bytes): 00 b0 00 00 02 \nRAPDU:  (4 bytes): 31 32 90 00 \n",
         "CAPDU:  (5 bytes): 00 b0 00 00 02 \nRAPDU:  (4 bytes): 31 32 90 00 \n"},
        {"a line cut short could hold anything", "CAPDU:  (9 bytes): 00 20 00 23 04 31 32\n",
         "(mdlog --redact: line 1 could not be read and was left out)\n"},
    };
    for (const Redaction& c : cases) EXPECT_EQ(Redacted(c.log), c.expected) << c.what;
}

struct Kind {
    const char* line;
    LineKind kind;
};

class Lines : public ::testing::TestWithParam<Kind> {};

TEST_P(Lines, AreReadForWhatTheyAre) {
    EXPECT_EQ(ParseLine(GetParam().line, 1).kind, GetParam().kind) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    UntrustedText, Lines,
    ::testing::Values(
        Kind{"Fri Dec  4 16:23:38 2026", LineKind::Time},
        Kind{"P:1; T:2; hSCardCtx:0x00000001; hScard:0x00000002> CardDeleteDirectory(pszDirectoryName: d)",
             LineKind::Call},
        Kind{"<ProcName: my host P:1; T:2: hSCardCtx:0x1; hScard:0x2>: CardAcquireContext()",
             LineKind::ProcessName},
        Kind{"00 41 42 25 .AB%", LineKind::TableRow}, Kind{"00 41 42 25 .AB&", LineKind::Unreadable},
        Kind{"RAPDU:  (3 bytes): 01 90 ", LineKind::Unreadable},
        Kind{"RAPDU:  (2 bytes): 90 00 01 ", LineKind::Unreadable},
        Kind{"Exception: 8010zz", LineKind::Unreadable}, Kind{"\x7f\x45LF\x01", LineKind::Unreadable}));

TEST(LineReader, ReadsPastALineLongerThanItsBoundAndOnToTheNext) {
    const auto close = [](std::FILE* file) {
        (void)std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory)
    };
    const std::unique_ptr<std::FILE, decltype(close)> file(std::tmpfile(),
                                                           close);  // NOLINT(cppcoreguidelines-owning-memory)
    ASSERT_NE(file, nullptr);
    std::FILE* in = file.get();
    const std::string huge(LineReader::kMaxLine + 10, 'a');
    ASSERT_GE(std::fputs((huge + "\nnext").c_str(), in), 0);
    std::rewind(in);
    LineReader reader(in);
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
