#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "case_name.h"
#include "hex.h"
#include "libapdu/commands_helix.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::Command;
namespace helix = libapdu::helix;

namespace {

ByteVector Filled(size_t n, uint8_t value) {
    return ByteVector(n, value);
}

struct FormCase {
    const char* name;
    std::function<Command()> build;
    std::string expected;
};

class CommandForm : public testing::TestWithParam<FormCase> {};

TEST_P(CommandForm, EncodesInExactlyOneIsoForm) {
    EXPECT_EQ(ToHex(GetParam().build().Encode()), ToHex(Hex(GetParam().expected)));
}

const ByteVector k255 = Filled(255, 0xAA);
const ByteVector k256 = Filled(256, 0xAA);

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandForm,
    testing::Values(
        FormCase{"Case1", [] { return Command(0x00, 0xE4, 0x01, 0x00); }, "00E40100"},
        FormCase{"Case2ShortNe256IsLe00", [] { return Command(0, 0xB0, 0, 0).Expect(256); }, "00B0000000"},
        FormCase{"Case2ShortNe1", [] { return Command(0, 0xB0, 0, 0).Expect(1); }, "00B0000001"},
        FormCase{"Case2ExtendedNe257", [] { return Command(0, 0xB0, 0, 0).Expect(257); }, "00B00000000101"},
        FormCase{"Case2ExtendedNe65536", [] { return Command(0, 0xB0, 0, 0).Expect(65536); },
                 "00B00000000000"},
        FormCase{"Case3Short255", [] { return Command(0, 0xD6, 0, 0).Data(k255); },
                 "00D60000FF" + Repeat("AA", 255)},
        FormCase{"Case3Extended256", [] { return Command(0, 0xD6, 0, 0).Data(k256); },
                 "00D60000000100" + Repeat("AA", 256)},
        FormCase{"Case4ShortMaximum", [] { return Command(0x80, 0x86, 0, 0).Data(k255).ExpectMaximum(); },
                 "80860000FF" + Repeat("AA", 255) + "00"},
        // A long data field takes the Le along into the extended form: never Lc 00 xx xx with one Le byte.
        FormCase{"Case4ExtendedMaximum", [] { return Command(0x80, 0x86, 0, 0).Data(k256).ExpectMaximum(); },
                 "80860000000100" + Repeat("AA", 256) + "0000"},
        FormCase{"Case4ExtendedByNe", [] { return Command(0, 0x2A, 0, 0).Data(Hex("01")).Expect(300); },
                 "002A000000000101012C"},
        FormCase{"ForcedExtendedWithoutLe", [] { return Command(0, 0xE0, 8, 0).Data(Hex("62")).Extended(); },
                 "00E0080000000162"}),
    CaseName());

TEST(CommandLimits, DataOrNeBeyondTheExtendedFormIsAWrongParameter) {
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xD6, 0, 0).Data(Filled(65536, 0)).Encode(); }), 0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xB0, 0, 0).Expect(65537); }), 0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xB0, 0, 0).Expect(0); }), 0x6B00);
    EXPECT_EQ(Command(0, 0xD6, 0, 0).Data(Filled(65535, 0)).Encode().size(), 7u + 65535u);
}

TEST(ChainPieces, ExactMultipleEndsWithAFullPieceAndNothingIsLost) {
    const ByteVector data = Filled(448, 1);
    EXPECT_EQ(libapdu::ChainPieces(data, 224).size(), 2u);
    EXPECT_EQ(libapdu::ChainPieces(data, 224).back().size, 224u);
    const ByteVector longer = Filled(449, 1);
    EXPECT_EQ(libapdu::ChainPieces(longer, 224).size(), 3u);
    EXPECT_EQ(libapdu::ChainPieces(longer, 224).back().size, 1u);
    EXPECT_EQ(libapdu::ChainPieces(ByteVector(), 224).size(), 1u);
}

struct BuilderCase {
    const char* name;
    std::function<Command()> build;
    const char* bytes;
};

class HelixCommand : public testing::TestWithParam<BuilderCase> {};

TEST_P(HelixCommand, HasTheBytesTheCardExpects) {
    EXPECT_EQ(ToHex(GetParam().build().Encode()), ToHex(Hex(GetParam().bytes)));
}

const ByteVector kImage = Hex("0140 0000 0000 0000 0000 0000 0000 0000");

