// What a reader sees of the card: applet selection, 61xx and GET RESPONSE, 6Cxx under a strict
// profile, malformed commands and command chaining.
#include <gtest/gtest.h>

#include "sim_card.h"

namespace {

using simtest::Bytes;
using simtest::Data;
using simtest::SimCard;
using simtest::Sw;

TEST(SimTransport, EveryCommandBeforeTheAppletAnswers6D00) {
    helixsim::HelixCard card(helixsim::DefaultProfile());
    for (const char* cmd : {"80A4080C02 3F00 00", "0084000008", "80CB011100", "00C0000010"}) {
        EXPECT_EQ(ToHex(card.Transmit(Hex(cmd)).response), "6D00") << cmd;
    }
    EXPECT_EQ(ToHex(card.Transmit(Hex("00A404000C A000000164505249534D0002")).response), "6A82");
    EXPECT_EQ(ToHex(card.Transmit(Hex(simtest::kSelectApplet)).response), "9000");
    EXPECT_EQ(card.CommandLog().size(), 6u);
}

TEST(SimTransport, ResetDeselectsTheApplet) {
    SimCard card;
    card.Card().Reset();
    EXPECT_EQ(card.SwOf("80A4080C02 3F00 00"), 0x6D00);
}

TEST(SimTransport, ShortLeSplitsTheAnswerAcrossGetResponse) {
    SimCard card;
    const Bytes whole = card.Send("80A4080C08 3F00300030034001 00");
    const Bytes first = card.Send("80A4080C08 3F00300030034001 05");
    EXPECT_EQ(ToHex(first), ToHex(Data(whole)).substr(0, 10) + "6115");
    const Bytes part = card.Send("00C0000010");
    EXPECT_EQ(Sw(part), 0x6105);
    const Bytes rest = card.Send("00C0000005");
    EXPECT_EQ(Sw(rest), 0x9000);
    Bytes joined = Data(first);
    for (const Bytes& r : {part, rest}) joined.insert(joined.end(), r.begin(), r.end() - 2);
    EXPECT_EQ(joined, Data(whole));
}

TEST(SimTransport, AnotherCommandDropsThePendingAnswer) {
    SimCard card;
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
        all.insert(all.end(), response.begin(), response.end() - 2);
    }
    EXPECT_EQ(Sw(response), 0x9000);
    EXPECT_GT(all.size(), 512u);
    EXPECT_EQ(ToHex(Bytes(all.begin(), all.begin() + 3)), "800102");
}

struct LeCase {
    const char* command;
    const char* strict;
    size_t lenient;  // data bytes in the first answer without the strict profile
};

class SimFixedLength : public testing::TestWithParam<LeCase> {};

TEST_P(SimFixedLength, WrongLeAnswers6CxxOnlyWhenStrict) {
    SimCard strict(helixsim::ProfileByName("strict-le"));
    EXPECT_EQ(ToHex(strict.Send(GetParam().command)), GetParam().strict);
    SimCard lenient;
    EXPECT_EQ(Data(lenient.Send(GetParam().command)).size(), GetParam().lenient);
}

INSTANTIATE_TEST_SUITE_P(Table, SimFixedLength,
                         testing::Values(LeCase{"80CB011102", "6C04", 2}, LeCase{"80CB011108", "6C04", 4},
                                         LeCase{"80CB0114", "6C06", 6}, LeCase{"00CB000302", "6C04", 2},
                                         LeCase{"0084000000", "6C08", 8}, LeCase{"0084000010", "6C08", 8}));

TEST(SimTransport, StrictProfileAcceptsTheRightLeAndLe00) {
    SimCard card(helixsim::ProfileByName("strict-le"));
    EXPECT_EQ(Data(card.Send("80CB011104")).size(), 4u);
    EXPECT_EQ(Data(card.Send("80CB011400")).size(), 6u);
    EXPECT_EQ(Data(card.Send("0084000004")).size(), 4u);
}

struct SwCase {
    const char* command;
    uint16_t sw;
};

class SimMalformed : public testing::TestWithParam<SwCase> {};

TEST_P(SimMalformed, AnswersTheStatusWord) {
    SimCard card;
    EXPECT_EQ(card.SwOf(GetParam().command), GetParam().sw);
}

