// The card's file system as the host drives it: FCP answers, bounds, creation templates, access
// rules and the memory they use.
#include <gtest/gtest.h>

#include "sim_card.h"

namespace {

using simtest::Bytes;
using simtest::Concat;
using simtest::Data;
using simtest::SimCard;
using simtest::Slice;
using simtest::Sw;

// The host's templates, byte for byte.
const char* const kCreateKxc05 =
    "00E00100 1F 62811C 8A0104 83028405 80020040 8608 0000 0020 0020 0020 8405 6B78633035";
const char* const kCreateNamedDir =
    "00E03800 2E 62812B 8A0104 83020001 80020000 8410 01400000000000000000000000000000 860C 0020 0020 0020 "
    "0020 0000 00FF";

const char* const kP256Domain =
    "9020 FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF"
    "9120 FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC"
    "9220 5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B"
    "938141 04 6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
    "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5"
    "9420 FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551"
    "9501 01";

std::string KeyTemplateHead() {
    return "8A0104 83020061 80020020 860E 0000 00FF 00FF 0020 0020 0000 0020 8505 0304300 0A3";
}

// Sends a long command the way the host's chained send does: 224-byte pieces with CLA | 10.
Bytes SendChained(SimCard& card, const Bytes& header, const Bytes& data) {
    size_t at = 0;
    while (data.size() - at > 224) {
        const Bytes piece =
            Concat({{static_cast<uint8_t>(header[0] | 0x10), header[1], header[2], header[3], 0xE0},
                    Slice(data, at, 224)});
        EXPECT_EQ(Sw(card.Send(piece)), 0x9000);
        at += 224;
    }
    return card.Send(
        Concat({{header[0], header[1], header[2], header[3], static_cast<uint8_t>(data.size() - at)},
                Slice(data, at),
                {0x00}}));
}

Bytes Wrap62(const Bytes& inner) {
    return Concat(
        {{0x62, 0x82, static_cast<uint8_t>(inner.size() >> 8), static_cast<uint8_t>(inner.size())}, inner});
}

Bytes EcKeyTemplate(const std::string& domain) {
    Bytes domainBytes = Hex(domain);
    Bytes inner = Hex(KeyTemplateHead());
    inner.insert(inner.end(), {0xE1, 0x82, static_cast<uint8_t>(domainBytes.size() >> 8),
                               static_cast<uint8_t>(domainBytes.size())});
    inner.insert(inner.end(), domainBytes.begin(), domainBytes.end());
    return Wrap62(inner);
}

TEST(SimFiles, SelectByPathAnswersTheFcpTheHostParses) {
    SimCard card;
    EXPECT_EQ(ToHex(card.Send("80A4080C08 3F00300030034001 00")),
              "62188302400187010180020008860800000020"
              "00FF00FF8A01049000");
}

TEST(SimFiles, ApplicationDirectoryNamesTheUserObjectInAttributeByteOne) {
    SimCard card(helixsim::ProfileByName("bio-24"));
    const Bytes fcp = card.Send("80A4080C06 3F0030003002 00");
    ASSERT_EQ(Sw(fcp), 0x9000);
    const std::string hex = ToHex(fcp);
    EXPECT_NE(hex.find("860C0024002400240"), std::string::npos) << hex;
}

struct SwCase {
    const char* name;
    const char* command;
    uint16_t sw;
};

class SimFileStatus : public testing::TestWithParam<SwCase> {};

TEST_P(SimFileStatus, AnswersTheStatusWord) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf(GetParam().command), GetParam().sw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimFileStatus,
    testing::Values(SwCase{"MissingFile", "80A4080C06 3F0030004444 00", 0x6A82},
                    SwCase{"PathNotFromMf", "80A4080C04 30003003 00", 0x6A82},
                    SwCase{"OddPath", "80A4080C03 3F0030 00", 0x6700},
                    SwCase{"SelectP2NotOC", "80A4080006 3F0030003003 00", 0x6A86},
                    SwCase{"ReadWhole", "00B0000008", 0x9000}, SwCase{"ReadShortFile", "00B0000010", 0x6282},
                    SwCase{"ReadAtEnd", "00B0000801", 0x6282}, SwCase{"ReadBeyond", "00B0000901", 0x6B00},
                    SwCase{"WriteWithoutPin", "00D6000002 0102", 0x6982},
                    SwCase{"SiblingById", "80A4000C02 4000 00", 0x9000},
                    SwCase{"ParentById", "80A4000C02 3000 00", 0x9000},
                    SwCase{"UnknownId", "80A4000C02 1234 00", 0x6A82},
                    SwCase{"ListBadP1", "8030020000", 0x6A86}, SwCase{"DeleteWrongP1", "00E40100", 0x6A86},
                    SwCase{"DeleteWithoutRight", "00E40000", 0x6982},
                    SwCase{"ResizeWithoutRight", "8032000104 00100000", 0x6982}),
    [](const testing::TestParamInfo<SwCase>& param) { return param.param.name; });

