#include <gtest/gtest.h>

#include <string>

#include "hex.h"
#include "libapdu/commands_helix.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::Command;
namespace helix = libapdu::helix;

namespace {

struct Case {
    const char* name;
    Command command;
    std::string bytes;
};

void ExpectBytes(const Case& c) {
    EXPECT_EQ(ToHex(c.command.Encode()), ToHex(Hex(c.bytes))) << c.name;
}

const ByteVector k255(255, 0xAA);
const ByteVector k256(256, 0xAA);

}  // namespace

// Short when both lengths fit, extended otherwise; the forms are never mixed.
TEST(CommandForm, EncodesInExactlyOneIsoForm) {
    const Case cases[] = {
        {"case 1", Command(0x00, 0xE4, 0x01, 0x00), "00E40100"},
        {"case 2 short, Ne 256 is Le 00", Command(0, 0xB0, 0, 0).Expect(256), "00B0000000"},
        {"case 2 short, Ne 1", Command(0, 0xB0, 0, 0).Expect(1), "00B0000001"},
        {"case 2 extended, Ne 257", Command(0, 0xB0, 0, 0).Expect(257), "00B00000000101"},
        {"case 2 extended, Ne 65536", Command(0, 0xB0, 0, 0).Expect(65536), "00B00000000000"},
        {"case 3 short 255", Command(0, 0xD6, 0, 0).Data(k255), "00D60000FF" + Repeat("AA", 255)},
        {"case 3 extended 256", Command(0, 0xD6, 0, 0).Data(k256), "00D60000000100" + Repeat("AA", 256)},
        {"case 4 short maximum", Command(0x80, 0x86, 0, 0).Data(k255).ExpectMaximum(),
         "80860000FF" + Repeat("AA", 255) + "00"},
        // A long data field takes the Le along: never Lc 00 xx xx with one Le byte.
        {"case 4 extended maximum", Command(0x80, 0x86, 0, 0).Data(k256).ExpectMaximum(),
         "80860000000100" + Repeat("AA", 256) + "0000"},
        {"case 4 extended by Ne", Command(0, 0x2A, 0, 0).Data(Hex("01")).Expect(300), "002A000000000101012C"},
        {"forced extended without Le", Command(0, 0xE0, 8, 0).Data(Hex("62")).Extended(), "00E0080000000162"},
    };
    for (const Case& c : cases) ExpectBytes(c);
    // Data or Ne beyond the extended form is a wrong parameter.
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xD6, 0, 0).Data(ByteVector(65536, 0)).Encode(); }),
              0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xB0, 0, 0).Expect(65537); }), 0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xB0, 0, 0).Expect(0); }), 0x6B00);
    EXPECT_EQ(Command(0, 0xD6, 0, 0).Data(ByteVector(65535, 0)).Encode().size(), 7u + 65535u);
}

TEST(ChainPieces, ExactMultipleEndsWithAFullPieceAndNothingIsLost) {
    const ByteVector data(448, 1);
    EXPECT_EQ(libapdu::ChainPieces(data, 224).size(), 2u);
    EXPECT_EQ(libapdu::ChainPieces(data, 224).back().size, 224u);
    const ByteVector longer(449, 1);
    EXPECT_EQ(libapdu::ChainPieces(longer, 224).size(), 3u);
    EXPECT_EQ(libapdu::ChainPieces(longer, 224).back().size, 1u);
    EXPECT_EQ(libapdu::ChainPieces(ByteVector(), 224).size(), 1u);
}

TEST(HelixCommand, HasTheBytesTheCardExpects) {
    const Case cases[] = {
        {"SelectApplet", helix::SelectApplet(), "00A404000C A000000164 505249534D 0001"},
        {"SelectPath", helix::SelectPath({0x3F00, 0x3000, 0x3002}), "80A4080C06 3F0030003002 00"},
        {"SelectName", helix::SelectName(Hex("0140 0000 0000 0000 0000 0000 0000 0000")),
         "80A4040C10 01400000000000000000000000000000 00"},
        {"SelectFid", helix::SelectFid(0x867F), "80A4000C02 867F 00"},
        {"ReadBinary", helix::ReadBinary(0x0123, 0xFF), "00B00123FF"},
        {"UpdateBinary", helix::UpdateBinary(0x7FFF, Hex("0102")), "00D67FFF02 0102"},
        {"CreateFile", helix::CreateFile(0x38, Hex("6281 00")), "00E0380003 628100"},
        {"CreateKeyObject", helix::CreateKeyObject(Hex("6282 0000")), "00E00800000004 62820000"},
        {"DeleteFile", helix::DeleteFile(false), "00E40000"},
        {"DeleteDirectory", helix::DeleteFile(true), "00E40100"},
        {"RewriteAttributes", helix::RewriteAttributes(Hex("6204 8602 0020")), "80E8000006 620486020020"},
        {"ResizeFile", helix::ResizeFile(0x1234), "8032000104 12340000"},
        {"ListFiles", helix::ListFiles(0x38), "8030380000"},
        {"VerifyProtected", helix::VerifyProtected(ByteVector(16, 0x11)), "8020000010" + Repeat("11", 16)},
        {"VerifyPlain", helix::Verify(0x00, Hex("31323334")), "0020000004 31323334"},
        {"VerifyBiometric", helix::Verify(0x23, Hex("AB")), "0020002301 AB"},
        {"VerifiedObjects", helix::VerifiedObjects(), "80CE000000"},
        {"Logout", helix::Logout(0x20), "8028000004 00000020"},
        {"GetChallenge", helix::GetChallenge(8), "0084000008"},
        {"ExternalAuthenticate", helix::ExternalAuthenticate(Hex("0102030405060708")),
         "8082000008 0102030405060708"},
        {"ResetRetryCounter", helix::ResetRetryCounter(), "802C000000"},
        {"SetPinValue", helix::SetPinValue(Hex("313233")), "8024000008 6281058103 313233"},
        {"GetData", helix::GetData(0x00, 0x0003), "00CB000300"},
        {"GetDataProprietary", helix::GetData(0x80, 0x0111), "80CB011100"},
        {"GetCapabilities", helix::GetCapabilities(0x88, 5), "80CB018805"},
        {"ReadPublicKey", helix::ReadPublicKey(), "8048000000"},
        {"KeyEstablishmentValues", helix::KeyEstablishmentValues(), "8048008000"},
        {"OpenSecureSessionShort", helix::OpenSecureSession(Hex("0102")), "8086000002 0102 00"},
        {"CloseSecureSession", helix::CloseSecureSession(), "8086FFFF"},
        {"GenerateKeyPair", helix::GenerateKeyPair(0x0D), "0047000005 AC0380010D"},
        {"PerformSecurityOperation", helix::PerformSecurityOperation(0x9E, 0x8A, Hex("8001AA")),
         "002A9E8A000003 8001AA 0000"},
        {"AgreeKey", helix::AgreeKey(Hex("0102"), 0x20), "804A000003 040102 20"},
        {"GetResponse", libapdu::GetResponse(0x10), "00C0000010"},
        {"GetResponseOfAll", libapdu::GetResponse(0x00), "00C0000000"},
    };
    for (const Case& c : cases) ExpectBytes(c);
}
