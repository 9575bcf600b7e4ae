#include <gtest/gtest.h>

#include <clocale>
#include <string>

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

TEST(Utf8, ConvertsBothWaysAndRefusesBadText) {
    const std::pair<WideString, const char*> cases[] = {
        {HELIX_WTEXT(""), ""},
        {HELIX_WTEXT("PIN"), "50 49 4E"},
        {HELIX_WTEXT("\u00e9"), "C3 A9"},
        {HELIX_WTEXT("\u20ac"), "E2 82 AC"},
        {WideString{0xD83D, 0xDE00}, "F0 9F 98 80"},
        {WideString{'a', 0, 'b'}, "61 00 62"},
    };
    for (const auto& [wide, utf8] : cases) {
        EXPECT_EQ(libapdu::WideToUtf8(wide), Bytes(utf8)) << utf8;
        EXPECT_EQ(libapdu::Utf8ToWide(Bytes(utf8)), wide) << utf8;
    }
    for (const WideString& bad : {WideString{0xD800}, WideString{0xDC00, 'a'}, WideString{0xD83D, 'a'}})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::WideToUtf8(bad); }), 0x6281);
    for (const char* bad : {"C3", "FF", "C0 AF", "ED A0 80", "F4 90 80 80", "E2 82"})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::Utf8ToWide(Bytes(bad)); }), 0x6281) << bad;
}

TEST(Narrow, AsciiRoundTripsInAnyLocaleAndTheRestFollowsTheUserLocale) {
    const WideString text{'a', 'B', '0', 0, '~'};
    EXPECT_EQ(libapdu::WideToNarrow(text), std::string("aB0\0~", 5));
    EXPECT_EQ(libapdu::NarrowToWide(std::string("aB0\0~", 5)), text);
    EXPECT_EQ(ThrownStatusWord([] { libapdu::WideToNarrow(WideString{'a', 0xD800}); }), 0x6281);

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
    for (uint8_t code : {0, 1, 4, 0xFF}) {
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::EncodeText(HELIX_WTEXT("x"), code); }), 0xFACE) << +code;
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::DecodeText(Hex("78"), code); }), 0xFACE) << +code;
    }
}

// RFC 4648 section 10 and the two characters past the alphanumerics, both ways; then texts that
// decode up to the first character outside the alphabet.
TEST(Base64, MatchesTheReferenceVectorsAndStopsOutsideTheAlphabet) {
    const std::pair<std::string, std::string> exact[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF\xBF", "+/+/"},
        {"\xFF\xFE", "//4="},
    };
    for (const auto& [bytes, text] : exact) {
        EXPECT_EQ(libapdu::Base64Encode(ByteVector(bytes.begin(), bytes.end())), text);
        EXPECT_EQ(libapdu::Base64Decode(text), ByteVector(bytes.begin(), bytes.end())) << text;
    }
    const std::pair<std::string, const char*> lenient[] = {
        {"Zm9vYmFy\nZm9v", "666F6F626172"},
        {"Zm9v=Zm9v", "666F6F"},
        {"Zm9vY", "666F6F"},
        {"Zm9vYg", "666F6F62"},
        {"Zm9vYmE", "666F6F6261"},
        {"Zm9v-_", "666F6F"},
        {"Zm9v____", "666F6F"},  // the URL-safe characters belong to another alphabet
        {"Zm9v----", "666F6F"},
        {"Z", ""},
        {" Zm9v", ""},
        {std::string("Zm9v\0Zm9v", 9), "666F6F"},
    };
    for (const auto& [text, bytes] : lenient) EXPECT_EQ(libapdu::Base64Decode(text), Hex(bytes)) << text;
}

}  // namespace
