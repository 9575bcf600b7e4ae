// The byte codecs: TLV, command forms, text, Base64 and the authentication ticket.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "hex.h"
#include "libapdu/commands_helix.h"
#include "libapdu/token/apdu.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/text.h"
#include "libapdu/token/ticket.h"
#include "libapdu/token/tlv.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::Command;
using libapdu::ParsedTlv;
using libapdu::TlvElement;
using libapdu::WideString;

namespace {

ByteVector Counting(size_t n, uint8_t start = 0) {
    ByteVector out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(start + i);
    return out;
}

std::string Text(const char* hex) {
    const ByteVector b = Hex(hex);
    return std::string(b.begin(), b.end());
}

}  // namespace

// Tag (multi-byte tags lowest byte first), length, constructed bit and value bounds; anything cut short, a
// reserved tag byte or a length form past 84 throws status 0.
TEST(Tlv, BerAndSimpleElementsAreReadWithinTheirBuffer) {
    const std::tuple<ByteVector, size_t, uint32_t, uint32_t, bool, size_t> good[] = {
        {Concat({Hex("5F 20"), Counting(0x20)}), 0, 0x5F, 0x20, false, 2},
        {Hex("1F 81 02 01 AA"), 0, 0x02811F, 1, false, 4},
        {Hex("1F 7F 00"), 0, 0x7F1F, 0, false, 3},
        {Concat({Hex("04 81 80"), Counting(128)}), 0, 0x04, 128, false, 3},
        {Concat({Hex("04 82 01 00"), Counting(256)}), 0, 0x04, 256, false, 4},
        {Hex("04 84 00 00 00 02 AA BB"), 0, 0x04, 2, false, 6},
        {Hex("30 03 02 01 AA"), 0, 0x30, 3, true, 2},
        {Hex("1F 20 00"), 0, 0x201F, 0, false, 3},
        {Hex("AA BB 04 01 CC"), 2, 0x04, 1, false, 4},
    };
    for (const auto& [buffer, position, tag, length, constructed, offset] : good) {
        const ParsedTlv e = libapdu::ParseBerTlv(buffer, position);
        EXPECT_EQ((std::vector<size_t>{e.tag, e.length, e.constructed, e.end}),
                  (std::vector<size_t>{tag, length, constructed, offset + length}));
        EXPECT_EQ(e.value, buffer.data() + offset);
    }
    for (const char* bad :
         {"04", "1F", "1F 00 00", "1F 80 01 00", "1F 1E 01 00", "1F 81", "1F 81 80 00", "04 80 00 00",
          "04 85 00 00 00 00 01 AA", "04 81", "04 82 01", "04 84 FF FF FF FF 00", "04 03 AA BB"})
        EXPECT_EQ(ThrownStatus([&] { libapdu::ParseBerTlv(Hex(bad), 0); }), 0) << bad;
    EXPECT_EQ(ThrownStatus([&] { libapdu::ParseBerTlv(Hex("04 00"), 2); }), 0);

    // Simple TLV: FF announces a two-byte length; 81 is a plain length.
    const ByteVector longForm = Concat({Hex("01 FF 01 02"), Counting(258)});
    EXPECT_EQ(libapdu::ParseSimpleTlv(longForm, 0).length, 258u);
    EXPECT_EQ(libapdu::ParseSimpleTlv(longForm, 0).value, longForm.data() + 4);
    EXPECT_EQ(libapdu::ParseSimpleTlv(Concat({Hex("01 81"), Counting(0x81)}), 0).length, 0x81u);
    for (const char* bad : {"00 00", "01", "01 FF", "01 FF 01", "01 02 AA"})
        EXPECT_EQ(ThrownStatus([&] { libapdu::ParseSimpleTlv(Hex(bad), 0); }), 0) << bad;
    EXPECT_EQ(ThrownStatus([&] { libapdu::ParseSimpleTlv(Hex("01 00"), 5); }), 0);
}

