#include <gtest/gtest.h>

#include <string>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/applet_helix.h"
#include "scripted_card.h"
#include "thrown.h"

namespace {

// A selected-by-construction Helix applet over the scripted card.
struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
};

const char* const kSelectAppDir = "80A4080C063F00300030 0200";

std::string LengthHex(const std::string& hex) {
    return HexByte(Hex(hex).size());
}

// The application directory's FCP answer with the given security attributes.
std::string Fcp86(const std::string& attributes) {
    const std::string value =
        "83023002"
        "870138"
        "86" +
        LengthHex(attributes) + attributes;
    return "62" + LengthHex(value) + value + "9000";
}

}  // namespace

TEST(Info, RandomComesInPiecesOfAtMostEightBytes) {
    ScriptedCard card({{"0084000008", "0102030405060708 9000"},
                       {"0084000008", "1112131415161718 9000"},
                       {"0084000004", "21222324 9000"}});
    Helix h;
    libapdu::ByteVector out{0xEE};
    h.applet.Info()->GetRandom(out, 20);
    EXPECT_EQ(ToHex(out),
              "EE01020304050607081112131415161718"
              "21222324");
}

TEST(Info, MemoryIsReadFromTwoOrFourBytes) {
    const std::pair<const char*, uint32_t> cases[] = {{"1234 9000", 0x1234}, {"00010000 9000", 65536}};
    for (const auto& [answer, expected] : cases) {
        ScriptedCard card({{"80CB011100", answer}});
        Helix h;
        EXPECT_EQ(h.applet.Info()->GetFreeMemory(), expected);
    }
    ScriptedCard card({{"80CB011000", "010203 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetTotalMemory(); }), 0x6281);
}

TEST(Info, FixedLengthQueriesRefuseOtherLengths) {
    ScriptedCard card(
        {{"00CB000300", "01020304 9000"}, {"80CB011400", "0102030405 9000"}, {"0084000008", "01 9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.applet.Info()->GetData0003()), "01020304");
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetData0114(); }), 0x6281);
    libapdu::ByteVector out;
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetRandom(out, 8); }), 0x6281);
}

// Only the user PIN (20) and the biometric objects (23, 24, 25) count; any other guard, or
// attributes too short to name one, mean no kind.
TEST(Bio, UserAuthKindIsTheGuardingObjectWhenItIsAUserObject) {
    for (unsigned id = 0; id <= 0xFF; ++id) {
        ScriptedCard card({{kSelectAppDir, Fcp86("00" + HexByte(id) + "00200020")}});
        Helix h;
        const bool counted = id == 0x20 || id == 0x23 || id == 0x24 || id == 0x25;
        EXPECT_EQ(h.applet.Bio()->GetUserAuthKind(), counted ? id : 0u) << HexByte(id);
    }
    ScriptedCard card({{kSelectAppDir, Fcp86("20")}});
    Helix h;
    EXPECT_EQ(h.applet.Bio()->GetUserAuthKind(), 0u);
}

TEST(Bio, BiometricValueIsPresentedInAPlainVerify) {
    ScriptedCard card({{"0020002314" + std::string(40, 'B'), "63C2"}});
    Helix h;
    const libapdu::ByteVector value(20, 0xBB);
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Bio()->VerifyBiometric(0x23, value); }), 0x6300);
}