TEST(SimFiles, ReadBinaryAnswersWhatRemainsWith6282) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(ToHex(card.Send("00B0000610")), "00006282");
}

TEST(SimFiles, WritesNeedTheUserPinAndStayInsideTheFile) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000202 AABB"), 0x6982);
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000202 AABB"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000702 CCDD"), 0x6A84);
    EXPECT_EQ(card.SwOf("00D6000902 CCDD"), 0x6B00);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3003, 0x4001}), Hex("0006AABB00000000"));
}

TEST(SimFiles, PolicyFileIsNeverWritable) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F003000EEEE 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00D6000001 00"), 0x6982);
}

TEST(SimFiles, CreateAndDeleteMoveFreeMemory) {
    SimCard card;
    const uint32_t before = card.Card().FreeMemory();
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateKxc05), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before - 0x40 - 32);
    EXPECT_EQ(card.SwOf(kCreateKxc05), 0x6A89);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030018405 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00E40000"), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before);
    EXPECT_EQ(card.SwOf("80A4080C08 3F00300030018405 00"), 0x6A82);
}

TEST(SimFiles, FreeMemoryQueryFollowsTheStore) {
    SimCard card;
    const auto query = [&card] {
        const Bytes d = Data(card.Send("80CB011100"));
        return d.size() == 4 ? (uint32_t{d[0]} << 24) | (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3]
                             : 0u;
    };
    const uint32_t before = query();
    EXPECT_EQ(before, card.Card().FreeMemory());
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateKxc05), 0x9000);
    EXPECT_EQ(query(), before - 0x60);
    EXPECT_EQ(Data(card.Send("80CB011000")), Hex("00018000"));
}

TEST(SimFiles, CreateNeedsTheDirectorysRight) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    EXPECT_EQ(card.SwOf(kCreateKxc05), 0x6982);
}

class SimMalformedTemplate : public testing::TestWithParam<SwCase> {};

TEST_P(SimMalformedTemplate, IsRefused) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    EXPECT_EQ(card.SwOf(GetParam().command), GetParam().sw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimMalformedTemplate,
    testing::Values(
        SwCase{"Valid", "00E00100 18 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020", 0x9000},
        SwCase{"NoAttributes", "00E00100 0E 62810B 8A0104 83028406 80020010", 0x6A80},
        SwCase{"LifeCycleNot04", "00E00100 18 628115 8A0105 83028406 80020010 8608 0000 0020 0020 0020",
               0x6A80},
        SwCase{"ThreeRules", "00E00100 16 628113 8A0104 83028406 80020010 8606 0000 0020 0020", 0x6A80},
        SwCase{"RuleByteNotZero", "00E00100 18 628115 8A0104 83028406 80020010 8608 0100 0020 0020 0020",
               0x6A80},
        SwCase{"OuterLengthShort", "00E00100 18 628114 8A0104 83028406 80020010 8608 0000 0020 0020 0020",
               0x6A80},
        SwCase{"TrailingByte", "00E00100 19 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020 00",
               0x6A80},
        SwCase{"InnerOverrun", "00E00100 18 628115 8A0104 83038406 80020010 8608 0000 0020 0020 0020",
               0x6A80},
        SwCase{"DuplicateTag",
               "00E00100 1C 628119 8A0104 83028406 83028407 80020010 8608 0000 0020 0020 0020", 0x6A80},
        SwCase{"ReservedId", "00E00100 18 628115 8A0104 83023FFF 80020010 8608 0000 0020 0020 0020", 0x6A80},
        SwCase{"NotA62", "00E00100 18 638115 8A0104 83028406 80020010 8608 0000 0020 0020 0020", 0x6A80},
        SwCase{"UnknownKind", "00E00200 18 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020", 0x6A86},
        SwCase{"LargestSize", "00E00100 18 628115 8A0104 83028406 80027FFF 8608 0000 0020 0020 0020",
               0x9000}),
    [](const testing::TestParamInfo<SwCase>& param) { return param.param.name; });

