// What a reader sees of the card: applet selection, the command forms, 61xx and GET RESPONSE,
// 6Cxx under a strict profile and command chaining.
#include <gtest/gtest.h>

#include "sim_key_card.h"

namespace {

using namespace simtest;

TEST(SimTransport, EveryCommandBeforeTheAppletAnswers6D00) {
    helixsim::HelixCard card(helixsim::DefaultProfile());
    for (const char* cmd : {"80A4080C02 3F00 00", "0084000008", "80CB011100", "00C0000010"}) {
        EXPECT_EQ(ToHex(card.Transmit(Hex(cmd)).response), "6D00") << cmd;
    }
    EXPECT_EQ(ToHex(card.Transmit(Hex("00A404000C A000000164505249534D0002")).response), "6A82");
    EXPECT_EQ(ToHex(card.Transmit(Hex(kSelectApplet)).response), "9000");
    EXPECT_EQ(card.CommandLog().size(), 6u);
}

class SimCommandForm : public testing::TestWithParam<Exchange> {};

TEST_P(SimCommandForm, OnlyTheIsoCasesReachTheCommand) {
    SimCard card;
    card.Expect(GetParam());
}

const Exchange kCommandFormCases[] = {
    {"Case1", "80CE0000", "9000"},
    {"Case2S", "80CB011100", "9000"},
    {"Case3S", "80A4080C02 3F00", "9000"},
    {"Case4S", "80A4080C02 3F00 00", "9000"},
    {"Case2E", "80CB0111 000000", "9000"},
    {"Case3E", "80A4080C 000002 3F00", "9000"},
    {"Case4E", "80A4080C 000002 3F00 0000", "9000"},
    {"HeaderCut", "80A4", "6700"},
    {"ExtendedLcShortLe", "80A4080C 000002 3F00 00", "6700"},
    {"ShortLcExtendedLe", "80A4080C 02 3F00 0000", "6700"},
    {"ShortLcPastTheData", "80A4080C 05 3F00", "6700"},
    {"ShortLcZero", "00B0000000 01", "6700"},
    {"ExtendedLcZero", "80A4080C 000000 0000", "6700"},
    {"ExtendedLcPastTheData", "80A4080C 000003 3F00", "6700"},
    {"ExtendedThreeByteLe", "80A4080C 000002 3F00 000000", "6700"},
    {"UnknownInstruction", "0000000000", "6D00"},
    {"ChallengeWithClass80", "8084000008", "6E00"},
    {"RewriteWithClass00", "00E8000000", "6E00"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimCommandForm, testing::ValuesIn(kCommandFormCases), CaseName);

// The agreement command, the one the host sends with an extended Lc: 4E is agreed, the mixed
// form refused before it touches the pending exchange, and 4S still serves a shorter value.
TEST(SimTransport, KeyAgreementTakesCase4EAndRefusesTheMixedForm) {
    SimCard card;
    ASSERT_EQ(Sw(card.Send("8048008000")), 0x6100);
    EXPECT_EQ(card.Send(AgreeCommand(Bytes(256, 0x01), 1)), Hex("6700"));
    EXPECT_EQ(Data(card.Send(AgreeCommand(Bytes(256, 0x01), 2))).size(), 32u);
    ASSERT_EQ(Sw(card.Send("8048008000")), 0x6100);
    EXPECT_EQ(Data(card.Send(AgreeCommand(Bytes(255, 0x01), 1))).size(), 32u);
}

// A short Le leaves the rest for GET RESPONSE (256 bytes a time past 256) until another command.
TEST(SimTransport, LongAnswersComeThroughGetResponseUntilAnotherCommand) {
    SimCard card;
    const Bytes whole = card.Send("80A4080C08 3F00300030034001 00");
    const Bytes first = card.Send("80A4080C08 3F00300030034001 05");
    EXPECT_EQ(ToHex(first), ToHex(Data(whole)).substr(0, 10) + "6115");
    const Bytes part = card.Send("00C0000010");
    EXPECT_EQ(Sw(part), 0x6105);
    const Bytes rest = card.Send("00C0000005");
    EXPECT_EQ(Sw(rest), 0x9000);
    EXPECT_EQ(Concat({Data(first), Data(part), Data(rest)}), Data(whole));
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 05"), 0x6115);
    ASSERT_EQ(card.SwOf("80CE000000"), 0x9000);
    EXPECT_EQ(card.SwOf("00C0000015"), 0x6985);

    const Bytes begin = card.Send("8048008000");
    ASSERT_EQ(Sw(begin), 0x6100);
    EXPECT_EQ(Data(begin).size(), 256u);
    const Reply all = Collect(card, begin);
    EXPECT_EQ(all.sw, 0x9000);
    EXPECT_GT(all.data.size(), 512u);
    EXPECT_EQ(ToHex(Slice(all.data, 0, 3)), "800102");
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
    EXPECT_EQ(ToHex(Slice(answer, answer.size() - 2, 2)), GetParam().strictSw);
    EXPECT_EQ(Data(answer).size(), GetParam().strictData);
    SimCard lenient;
    EXPECT_EQ(Data(lenient.Send(GetParam().command)).size(), GetParam().lenientData);
}

const LeCase kSimFixedLengthCases[] = {
    {"FreeMemoryLe2", "80CB011102", "6C04", 0, 2},     {"FreeMemoryLe8", "80CB011108", "6C04", 0, 4},
    {"FreeMemoryRightLe", "80CB011104", "9000", 4, 4}, {"SerialWithoutLe", "80CB0114", "6C06", 0, 6},
    {"SerialLe00", "80CB011400", "9000", 6, 6},        {"VersionLe2", "00CB000302", "6C04", 0, 2},
    {"ChallengeLe00", "0084000000", "6C08", 0, 8},     {"ChallengeLe16", "0084000010", "6C08", 0, 8},
    {"ChallengeLe4", "0084000004", "9000", 4, 4},
};
INSTANTIATE_TEST_SUITE_P(Table, SimFixedLength, testing::ValuesIn(kSimFixedLengthCases), CaseName);

// Pieces with CLA | 10 are gathered and carried out with the last one; any other command in
// between drops the chain.
TEST(SimTransport, ChainedPiecesFormOneCommandUntilAnotherCommandBreaksIn) {
    const helixsim::CardPath cardCf{0x3F00, 0x3000, 0x3003, 0x4001};
    SimCard card(kUser);
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
