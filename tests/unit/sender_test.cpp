#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/token/failure.h"
#include "log_capture.h"
#include "scripted_card.h"
#include "thrown.h"

namespace {

std::string Transmit(const std::string& command) {
    CSCardSender sender(ScriptedCard::kHandle, 3);
    libapdu::ByteVector response{0xEE};  // the sender must clear what the caller left
    sender.Transmit(Hex(command), response);
    return ToHex(response);
}

std::optional<DWORD> TransmitFailure(const std::string& command) {
    return ThrownCode([&] { Transmit(command); });
}

}  // namespace

// 6Cxx is retried once with the card's Le (appended, or replacing the one sent); 61xx is collected with GET
// RESPONSE until the card ends; 6Dxx and 6Exx come back as 00xx and 01xx.
TEST(Sender, AnswersAreCompletedAndRewritten) {
    const std::pair<Script, const char*> cases[] = {
        {{{"00A40400", "6C10"}, {"00A4040010", "0102 9000"}}, "01029000"},
        {{{"00B0000000", "6C20"}, {"00B0000020", "0102 9000"}}, "01029000"},
        {{{"80CA9F7F02AABB", "6C05"}, {"80CA9F7F02AABB05", "0102 9000"}}, "01029000"},
        {{{"80CA9F7F02AABB00", "6C07"}, {"80CA9F7F02AABB07", "0102 9000"}}, "01029000"},
        {{{"00B0000000", "AA 6C10"}}, "AA6C10"},  // with data: as it is
        {{{"00B0000000", "6C10"}, {"00B0000010", "6C08"}}, "6C08"},
        {{{"80A40400", "0102 6103"}, {"00C0000003", "040506 6100"}, {"00C0000000", "07 9000"}},
         "0102040506079000"},
        {{{"00CA0000", "6C04"}, {"00CA000004", "0A0B 6102"}, {"00C0000002", "0C0D 9000"}}, "0A0B0C0D9000"},
        {{{"00A40400", "6D01"}}, "0001"},
        {{{"00A40400", "6E05"}}, "0105"},
        {{{"00A40400", "6D00"}}, "6D00"},
        {{{"00A40400", "6E00"}}, "6E00"},
        {{{"00A40400", "6A82"}}, "6A82"},
    };
    for (const auto& [script, answer] : cases) {
        ScriptedCard card(script);
        EXPECT_EQ(Transmit(script.front().command), answer) << script.front().command;
    }
}

TEST(Sender, CommandsOfNoAcceptedFormAreRejectedBeforeSending) {
    for (const char* good : {"00A40400", "00B0000000", "00A4040002AABB", "00A4040002AABB00",
                             "00A4040000000101", "00A404000000010100", "00A40400000001010000"}) {
        ScriptedCard card({{good, "9000"}});
        EXPECT_EQ(Transmit(good), "9000") << good;
    }
    for (const char* bad : {"", "00", "00A404", "00A4040003AABB", "00A404000300", "00A4040002AABBCCDD",
                            "00A404000000030101", "00A40400000002AA", "00A4040000000101000000"}) {
        ScriptedCard card({});
        EXPECT_EQ(TransmitFailure(bad), 0x6B00u) << bad;
    }
}

TEST(Sender, TransmitFailuresAreLoggedAndThrownWithTheirResult) {
    struct Case {
        Script script;
        DWORD code;
        const char* logged;
    };
    const Case cases[] = {
        {{{"00A40400", "", SCARD_W_RESET_CARD}}, SCARD_W_RESET_CARD, "SCardTransmit error = 0x80100068\n\n"},
        {{{"00A40400", "6C10"}, {"00A4040010", "", SCARD_W_REMOVED_CARD}},
         SCARD_W_REMOVED_CARD,
         "SCardTransmit_6\xD1 error = 0x80100069\n\n"},
        {{{"00A40400", "6105"}, {"00C0000005", "", SCARD_E_NOT_TRANSACTED}},
         SCARD_E_NOT_TRANSACTED,
         "SCardTransmit_reqResp error = 0x80100016\n\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ScriptedCard card(c.script);
        EXPECT_EQ(TransmitFailure("00A40400"), c.code);
        const std::string text = log.Read();
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        EXPECT_EQ(text.find("error"), text.rfind("error")) << "one error line only";
    }
    for (const char* answer : {"", "90"}) {  // no status word
        ScriptedCard card({{"00A40400", answer}});
        EXPECT_EQ(TransmitFailure("00A40400"), SCARD_F_COMM_ERROR) << answer;
    }
}

// Endless 61xx stops after 256 rounds; a card may send more than it announced, but what it sends in all is
// still bounded.
TEST(Sender, EndlessOrOversizeAnswersAreCutOff) {
    {
        Script script{{"00A40400", "AA 6101"}};
        for (int i = 0; i < 256; ++i) script.push_back({"00C0000001", "AA 6101"});
        ScriptedCard card(script);
        EXPECT_EQ(TransmitFailure("00A40400"), SCARD_E_COMM_DATA_LOST);
    }
    ScriptedCard card(
        {{"00B0000000", Repeat("BB", 65000) + "6101"}, {"00C0000001", Repeat("CC", 1000) + "9000"}});
    EXPECT_EQ(TransmitFailure("00B0000000"), SCARD_E_COMM_DATA_LOST);
}

// The protocol the reader reports, or T=1 when it cannot tell.
TEST(Sender, UsesTheReadersProtocol) {
    const std::tuple<DWORD, DWORD, DWORD> cases[] = {{pcsc::kProtocolT0, SCARD_S_SUCCESS, pcsc::kProtocolT0},
                                                     {pcsc::kProtocolT1, SCARD_S_SUCCESS, pcsc::kProtocolT1},
                                                     {pcsc::kProtocolT0, SCARD_W_RESET_CARD, 3}};
    for (const auto& [active, status, used] : cases) {
        ScriptedCard card({{"00A40400", "9000"}}, active, status);
        CSCardSender sender(ScriptedCard::kHandle, 3);
        libapdu::ByteVector response;
        sender.Transmit(Hex("00A40400"), response);
        EXPECT_EQ(card.Protocols(), std::vector<DWORD>{used});
    }
}

TEST(Sender, EveryCommandAndResponseIsLoggedWithItsTitle) {
    LogCapture log;
    ScriptedCard card({{"00B0000000", "6C03"}, {"00B0000003", "0102 6101"}, {"00C0000001", "03 9000"}});
    EXPECT_EQ(Transmit("00B0000000"), "0102039000");
    EXPECT_EQ(log.Read(), ReadTestData("log/sender_exchange.log"));
}
