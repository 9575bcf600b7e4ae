// The card's file system as the host drives it: FCP answers, bounds, creation templates, access
// rules and the memory they use.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_key_card.h"

namespace {

using namespace simtest;

// The host's templates, byte for byte.
const char* const kCreateKxc05 =
    "00E00100 1F 62811C 8A0104 83028405 80020040 8608 0000 0020 0020 0020 8405 6B78633035";
const char* const kCreateNamedDir =
    "00E03800 2E 62812B 8A0104 83020001 80020000 8410 01400000000000000000000000000000 860C 0020 0020 0020 "
    "0020 0000 00FF";

TEST(SimFiles, SelectByPathAnswersTheFcpTheHostParses) {
    SimCard card;
    EXPECT_EQ(ToHex(card.Send("80A4080C08 3F00300030034001 00")),
              "62188302400187010180020008860800000020"
              "00FF00FF8A01049000");
    SimCard bio("bio-24");
    const std::string fcp = ToHex(bio.Send("80A4080C06 3F0030003002 00"));
    EXPECT_NE(fcp.find("860C0024002400240"), std::string::npos) << "byte 1 names the user object: " << fcp;
}

class SimFileAnswer : public testing::TestWithParam<Exchange> {};

// With 3F00/3000/3003/4001 (8 bytes, nobody verified) current.
TEST_P(SimFileAnswer, IsTheCardsAnswer) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    card.Expect(GetParam());
}

const Exchange kFileAnswerCases[] = {
    {"MissingFile", "80A4080C06 3F0030004444 00", "6A82"},
    {"PathNotFromMf", "80A4080C04 30003003 00", "6A82"},
    {"OddPath", "80A4080C03 3F0030 00", "6700"},
    {"SelectP2NotOC", "80A4080006 3F0030003003 00", "6A86"},
    {"ReadWhole", "00B0000008", "9000"},
    {"ReadShortFile", "00B0000010", "6282"},
    {"ReadWhatRemains", "00B0000610", "00006282"},
    {"ReadAtEnd", "00B0000801", "6282"},
    {"ReadBeyond", "00B0000901", "6B00"},
    {"WriteWithoutPin", "00D6000002 0102", "6982"},
    {"SiblingById", "80A4000C02 4000 00", "9000"},
    {"ParentById", "80A4000C02 3000 00", "9000"},
    {"UnknownId", "80A4000C02 1234 00", "6A82"},
    {"ListBadP1", "8030020000", "6A86"},
    {"DeleteWrongP1", "00E40100", "6A86"},
    {"DeleteWithoutRight", "00E40000", "6982"},
    {"ResizeWithoutRight", "8032000104 00100000", "6982"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimFileAnswer, testing::ValuesIn(kFileAnswerCases), CaseName);

// WriteWithoutPin above: the user PIN opens the file, not the policy file.
TEST(SimFiles, WritesWithTheUserPinStayInsideTheFile) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000202 AABB"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000702 CCDD"), 0x6A84);
    EXPECT_EQ(card.SwOf("00D6000902 CCDD"), 0x6B00);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3003, 0x4001}), Hex("0006AABB00000000"));
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F003000EEEE 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000001 00"), 0x6982) << "the policy file, whoever is verified";
}

// The free-memory query (80 CB 01 11) and the total (01 10) against the card's bookkeeping.
TEST(SimFiles, CreateAndDeleteMoveFreeMemory) {
    SimCard card;
    const auto query = [&card] {
        const Bytes d = Data(card.Send("80CB011100"));
        return d.size() == 4 ? (uint32_t{d[0]} << 24) | (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3]
                             : 0u;
    };
    EXPECT_EQ(Data(card.Send("80CB011000")), Hex("00018000"));
    const uint32_t before = card.Card().FreeMemory();
    EXPECT_EQ(query(), before);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    EXPECT_EQ(card.SwOf(kCreateKxc05), 0x6982) << "the directory's rule";
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateKxc05), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before - 0x40 - 32);
    EXPECT_EQ(query(), before - 0x60);
    EXPECT_EQ(card.SwOf(kCreateKxc05), 0x6A89);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030018405 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00E40000"), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before);
    EXPECT_EQ(card.SwOf("80A4080C08 3F00300030018405 00"), 0x6A82);
}

class SimMalformedTemplate : public testing::TestWithParam<Exchange> {};

TEST_P(SimMalformedTemplate, IsRefused) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    card.Expect(GetParam());
}

