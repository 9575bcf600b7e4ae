// What a reader sees of the card: applet selection, the command forms, 61xx and GET RESPONSE,
// 6Cxx under a strict profile and command chaining.
#include <gtest/gtest.h>

#include "sim_card.h"

namespace {

using simtest::Bytes;
using simtest::Data;
using simtest::Hex;
using simtest::SimCard;
using simtest::Sw;
using simtest::ToHex;

TEST(SimTransport, EveryCommandBeforeTheAppletAnswers6D00) {
    helixsim::HelixCard card(helixsim::DefaultProfile());
    for (const char* cmd : {"80A4080C02 3F00 00", "0084000008", "80CB011100", "00C0000010"}) {
        EXPECT_EQ(ToHex(card.Transmit(Hex(cmd)).response), "6D00") << cmd;
    }
    EXPECT_EQ(ToHex(card.Transmit(Hex("00A404000C A000000164505249534D0002")).response), "6A82");
    EXPECT_EQ(ToHex(card.Transmit(Hex(simtest::kSelectApplet)).response), "9000");
    EXPECT_EQ(card.CommandLog().size(), 6u);
}

struct FormCase {
    const char* name;
    const char* command;
    uint16_t sw;
};

class SimCommandForm : public testing::TestWithParam<FormCase> {};

TEST_P(SimCommandForm, OnlyTheIsoCasesReachTheCommand) {
    SimCard card;
    EXPECT_EQ(card.SwOf(GetParam().command), GetParam().sw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimCommandForm,
    testing::Values(
        FormCase{"Case1", "80CE0000", 0x9000}, FormCase{"Case2S", "80CB011100", 0x9000},
        FormCase{"Case3S", "80A4080C02 3F00", 0x9000}, FormCase{"Case4S", "80A4080C02 3F00 00", 0x9000},
        FormCase{"Case2E", "80CB0111 000000", 0x9000}, FormCase{"Case3E", "80A4080C 000002 3F00", 0x9000},
        FormCase{"Case4E", "80A4080C 000002 3F00 0000", 0x9000}, FormCase{"HeaderCut", "80A4", 0x6700},
        FormCase{"ExtendedLcShortLe", "80A4080C 000002 3F00 00", 0x6700},
        FormCase{"ShortLcExtendedLe", "80A4080C 02 3F00 0000", 0x6700},
        FormCase{"ShortLcPastTheData", "80A4080C 05 3F00", 0x6700},
        FormCase{"ShortLcZero", "00B0000000 01", 0x6700},
        FormCase{"ExtendedLcZero", "80A4080C 000000 0000", 0x6700},
        FormCase{"ExtendedLcPastTheData", "80A4080C 000003 3F00", 0x6700},
        FormCase{"ExtendedThreeByteLe", "80A4080C 000002 3F00 000000", 0x6700},
        FormCase{"UnknownInstruction", "0000000000", 0x6D00},
        FormCase{"ChallengeWithClass80", "8084000008", 0x6E00},
        FormCase{"RewriteWithClass00", "00E8000000", 0x6E00}),
    [](const auto& p) { return std::string(p.param.name); });

// The agreement command, the one the host sends with an extended Lc: 4E is agreed, the mixed
// form refused before it touches the pending exchange, and 4S still serves a shorter value.
TEST(SimTransport, KeyAgreementTakesCase4EAndRefusesTheMixedForm) {
    const auto agree = [](const Bytes& a, size_t leBytes) {
        const Bytes lc =
            a.size() > 0xFF ? Bytes{0x00, static_cast<uint8_t>(a.size() >> 8), static_cast<uint8_t>(a.size())}
                            : Bytes{static_cast<uint8_t>(a.size())};
        return simtest::Concat({Hex("80860000"), lc, a, Bytes(leBytes, 0x00)});
    };
    SimCard card;
    ASSERT_EQ(Sw(card.Send("8048008000")), 0x6100);
    EXPECT_EQ(card.Send(agree(Bytes(256, 0x01), 1)), Hex("6700"));
    EXPECT_EQ(Data(card.Send(agree(Bytes(256, 0x01), 2))).size(), 32u);
    ASSERT_EQ(Sw(card.Send("8048008000")), 0x6100);
    EXPECT_EQ(Data(card.Send(agree(Bytes(255, 0x01), 1))).size(), 32u);
}

TEST(SimTransport, ShortLeSplitsTheAnswerAcrossGetResponseUntilAnotherCommand) {
    SimCard card;
    const Bytes whole = card.Send("80A4080C08 3F00300030034001 00");
    const Bytes first = card.Send("80A4080C08 3F00300030034001 05");
    EXPECT_EQ(ToHex(first), ToHex(Data(whole)).substr(0, 10) + "6115");
    const Bytes part = card.Send("00C0000010");
    EXPECT_EQ(Sw(part), 0x6105);
    const Bytes rest = card.Send("00C0000005");
    EXPECT_EQ(Sw(rest), 0x9000);
    EXPECT_EQ(simtest::Concat({Data(first), Data(part), Data(rest)}), Data(whole));

    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 05"), 0x6115);
    ASSERT_EQ(card.SwOf("80CE000000"), 0x9000);
    EXPECT_EQ(card.SwOf("00C0000015"), 0x6985);
}

TEST(SimTransport, AnswersLongerThan256BytesComeInPieces) {
    SimCard card;
    Bytes response = card.Send("8048008000");
    ASSERT_EQ(Sw(response), 0x6100);
    Bytes all = Data(response);
    EXPECT_EQ(all.size(), 256u);
    while (Sw(response) >> 8 == 0x61) {
        response = card.Send(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(Sw(response))});
        all = simtest::Concat({all, Data(response)});
    }
    EXPECT_EQ(Sw(response), 0x9000);
    EXPECT_GT(all.size(), 512u);
    EXPECT_EQ(ToHex(simtest::Slice(all, 0, 3)), "800102");
}

struct LeCase {
    const char* name;
    const char* command;
    const char* strictSw;  // "9000" with `strictData` bytes, or the 6Cxx answer
    size_t strictData;
    size_t lenientData;  // data bytes in the first answer without the strict profile
};

class SimFixedLength : public testing::TestWithParam<LeCase> {};

TEST_P(SimFixedLength, WrongLeAnswers6CxxOnlyWhenStrict) {
    SimCard strict("strict-le");
    const Bytes answer = strict.Send(GetParam().command);
    EXPECT_EQ(ToHex(simtest::Slice(answer, answer.size() - 2, 2)), GetParam().strictSw);
    EXPECT_EQ(Data(answer).size(), GetParam().strictData);
    SimCard lenient;
    EXPECT_EQ(Data(lenient.Send(GetParam().command)).size(), GetParam().lenientData);
}

INSTANTIATE_TEST_SUITE_P(Table, SimFixedLength,
                         testing::Values(LeCase{"FreeMemoryLe2", "80CB011102", "6C04", 0, 2},
                                         LeCase{"FreeMemoryLe8", "80CB011108", "6C04", 0, 4},
                                         LeCase{"FreeMemoryRightLe", "80CB011104", "9000", 4, 4},
                                         LeCase{"SerialWithoutLe", "80CB0114", "6C06", 0, 6},
                                         LeCase{"SerialLe00", "80CB011400", "9000", 6, 6},
                                         LeCase{"VersionLe2", "00CB000302", "6C04", 0, 2},
                                         LeCase{"ChallengeLe00", "0084000000", "6C08", 0, 8},
                                         LeCase{"ChallengeLe16", "0084000010", "6C08", 0, 8},
                                         LeCase{"ChallengeLe4", "0084000004", "9000", 4, 4}),
                         [](const auto& p) { return std::string(p.param.name); });

// Pieces with CLA | 10 are gathered and carried out with the last one; any other command in
// between drops the chain.
TEST(SimTransport, ChainedPiecesFormOneCommandUntilAnotherCommandBreaksIn) {
    const helixsim::CardPath cardCf{0x3F00, 0x3000, 0x3003, 0x4001};
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("10D6000003 AABBCC"), 0x9000);
    EXPECT_EQ(card.Card().FileContent(cardCf), Hex("0006000000000000"));
    EXPECT_EQ(card.SwOf("00B0000008"), 0x6883);
    EXPECT_EQ(card.SwOf("00D6000003 DDEEFF"), 0x9000);
    EXPECT_EQ(card.Card().FileContent(cardCf), Hex("DDEEFF0000000000"));
    EXPECT_EQ(card.SwOf("10D6000003 AABBCC"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000003 DDEEFF"), 0x9000);
    EXPECT_EQ(card.Card().FileContent(cardCf), Hex("AABBCCDDEEFF0000"));
}

}  // namespace
