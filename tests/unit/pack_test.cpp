#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/applet_helix.h"
#include "scripted_card.h"
#include "thrown.h"

using libapdu::ByteVector;

namespace {

std::string ChainedSend(const std::string& command) {
    CSCardSender sender(ScriptedCard::kHandle, 3);
    libapdu::CAppletHelix applet(&sender);
    ByteVector answer{0xAA};  // appended to, not replaced
    applet.Pack()->ChainedSend(Hex(command), answer);
    return ToHex(answer);
}

}  // namespace

TEST(ChainedSend, DecipherOf256BytesGoesOutInTwoPieces) {
    const std::string data = "82820100" + Repeat("5A", 256);  // 260 bytes
    ScriptedCard card({{"102A800CE0" + data.substr(0, 2 * 224), "9000"},
                       {"002A800C24" + data.substr(2 * 224) + "00", "8003010203 9000"}});
    EXPECT_EQ(ChainedSend("002A800C000104" + data + "0000"), "AA8003010203");
}

TEST(ChainedSend, ExactMultipleOf224EndsWithAFullFinalPiece) {
    const std::string data = Repeat("11", 448);
    ScriptedCard card({{"102A9E8AE0" + data.substr(0, 448), "9000"},
                       {"002A9E8AE0" + data.substr(448) + "00", "CAFE 9000"}});
    EXPECT_EQ(ChainedSend("002A9E8A0001C0" + data + "0000"), "AACAFE");
}

TEST(ChainedSend, CommandWithoutDataIsSentUnchangedAndItsAnswerCollected) {
    ScriptedCard card({{"8030380000", "D2 6110"}, {"00C0000010", Repeat("01", 16) + "9000"}});
    EXPECT_EQ(ChainedSend("8030380000"), "AAD2" + Repeat("01", 16));
}

TEST(ChainedSend, RefusedPieceStopsTheCommandWithTheNormalisedWord) {
    const std::string data = Repeat("22", 300);
    ScriptedCard card({{"102A800CE0" + data.substr(0, 448), "6982"}});
    EXPECT_EQ(ThrownStatusWord([&] { ChainedSend("002A800C00012C" + data + "0000"); }), 0x6900);
}

TEST(ChainedSend, FinalWordIsCheckedAfterTheDataIsKept) {
    ScriptedCard card({{"8030010000", "6A82"}});
    EXPECT_EQ(ThrownStatusWord([&] { ChainedSend("8030010000"); }), 0x6A82);
}
