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

// Free memory is read from two or four bytes, nothing else.
TEST(Info, FreeMemoryIsTwoOrFourBytes) {
    for (const auto& [answer, expected] :
         {std::pair{"1234 9000", 0x1234}, {"00010000 9000", 65536}, {"010203 9000", -1}}) {
        ScriptedCard card({{"80CB011100", answer}});
        Helix h;
        if (expected < 0) {
            EXPECT_EQ(ThrownStatusWord([&] { h.applet.Info()->GetFreeMemory(); }), 0x6281);
        } else {
            EXPECT_EQ(h.applet.Info()->GetFreeMemory(), static_cast<uint32_t>(expected));
        }
    }
}

// Only the user PIN (20) and the biometric objects (23, 24, 25) count; any other guard, or attributes too
// short to name one, mean no kind.
TEST(Bio, UserAuthKindIsTheGuardingObjectWhenItIsAUserObject) {
    for (unsigned id = 0; id <= 0x100; ++id) {
        const std::string attributes = id == 0x100 ? "20" : "00" + HexByte(id) + "00200020";
        ScriptedCard card(
            {{"80A4080C063F00300030 0200", Tlv("62", "83023002 870138" + Tlv("86", attributes)) + "9000"}});
        const bool counted = id == 0x20 || id == 0x23 || id == 0x24 || id == 0x25;
        EXPECT_EQ(Helix().applet.Bio()->GetUserAuthKind(), counted ? id : 0u) << attributes;
    }
}

// A command with data goes out in pieces of 224 bytes, all but the last under CLA | 10, the last asking for
// everything; the answer is appended to what the caller holds. A refused piece stops the command with the
// folded word; the final word is checked after the data is kept.
TEST(ChainedSend, CutsTheDataIntoPiecesAndCollectsTheAnswer) {
    const std::string d260 = "82820100" + Repeat("5A", 256);
    const std::string d448 = Repeat("11", 448);
    const std::string d300 = Repeat("22", 300);
    struct Case {
        std::string command;
        Script script;
        std::string answer;  // after AA, or the status word thrown as "SW xxxx"
    };
    const Case cases[] = {
        {"002A800C000104" + d260 + "0000",
         {{"102A800CE0" + d260.substr(0, 448), "9000"},
          {"002A800C24" + d260.substr(448) + "00", "8003010203 9000"}},
         "AA8003010203"},
        {"002A9E8A0001C0" + d448 + "0000",  // an exact multiple ends with a full piece
         {{"102A9E8AE0" + d448.substr(0, 448), "9000"},
          {"002A9E8AE0" + d448.substr(448) + "00", "CAFE 9000"}},
         "AACAFE"},
        {"8030380000",
         {{"8030380000", "D2 6110"}, {"00C0000010", Repeat("01", 16) + "9000"}},
         "AAD2" + Repeat("01", 16)},
        {"002A800C00012C" + d300 + "0000", {{"102A800CE0" + d300.substr(0, 448), "6982"}}, "SW 6900"},
        {"8030010000", {{"8030010000", "6A82"}}, "SW 6A82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command.substr(0, 14));
        ScriptedCard card(c.script);
        Helix h;
        libapdu::ByteVector answer{0xAA};
        std::string result;
        if (const auto sw = ThrownStatusWord([&] { h.applet.Pack()->ChainedSend(Hex(c.command), answer); }))
            result = "SW " + HexWord(*sw);
        EXPECT_EQ(result.empty() ? ToHex(answer) : result, c.answer);
    }
}

}  // namespace