TEST(SimFiles, NoSpaceAnswers6A84) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    const char* const big[] = {"00E00100 18 628115 8A0104 83028410 80027FFF 8608 0000 0020 0020 0020",
                               "00E00100 18 628115 8A0104 83028411 80027FFF 8608 0000 0020 0020 0020",
                               "00E00100 18 628115 8A0104 83028412 80027FFF 8608 0000 0020 0020 0020"};
    ASSERT_EQ(card.SwOf(big[0]), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    ASSERT_EQ(card.SwOf(big[1]), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    const uint32_t free = card.Card().FreeMemory();
    EXPECT_EQ(card.SwOf(big[2]), 0x6A84);
    EXPECT_EQ(card.Card().FreeMemory(), free);
}

TEST(SimFiles, ListingGivesIdentifiersOutsideTheNamedArea) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003003 00"), 0x9000);
    EXPECT_EQ(ToHex(card.Send("8030010000")), "D2024000D20240019000");
    EXPECT_EQ(ToHex(card.Send("8030380000")), "D20230059000");
    EXPECT_EQ(ToHex(card.Send("8030080000")), "9000");
}

TEST(SimFiles, NamedDirectoryIsFoundByItsNameImageAndListedByIt) {
    SimCard card;
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
}

TEST(SimFiles, DeletingADirectoryTakesItsFilesAlong) {
    SimCard card;
    const uint32_t before = card.Card().FreeMemory();
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030025000 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateNamedDir), 0x9000);
    ASSERT_EQ(card.SwOf("00E00100 18 628115 8A0104 83020010 80020020 8608 0000 0020 0020 0020"), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C0A 3F003000300250000001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("00E40000"), 0x6A86);
    EXPECT_EQ(card.SwOf("00E40100"), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before);
    EXPECT_EQ(card.SwOf("80A4080C0C 3F0030003002500000010010 00"), 0x6A82);
}

TEST(SimFiles, ResizeKeepsContentAndChargesMemory) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
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
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    ASSERT_EQ(card.SwOf(kCreateKxc05), 0x9000);
    EXPECT_EQ(card.SwOf("80E80000 0A 6208 8606 0000 0024 0024"), 0x6A80);
    EXPECT_EQ(card.SwOf("80E80000 0C 620A 8608 0000 0024 0024 0024"), 0x9000);
    const std::string fcp = ToHex(card.Send("80A4080C08 3F00300030018405 00"));
    EXPECT_NE(fcp.find("86080000002400240024"), std::string::npos) << fcp;
    EXPECT_EQ(card.SwOf("00D6000001 01"), 0x6982);
}

TEST(SimFiles, EcKeyObjectNeedsTheCurvesDomainParameters) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    const uint32_t before = card.Card().FreeMemory();

    std::string wrongB = kP256Domain;
    wrongB.replace(wrongB.find("5AC6"), 4, "5AC7");
    EXPECT_EQ(Sw(SendChained(card, Hex("00E00800"), EcKeyTemplate(wrongB))), 0x6A80);
    EXPECT_EQ(Sw(SendChained(card, Hex("00E00800"), EcKeyTemplate(kP256Domain))), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before - 32 - 3 * 0x20);
    const std::string fcp = ToHex(card.Send("80A4080C08 3F00300030020061 00"));
    EXPECT_NE(fcp.find("8505030430"
                       "00A3"),
              std::string::npos)
        << fcp;
}

TEST(SimFiles, RsaKeyObjectSizesFollowTheProfile) {
    const Bytes rsa4096 =
        Wrap62(Hex("8A0104 83020042 80020200 860E 0000 00FF 00FF 0020 0020 0000 0020 8505 050C2000A3 7100"));
    for (const char* profile : {"default", "no-4096"}) {
        SimCard card(helixsim::ProfileByName(profile));
        ASSERT_EQ(card.LoginUser(), 0x9000);
        ASSERT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
        EXPECT_EQ(Sw(SendChained(card, Hex("00E00800"), rsa4096)),
                  std::string(profile) == "default" ? 0x9000 : 0x6A80)
            << profile;
    }
}

TEST(SimFiles, KeyMaterialOutsideSecureMessagingIsRefused) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    const Bytes withMaterial = Wrap62(
        Hex("8A0104 83020042 80020040 860E 0000 00FF 00FF 0020 0020 0000 0020 8505 050C2000A3 7103 900101"));
    EXPECT_EQ(Sw(SendChained(card, Hex("00E00800"), withMaterial)), 0x6982);
}

}  // namespace
