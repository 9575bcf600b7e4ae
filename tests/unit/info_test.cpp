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

TEST(Info, RandomComesInPiecesOfAtMostEightBytes) {
    ScriptedCard card({{"0084000008", "0102030405060708 9000"},
                       {"0084000008", "1112131415161718 9000"},
                       {"0084000004", "21222324 9000"}});
    Helix h;
    libapdu::ByteVector out{0xEE};
    h.applet.Info()->GetRandom(out, 20);
    EXPECT_EQ(ToHex(out), "EE0102030405060708111213141516171821222324");
}

// Memory is read from two or four bytes; the fixed-length queries refuse other lengths.
TEST(Info, AnswersOfTheWrongLengthAreRefused) {
    for (const auto& [answer, expected] : {std::pair{"1234 9000", 0x1234}, {"00010000 9000", 65536}}) {
        ScriptedCard card({{"80CB011100", answer}});
        EXPECT_EQ(Helix().applet.Info()->GetFreeMemory(), static_cast<uint32_t>(expected));
    }
    ScriptedCard card({{"80CB011000", "010203 9000"},
                       {"00CB000300", "01020304 9000"},
                       {"80CB011400", "0102030405 9000"},
                       {"0084000008", "01 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetTotalMemory(); }), 0x6281);
    EXPECT_EQ(ToHex(h.applet.Info()->GetData0003()), "01020304");
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetData0114(); }), 0x6281);
    libapdu::ByteVector out;
    EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetRandom(out, 8); }), 0x6281);
}

// Only the user PIN (20) and the biometric objects (23, 24, 25) count; any other guard, or
// attributes too short to name one, mean no kind.
TEST(Bio, UserAuthKindIsTheGuardingObjectWhenItIsAUserObject) {
    for (unsigned id = 0; id <= 0x100; ++id) {
        const std::string attributes = id == 0x100 ? "20" : "00" + HexByte(id) + "00200020";
        ScriptedCard card(
            {{"80A4080C063F00300030 0200", Tlv("62", "83023002 870138" + Tlv("86", attributes)) + "9000"}});
        const bool counted = id == 0x20 || id == 0x23 || id == 0x24 || id == 0x25;
        EXPECT_EQ(Helix().applet.Bio()->GetUserAuthKind(), counted ? id : 0u) << attributes;
    }
}

TEST(Bio, BiometricValueIsPresentedInAPlainVerify) {
    ScriptedCard card({{"0020002314" + std::string(40, 'B'), "63C2"}});
    const libapdu::ByteVector value(20, 0xBB);
    EXPECT_EQ(ThrownStatusWord([&] { Helix().applet.Bio()->VerifyBiometric(0x23, value); }), 0x6300);
}

}  // namespace