INSTANTIATE_TEST_SUITE_P(
    Builders, HelixCommand,
    testing::Values(
        BuilderCase{"SelectApplet", [] { return helix::SelectApplet(); },
                    "00A404000C A000000164 505249534D 0001"},
        BuilderCase{"SelectPath",
                    [] {
                        return helix::SelectPath({0x3F00, 0x3000, 0x3002});
                    },
                    "80A4080C06 3F0030003002 00"},
        BuilderCase{"SelectName", [] { return helix::SelectName(kImage); },
                    "80A4040C10 01400000000000000000000000000000 00"},
        BuilderCase{"SelectFid", [] { return helix::SelectFid(0x867F); }, "80A4000C02 867F 00"},
        BuilderCase{"ReadBinary", [] { return helix::ReadBinary(0x0123, 0xFF); }, "00B00123FF"},
        BuilderCase{"UpdateBinary", [] { return helix::UpdateBinary(0x7FFF, Hex("0102")); },
                    "00D67FFF02 0102"},
        BuilderCase{"CreateFile", [] { return helix::CreateFile(0x38, Hex("6281 00")); },
                    "00E0380003 628100"},
        BuilderCase{"CreateKeyObject", [] { return helix::CreateKeyObject(Hex("6282 0000")); },
                    "00E00800000004 62820000"},
        BuilderCase{"DeleteFile", [] { return helix::DeleteFile(false); }, "00E40000"},
        BuilderCase{"DeleteDirectory", [] { return helix::DeleteFile(true); }, "00E40100"},
        BuilderCase{"RewriteAttributes", [] { return helix::RewriteAttributes(Hex("6204 8602 0020")); },
                    "80E8000006 620486020020"},
        BuilderCase{"ResizeFile", [] { return helix::ResizeFile(0x1234); }, "8032000104 12340000"},
        BuilderCase{"ListFiles", [] { return helix::ListFiles(0x38); }, "8030380000"},
        BuilderCase{"VerifyProtected", [] { return helix::VerifyProtected(Filled(16, 0x11)); },
                    "8020000010 11111111111111111111111111111111"},
        BuilderCase{"VerifyPlain", [] { return helix::Verify(0x00, Hex("31323334")); },
                    "0020000004 31323334"},
        BuilderCase{"VerifyBiometric", [] { return helix::Verify(0x23, Hex("AB")); }, "0020002301 AB"},
        BuilderCase{"VerifiedObjects", [] { return helix::VerifiedObjects(); }, "80CE000000"},
        BuilderCase{"Logout", [] { return helix::Logout(0x20); }, "8028000004 00000020"},
        BuilderCase{"GetChallenge", [] { return helix::GetChallenge(8); }, "0084000008"},
        BuilderCase{"ExternalAuthenticate",
                    [] { return helix::ExternalAuthenticate(Hex("0102030405060708")); },
                    "8082000008 0102030405060708"},
        BuilderCase{"ResetRetryCounter", [] { return helix::ResetRetryCounter(); }, "802C000000"},
        BuilderCase{"SetPinValue", [] { return helix::SetPinValue(Hex("313233")); },
                    "8024000008 6281058103 313233"},
        BuilderCase{"GetData", [] { return helix::GetData(0x00, 0x0003); }, "00CB000300"},
        BuilderCase{"GetDataProprietary", [] { return helix::GetData(0x80, 0x0111); }, "80CB011100"},
        BuilderCase{"GetCapabilities", [] { return helix::GetCapabilities(0x88, 5); }, "80CB018805"},
        BuilderCase{"ReadPublicKey", [] { return helix::ReadPublicKey(); }, "8048000000"},
        BuilderCase{"KeyEstablishmentValues", [] { return helix::KeyEstablishmentValues(); }, "8048008000"},
        BuilderCase{"OpenSecureSessionShort", [] { return helix::OpenSecureSession(Hex("0102")); },
                    "8086000002 0102 00"},
        BuilderCase{"CloseSecureSession", [] { return helix::CloseSecureSession(); }, "8086FFFF"},
        BuilderCase{"GenerateKeyPair", [] { return helix::GenerateKeyPair(0x0D); }, "0047000005 AC0380010D"},
        BuilderCase{"PerformSecurityOperation",
                    [] { return helix::PerformSecurityOperation(0x9E, 0x8A, Hex("8001AA")); },
                    "002A9E8A000003 8001AA 0000"},
        BuilderCase{"AgreeKey", [] { return helix::AgreeKey(Hex("0102"), 0x20); }, "804A000003 040102 20"},
        BuilderCase{"GetResponse", [] { return libapdu::GetResponse(0x10); }, "00C0000010"},
        BuilderCase{"GetResponseOfAll", [] { return libapdu::GetResponse(0x00); }, "00C0000000"}),
    CaseName());

}  // namespace
