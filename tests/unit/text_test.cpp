#include <gtest/gtest.h>

#include <clocale>
#include <optional>
#include <string>

#include "case_name.h"
#include "hex.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/text.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::WideString;

namespace {

std::string Bytes(const char* hex) {
    const ByteVector b = Hex(hex);
    return std::string(b.begin(), b.end());
}

struct Utf8Case {
    const char* name;
    WideString wide;
    const char* utf8;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, ConvertsBothWays) {
    const Utf8Case& c = GetParam();
    EXPECT_EQ(libapdu::WideToUtf8(c.wide), Bytes(c.utf8));
    EXPECT_EQ(libapdu::Utf8ToWide(Bytes(c.utf8)), c.wide);
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8,
                         testing::Values(Utf8Case{"Empty", HELIX_WTEXT(""), ""},
                                         Utf8Case{"Ascii", HELIX_WTEXT("PIN"), "50 49 4E"},
                                         Utf8Case{"TwoBytes", HELIX_WTEXT("\u00e9"), "C3 A9"},
                                         Utf8Case{"ThreeBytes", HELIX_WTEXT("\u20ac"), "E2 82 AC"},
                                         Utf8Case{"SurrogatePair", WideString{0xD83D, 0xDE00}, "F0 9F 98 80"},
                                         Utf8Case{"EmbeddedNul", WideString{'a', 0, 'b'}, "61 00 62"}),
                         [](const testing::TestParamInfo<Utf8Case>& p) { return std::string(p.param.name); });

TEST(Utf8, InvalidUtf16IsBadText) {
    for (const WideString& bad : {WideString{0xD800}, WideString{0xDC00, 'a'}, WideString{0xD83D, 'a'}})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::WideToUtf8(bad); }), 0x6281);
}

TEST(Utf8, InvalidUtf8IsBadText) {
    for (const char* bad : {"C3", "FF", "C0 AF", "ED A0 80", "F4 90 80 80", "E2 82"})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::Utf8ToWide(Bytes(bad)); }), 0x6281) << bad;
}

TEST(Narrow, AsciiRoundTripsInAnyLocale) {
    const WideString text{'a', 'B', '0', 0, '~'};
    const std::string narrow = libapdu::WideToNarrow(text);
    EXPECT_EQ(narrow, std::string("aB0\0~", 5));
    EXPECT_EQ(libapdu::NarrowToWide(narrow), text);
}

TEST(Narrow, UnpairedSurrogateIsBadText) {
    EXPECT_EQ(ThrownStatusWord([] { libapdu::WideToNarrow(WideString{'a', 0xD800}); }), 0x6281);
}

TEST(Narrow, FollowsTheUserLocale) {
    libapdu::NarrowToWide("");
    const std::string ctype = std::setlocale(LC_CTYPE, nullptr);
    if (ctype.find("UTF-8") == std::string::npos && ctype.find("utf8") == std::string::npos)
        GTEST_SKIP() << "the user locale is not UTF-8: " << ctype;
    EXPECT_EQ(libapdu::WideToNarrow(HELIX_WTEXT("\u00e9")), Bytes("C3 A9"));
    EXPECT_EQ(libapdu::NarrowToWide(Bytes("F0 9F 98 80")), (WideString{0xD83D, 0xDE00}));
    EXPECT_EQ(ThrownStatusWord([] { libapdu::NarrowToWide(Bytes("C3")); }), 0x6281);
}

TEST(EncodeText, ChoosesTheConversionByCode) {
    EXPECT_EQ(libapdu::EncodeText(HELIX_WTEXT("\u00e9"), 3), Hex("C3 A9"));
    EXPECT_EQ(libapdu::DecodeText(Hex("C3 A9"), 3), HELIX_WTEXT("\u00e9"));
    EXPECT_EQ(libapdu::EncodeText(HELIX_WTEXT("PIN"), 2), Hex("50 49 4E"));
    EXPECT_EQ(libapdu::DecodeText(Hex("50 49 4E"), 2), HELIX_WTEXT("PIN"));
    EXPECT_EQ(ThrownStatusWord([] { libapdu::DecodeText(Hex("FF"), 3); }), 0x6281);
}

TEST(EncodeText, OtherCodesAreNotSupported) {
    for (uint8_t code : {0, 1, 4, 0xFF}) {
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::EncodeText(HELIX_WTEXT("x"), code); }), 0xFACE) << +code;
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::DecodeText(Hex("78"), code); }), 0xFACE) << +code;
    }
}

struct Base64Case {
    const char* name;
    std::string bytes;
    std::string text;
};

void PrintTo(const Base64Case& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class Base64 : public testing::TestWithParam<Base64Case> {};

TEST_P(Base64, MatchesTheReferenceVector) {
    const Base64Case& c = GetParam();
    const ByteVector bytes(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(libapdu::Base64Encode(bytes), c.text);
    EXPECT_EQ(libapdu::Base64Decode(c.text), bytes);
}

// RFC 4648 section 10, and the two characters past the alphanumerics.
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64,
                         testing::Values(Base64Case{"Empty", "", ""}, Base64Case{"f", "f", "Zg=="},
                                         Base64Case{"fo", "fo", "Zm8="}, Base64Case{"foo", "foo", "Zm9v"},
                                         Base64Case{"foob", "foob", "Zm9vYg=="},
                                         Base64Case{"fooba", "fooba", "Zm9vYmE="},
                                         Base64Case{"foobar", "foobar", "Zm9vYmFy"},
                                         Base64Case{"PlusAndSlash", "\xFB\xFF\xBF", "+/+/"},
                                         Base64Case{"SlashesAndPadding", "\xFF\xFE", "//4="}),
                         CaseName());

struct LenientCase {
    const char* name;
    const char* text;
    const char* bytes;
};

void PrintTo(const LenientCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class Base64Lenient : public testing::TestWithParam<LenientCase> {};

TEST_P(Base64Lenient, StopsAtTheFirstCharacterOutsideTheAlphabet) {
    EXPECT_EQ(libapdu::Base64Decode(GetParam().text), Hex(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(Cases, Base64Lenient,
                         testing::Values(LenientCase{"LineBreak", "Zm9vYmFy\nZm9v", "666F6F626172"},
                                         LenientCase{"PaddingInside", "Zm9v=Zm9v", "666F6F"},
                                         LenientCase{"OneSpareCharacter", "Zm9vY", "666F6F"},
                                         LenientCase{"PaddingLeftOffAfterOneByte", "Zm9vYg", "666F6F62"},
                                         LenientCase{"PaddingLeftOffAfterTwoBytes", "Zm9vYmE", "666F6F6261"},
                                         LenientCase{"UrlAlphabet", "Zm9v-_", "666F6F"},
                                         LenientCase{"OneCharacter", "Z", ""},
                                         LenientCase{"LeadingSpace", " Zm9v", ""}),
                         CaseName());

TEST(Base64, EmbeddedNulEndsTheText) {
    EXPECT_EQ(libapdu::Base64Decode(std::string("Zm9v\0Zm9v", 9)), Hex("666F6F"));
}

TEST(Base64, SessionVerifyDataRoundTrips) {
    ByteVector data(155);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    const std::string text = libapdu::Base64Encode(data);
    EXPECT_EQ(text.size(), 208u);
    EXPECT_EQ(text.substr(204), text.substr(204, 3) + "=");
    EXPECT_EQ(libapdu::Base64Decode(text), data);
    const libapdu::SecretBytes secret = libapdu::Base64DecodeSecret(text);
    EXPECT_EQ(ByteVector(secret.begin(), secret.end()), data);
}

}  // namespace