// A search looks at the top level only and continues after the element it is given.
TEST(Tlv, FindContinuesAfterThePreviousElement) {
    const ByteVector buffer = Hex("01 01 AA 02 02 BB CC 01 01 DD");
    const ParsedTlv first = libapdu::FindBerTlv(buffer, 0x01);
    const ParsedTlv second = libapdu::FindBerTlv(buffer, 0x01, &first);
    EXPECT_EQ(ToHex(first.CopyValue()) + ToHex(second.CopyValue()), "AADD");
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindBerTlv(buffer, 0x01, &second); }), 0);
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindBerTlv(Hex("01 01 AA"), 0x01, &second); }), 0);
    EXPECT_EQ(libapdu::FindBerTlv(Hex("30 03 02 01 AA 02 01 BB"), 0x02).CopyValue(), Hex("BB"));
    EXPECT_EQ(ThrownStatus([] { libapdu::FindBerTlv(Hex("04 05 AA 02 01 BB"), 0x02); }), 0);
    const ByteVector simple = Hex("02 01 AA 01 02 BB CC 01 00");
    const ParsedTlv one = libapdu::FindSimpleTlv(simple, 0x01);
    EXPECT_EQ(one.CopyValue(), Hex("BB CC"));
    EXPECT_EQ(libapdu::FindSimpleTlv(simple, 0x01, &one).length, 0u);
}

TEST(Tlv, EncodingTakesTheShortestLengthFormUpTo64Kilobytes) {
    const std::pair<size_t, const char*> cases[] = {
        {127, "80 7F"}, {128, "80 81 80"}, {255, "80 81 FF"}, {256, "80 82 01 00"}, {65535, "80 82 FF FF"}};
    for (const auto& [length, header] : cases) {
        const TlvElement element(0x80, Counting(length));
        EXPECT_EQ(libapdu::EncodeTlv(element), Concat({Hex(header), Counting(length)})) << length;
        EXPECT_EQ(element.EncodedLength(), Hex(header).size() + length);
    }
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement(0xA0, TlvElement(0x80, Hex("01 02")))), Hex("A0 04 80 02 01 02"));
    const TlvElement huge(0x80, ByteVector(65536));
    EXPECT_THROW(libapdu::EncodeTlv(huge), std::runtime_error);
    libapdu::TlvList list;
    list.Append(TlvElement(0x81, uint8_t{1}));
    EXPECT_THROW(list.Append(huge), std::runtime_error);
    EXPECT_EQ(list.Bytes(), Hex("81 01 01"));
}

// Short when both lengths fit, extended otherwise; the forms are never mixed.
TEST(Apdu, CommandsEncodeInExactlyOneIsoFormAndSplitBack) {
    const ByteVector k255(255, 0xAA);
    const ByteVector k256(256, 0xAA);
    const std::pair<Command, std::string> forms[] = {
        {Command(0x00, 0xE4, 0x01, 0x00), "00E40100"},
        {Command(0, 0xB0, 0, 0).Expect(256), "00B0000000"},
        {Command(0, 0xB0, 0, 0).Expect(257), "00B00000000101"},
        {Command(0, 0xB0, 0, 0).Expect(65536), "00B00000000000"},
        {Command(0, 0xD6, 0, 0).Data(k255), "00D60000FF" + Repeat("AA", 255)},
        {Command(0, 0xD6, 0, 0).Data(k256), "00D60000000100" + Repeat("AA", 256)},
        {Command(0x80, 0x86, 0, 0).Data(k255).ExpectMaximum(), "80860000FF" + Repeat("AA", 255) + "00"},
        {Command(0x80, 0x86, 0, 0).Data(k256).ExpectMaximum(), "80860000000100" + Repeat("AA", 256) + "0000"},
        {Command(0, 0x2A, 0, 0).Data(Hex("01")).Expect(300), "002A000000000101012C"},
        {Command(0, 0xE0, 8, 0).Data(Hex("62")).Extended(), "00E0080000000162"},
    };
    for (const auto& [command, bytes] : forms) EXPECT_EQ(ToHex(command.Encode()), bytes);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xD6, 0, 0).Data(ByteVector(65536, 0)).Encode(); }),
              0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xB0, 0, 0).Expect(65537); }), 0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { (void)Command(0, 0xB0, 0, 0).Expect(0); }), 0x6B00);

    const std::tuple<std::string, const char*, uint16_t> split[] = {
        {"00A40400", "", 0},
        {"00B0000010", "", 0x10},
        {"00B00000000100", "", 0x0100},
        {"00B0000000", "", 0},
        {"00A40400023F000102", "3F00", 0x0102},
        {"00A40400023F00000100", "3F00", 0x0100},
        {"002A9E9A0000030102030000", "010203", 0},
        {"802A9E9A01AA" + Repeat("55", 256), "AA", 0},  // 256 trailing bytes read as no Le
    };
    for (const auto& [command, data, le] : split) {
        const libapdu::ApduParts parts = libapdu::SplitApdu(Hex(command));
        EXPECT_EQ(ToHex(parts.header.data(), parts.header.size()) + " " + ToHex(parts.data) + " " +
                      HexWord(parts.le),
                  command.substr(0, 8) + " " + data + " " + HexWord(le));
    }
    for (const char* bad : {"", "00A404", "00A40400023F", "002A9E9A0001000102", "00A40400023F00010203"})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::SplitApdu(Hex(bad)); }), 0x6B00) << bad;
}

