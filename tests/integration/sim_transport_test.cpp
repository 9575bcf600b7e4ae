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