const Exchange kMalformedTemplateCases[] = {
    {"Valid", "00E00100 18 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020", "9000"},
    {"NoAttributes", "00E00100 0E 62810B 8A0104 83028406 80020010", "6A80"},
    {"LifeCycleNot04", "00E00100 18 628115 8A0105 83028406 80020010 8608 0000 0020 0020 0020", "6A80"},
    {"ThreeRules", "00E00100 16 628113 8A0104 83028406 80020010 8606 0000 0020 0020", "6A80"},
    {"RuleByteNotZero", "00E00100 18 628115 8A0104 83028406 80020010 8608 0100 0020 0020 0020", "6A80"},
    {"OuterLengthShort", "00E00100 18 628114 8A0104 83028406 80020010 8608 0000 0020 0020 0020", "6A80"},
    {"TrailingByte", "00E00100 19 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020 00", "6A80"},
    {"InnerOverrun", "00E00100 18 628115 8A0104 83038406 80020010 8608 0000 0020 0020 0020", "6A80"},
    {"DuplicateTag", "00E00100 1C 628119 8A0104 83028406 83028407 80020010 8608 0000 0020 0020 0020", "6A80"},
    {"ReservedId", "00E00100 18 628115 8A0104 83023FFF 80020010 8608 0000 0020 0020 0020", "6A80"},
    {"NotA62", "00E00100 18 638115 8A0104 83028406 80020010 8608 0000 0020 0020 0020", "6A80"},
    {"UnknownKind", "00E00200 18 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020", "6A86"},
    {"LargestSize", "00E00100 18 628115 8A0104 83028406 80027FFF 8608 0000 0020 0020 0020", "9000"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimMalformedTemplate, testing::ValuesIn(kMalformedTemplateCases), CaseName);

TEST(SimFiles, NoSpaceAnswers6A84AndTakesNothing) {
    SimCard card(kUser);
    const auto create = [&card](const std::string& fid) {
        EXPECT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
        return card.SwOf("00E00100 18 628115 8A0104 8302" + fid + " 80027FFF 8608 0000 0020 0020 0020");
    };
    ASSERT_EQ(create("8410"), 0x9000);
    ASSERT_EQ(create("8411"), 0x9000);
    const uint32_t free = card.Card().FreeMemory();
    EXPECT_EQ(create("8412"), 0x6A84);
    EXPECT_EQ(card.Card().FreeMemory(), free);
}

TEST(SimFiles, ListingGivesIdentifiersOutsideTheNamedArea) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003003 00"), 0x9000);
    EXPECT_EQ(ToHex(card.Send("8030010000")), "D2024000D20240019000");
    EXPECT_EQ(ToHex(card.Send("8030380000")), "D20230059000");
    EXPECT_EQ(ToHex(card.Send("8030080000")), "9000");
}

// A directory of the named area is found and listed by its name image, and goes with its files.
TEST(SimFiles, NamedDirectoryLivesByItsNameImage) {
    SimCard card;
    const uint32_t before = card.Card().FreeMemory();
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030025000 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateNamedDir), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030025000 00"), 0x9000);
    EXPECT_EQ(card.SwOf(kCreateNamedDir), 0x6A89);
    EXPECT_EQ(ToHex(card.Send("8030380000")),
              "D21001400000000000000000000000000000"
              "9000");
    const Bytes fcp = card.Send("80A4040C10 01400000000000000000000000000000 00");
    ASSERT_EQ(Sw(fcp), 0x9000);
    EXPECT_EQ(ToHex(Data(fcp)).substr(0, 12), "622E83020001");
    EXPECT_EQ(card.SwOf("80A4040C10 02400000000000000000000000000000 00"), 0x6A82);

    ASSERT_EQ(card.SwOf("80A4040C10 01400000000000000000000000000000 00"), 0x9000);
    ASSERT_EQ(card.SwOf("00E00100 18 628115 8A0104 83020010 80020020 8608 0000 0020 0020 0020"), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C0A 3F003000300250000001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00E40000"), 0x6A86);
    EXPECT_EQ(card.SwOf("00E40100"), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before);
    EXPECT_EQ(card.SwOf("80A4080C0C 3F0030003002500000010010 00"), 0x6A82);
}

TEST(SimFiles, ResizeKeepsContentAndChargesMemory) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030033005 00"), 0x9000);
    ASSERT_EQ(card.SwOf("00E00100 18 628115 8A0104 83024004 80020004 8608 0000 0030 0030 0030"), 0x9000);
    ASSERT_EQ(card.SwOf("00D6000004 01020304"), 0x9000);
    const uint32_t before = card.Card().FreeMemory();
    EXPECT_EQ(card.SwOf("8032000104 00060000"), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before - 2);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3003, 0x3005, 0x4004}), Hex("010203040000"));
    EXPECT_EQ(card.SwOf("8032000104 00020001"), 0x6A80);
    EXPECT_EQ(card.SwOf("8032000003 000200"), 0x6A86);
}

TEST(SimFiles, RewriteAttributesReplacesTag86) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateKxc05), 0x9000);
    EXPECT_EQ(card.SwOf("80E80000 0A 6208 8606 0000 0024 0024"), 0x6A80);
    EXPECT_EQ(card.SwOf("80E80000 0C 620A 8608 0000 0024 0024 0024"), 0x9000);
    const std::string fcp = ToHex(card.Send("80A4080C08 3F00300030018405 00"));
    EXPECT_NE(fcp.find("86080000002400240024"), std::string::npos) << fcp;
    EXPECT_EQ(card.SwOf("00D6000001 01"), 0x6982);
}

TEST(SimFiles, KeyObjectsNeedTheCurvesDomainAndNoMaterialOutsideSecureMessaging) {
    SimCard card(kUser);
    const uint32_t before = card.Card().FreeMemory();
    Bytes wrongB = KeyTemplate(0x0061, 0x20, kSign);
    const Bytes b = helixsim::crypto::CurveParameters(helixsim::crypto::Curve::P256).b;
    std::search(wrongB.begin(), wrongB.end(), b.begin(), b.end())[0] ^= 0x01;
    EXPECT_EQ(CreateKeyObject(card, wrongB), 0x6A80);
    EXPECT_EQ(CreateKeyObject(card, KeyTemplate(0x0061, 0x20, kSign)), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before - 32 - 3 * 0x20);
    const std::string fcp = ToHex(card.Send("80A4080C08 3F00300030020061 00"));
    EXPECT_NE(fcp.find("850503043000A3"), std::string::npos) << fcp;
    EXPECT_EQ(CreateKeyObject(card, KeyTemplate(0x0042, 0x40, 0x0C, Hex("900101"))), 0x6982);
}

}  // namespace