// The commands whose bytes no facet test's script pins whole.
TEST(Apdu, HelixCommandsHaveTheBytesTheCardExpects) {
    namespace helix = libapdu::helix;
    const std::pair<Command, const char*> cases[] = {
        {helix::SelectApplet(), "00A404000C A000000164 505249534D 0001"},
        {helix::SelectName(Hex("0140 0000 0000 0000 0000 0000 0000 0000")),
         "80A4040C10 01400000000000000000000000000000 00"},
        {helix::CreateKeyObject(Hex("6282 0000")), "00E00800000004 62820000"},
        {helix::VerifyProtected(ByteVector(16, 0x11)), "8020000010 11111111111111111111111111111111"},
        {helix::SetPinValue(Hex("313233")), "8024000008 6281058103 313233"},
        {helix::OpenSecureSession(Hex("0102")), "8086000002 0102 00"},
        {helix::CloseSecureSession(), "8086FFFF"},
        {helix::PerformSecurityOperation(0x9E, 0x8A, Hex("8001AA")), "002A9E8A000003 8001AA 0000"},
    };
    for (const auto& [command, bytes] : cases) EXPECT_EQ(ToHex(command.Encode()), ToHex(Hex(bytes)));
}

// UTF-8 both ways (bad text is 6281), the conversion by code (others FACE) and Base64 to RFC 4648, decoding
// up to the first character outside the alphabet.
TEST(Text, ConversionsAndBase64) {
    const std::pair<WideString, const char*> utf8[] = {
        {HELIX_WTEXT("PIN"), "50 49 4E"},
        {HELIX_WTEXT("\u20ac"), "E2 82 AC"},
        {WideString{0xD83D, 0xDE00}, "F0 9F 98 80"},
        {WideString{'a', 0, 'b'}, "61 00 62"},
    };
    for (const auto& [wide, bytes] : utf8) {
        EXPECT_EQ(libapdu::WideToUtf8(wide), Text(bytes)) << bytes;
        EXPECT_EQ(libapdu::Utf8ToWide(Text(bytes)), wide) << bytes;
    }
    for (const WideString& bad : {WideString{0xD800}, WideString{0xDC00, 'a'}, WideString{0xD83D, 'a'}})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::WideToUtf8(bad); }), 0x6281);
    for (const char* bad : {"C3", "FF", "C0 AF", "ED A0 80", "F4 90 80 80"})
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::Utf8ToWide(Text(bad)); }), 0x6281) << bad;
    EXPECT_EQ(libapdu::EncodeText(HELIX_WTEXT("\u00e9"), 3), Hex("C3 A9"));
    EXPECT_EQ(libapdu::DecodeText(Hex("50 49 4E"), 2), HELIX_WTEXT("PIN"));
    EXPECT_EQ(ThrownStatusWord([] { libapdu::EncodeText(HELIX_WTEXT("x"), 4); }), 0xFACE);
    EXPECT_EQ(ThrownStatusWord([] { libapdu::DecodeText(Hex("78"), 1); }), 0xFACE);

    const std::pair<std::string, std::string> exact[] = {
        {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"}};
    for (const auto& [bytes, text] : exact) {
        EXPECT_EQ(libapdu::Base64Encode(ByteVector(bytes.begin(), bytes.end())), text);
        EXPECT_EQ(libapdu::Base64Decode(text), ByteVector(bytes.begin(), bytes.end())) << text;
    }
    const std::pair<std::string, const char*> lenient[] = {
        {"Zm9vYmFy\nZm9v", "666F6F626172"},
        {"Zm9v=Zm9v", "666F6F"},
        {"Zm9vYg", "666F6F62"},
        {"Zm9v____", "666F6F"},
        {"Z", ""},
        {std::string("Zm9v\0Zm9v", 9), "666F6F"},
    };
    for (const auto& [text, bytes] : lenient) EXPECT_EQ(libapdu::Base64Decode(text), Hex(bytes)) << text;
}

// The check value: MD5 of 00 || data and 01 || data repacked seven bits at a time (reference values from
// Python's hashlib). The ticket: Base64 text in a zero-filled buffer, the 24-byte check value skipped, then
// the first 129 bytes of simple TLV element 01.
TEST(Ticket, CheckValueAndRecord) {
    const auto derive = [](const ByteVector& data) {
        ByteVector out(24);
        libapdu::DeriveKey24(data, out.data(), out.size());
        return ToHex(out);
    };
    EXPECT_EQ(derive({}), "1371166C6A3F0350091B5B270372536A1F63552A0A084256");
    EXPECT_EQ(derive(Hex("00012076")), "7F01384D50375B5876743B4C792C526A1411220D372C6C5E");
    EXPECT_EQ(derive(Counting(131)), "5D153A443E354E30382A0B2D5122325B7736327F4961366B");
    ByteVector untouched(25, 0xEE);
    libapdu::DeriveKey24(Hex("01"), untouched.data(), 25);
    EXPECT_EQ(untouched, ByteVector(25, 0xEE));

    const ByteVector check(24, 0x01);
    const std::tuple<ByteVector, std::optional<ByteVector>, uint16_t> cases[] = {
        {Concat({check, Hex("01 81"), Counting(129, 0x40)}), Counting(129, 0x40), 0},
        {Concat({check, Hex("01 FF 01 2C"), Counting(300)}), Counting(129), 0},
        {Concat({check, Hex("02 02 AA BB 01 81"), Counting(129, 7)}), Counting(129, 7), 0},
        {ByteVector(23, 0x01), ByteVector{}, 0x6B00},
        {Concat({check, Hex("01 80"), Counting(128)}), ByteVector{}, 0x6B00},
        {Concat({check, Hex("02 81"), Counting(129)}), std::nullopt, 0},
        {Concat({check, Hex("01 81"), Counting(100)}), std::nullopt, 0},
    };
    for (const auto& [decoded, record, sw] : cases) {
        const std::string text = libapdu::Base64Encode(decoded);
        ByteVector ticket(text.begin(), text.end());
        ticket.resize(ticket.size() + 16, 0);
        const auto decode = [&] {
            const libapdu::SecretBytes r = libapdu::DecodeTicket(ticket);
            return ByteVector(r.begin(), r.end());
        };
        if (!record) {
            EXPECT_EQ(ThrownStatus(decode), 0) << text;
        } else if (sw != 0) {
            EXPECT_EQ(ThrownStatusWord(decode), sw) << text;
        } else {
            EXPECT_EQ(decode(), *record) << text;
        }
    }
}