INSTANTIATE_TEST_SUITE_P(Table, SimMalformed,
                         testing::Values(SwCase{"80A4", 0x6700}, SwCase{"80A4080C 05 3F00", 0x6700},
                                         SwCase{"80A4080C 02 3F00 0000", 0x6700},
                                         SwCase{"00B0000000 01", 0x6700}, SwCase{"0000000000", 0x6D00},
                                         SwCase{"8084000008", 0x6E00}, SwCase{"00E8000000", 0x6E00},
                                         SwCase{"80A4080C 00 0002 3F00", 0x9000}));

struct FormCase {
    const char* name;
    const char* command;
    uint16_t sw;
};

class SimCommandForm : public testing::TestWithParam<FormCase> {};

TEST_P(SimCommandForm, OnlyTheIsoCasesAreAccepted) {
    SimCard card;
    EXPECT_EQ(card.SwOf(GetParam().command), GetParam().sw);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimCommandForm,
    testing::Values(FormCase{"Case1", "80CE0000", 0x9000}, FormCase{"Case2S", "80CB011100", 0x9000},
                    FormCase{"Case3S", "80A4080C02 3F00", 0x9000}, FormCase{"Case4S", "80A4080C02 3F00 00", 0x9000},
                    FormCase{"Case2E", "80CB0111 000000", 0x9000},
                    FormCase{"Case3E", "80A4080C 000002 3F00", 0x9000},
                    FormCase{"Case4E", "80A4080C 000002 3F00 0000", 0x9000},
                    FormCase{"ExtendedLcShortLe", "80A4080C 000002 3F00 00", 0x6700},
                    FormCase{"ShortLcExtendedLe", "80A4080C 02 3F00 0000", 0x6700},
                    FormCase{"ShortLcZero", "80A4080C 00 00", 0x6700},
                    FormCase{"ExtendedLcZero", "80A4080C 000000 0000", 0x6700},
                    FormCase{"ExtendedLcPastTheData", "80A4080C 000003 3F00", 0x6700},
                    FormCase{"ExtendedThreeByteLe", "80A4080C 000002 3F00 000000", 0x6700}),
    [](const auto& p) { return std::string(p.param.name); });

// The agreement command, the one the host sends with an extended Lc: 4E is agreed, the mixed
// form refused before it touches the pending exchange, and 4S still serves a shorter value.
TEST(SimTransport, KeyAgreementTakesCase4EAndRefusesTheMixedForm) {
    const auto agree = [](const Bytes& a, size_t leBytes) {
        Bytes cmd{0x80, 0x86, 0x00, 0x00};
        if (a.size() > 0xFF) cmd.insert(cmd.end(), {0x00, static_cast<uint8_t>(a.size() >> 8)});
        cmd.push_back(static_cast<uint8_t>(a.size()));
        cmd.insert(cmd.end(), a.begin(), a.end());
        cmd.insert(cmd.end(), leBytes, 0x00);
        return cmd;
    };
    SimCard card;
    ASSERT_EQ(Sw(card.Send("8048008000")), 0x6100);
    EXPECT_EQ(card.Send(agree(Bytes(256, 0x01), 1)), Hex("6700"));
    EXPECT_EQ(Data(card.Send(agree(Bytes(256, 0x01), 2))).size(), 32u);
    ASSERT_EQ(Sw(card.Send("8048008000")), 0x6100);
    EXPECT_EQ(Data(card.Send(agree(Bytes(255, 0x01), 1))).size(), 32u);
}

TEST(SimTransport, ChainedPiecesFormOneCommand) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("10D6000003 AABBCC"), 0x9000);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3003, 0x4001}), Hex("0006000000000000"));
    EXPECT_EQ(card.SwOf("00D6000003 DDEEFF"), 0x9000);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3003, 0x4001}), Hex("AABBCCDDEEFF0000"));
}

TEST(SimTransport, AnotherCommandAbortsTheChain) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    ASSERT_EQ(card.SwOf("10D6000003 AABBCC"), 0x9000);
    EXPECT_EQ(card.SwOf("00B0000008"), 0x6883);
    EXPECT_EQ(card.SwOf("00D6000003 DDEEFF"), 0x9000);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3003, 0x4001}), Hex("DDEEFF0000000000"));
}

}  // namespace
