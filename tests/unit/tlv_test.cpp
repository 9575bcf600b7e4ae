#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "hex.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/tlv.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::ParsedTlv;
using libapdu::TlvElement;
using libapdu::TlvList;

namespace {

ByteVector Filler(size_t n) {
    ByteVector out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
    return out;
}

struct Bad {
    const char* name;
    ByteVector buffer;
    size_t position;
};

TEST(BerParse, ReadsTagLengthAndValueBounds) {
    const struct {
        const char* name;
        ByteVector buffer;
        size_t position;
        uint32_t tag;
        uint32_t length;
        bool constructed;
        size_t valueOffset;
    } cases[] = {
        {"5F is a one-byte tag", Concat({Hex("5F 20"), Filler(0x20)}), 0, 0x5F, 0x20, false, 2},
        {"three-byte tag, lowest byte first", Hex("1F 81 02 01 AA"), 0, 0x02811F, 1, false, 4},
        {"two-byte tag, high second byte", Hex("1F 7F 00"), 0, 0x7F1F, 0, false, 3},
        {"length 81", Concat({Hex("04 81 80"), Filler(128)}), 0, 0x04, 128, false, 3},
        {"length 82", Concat({Hex("04 82 01 00"), Filler(256)}), 0, 0x04, 256, false, 4},
        {"length 84", Hex("04 84 00 00 00 02 AA BB"), 0, 0x04, 2, false, 6},
        {"constructed", Hex("30 03 02 01 AA"), 0, 0x30, 3, true, 2},
        {"constructed bit of the first byte only", Hex("1F 20 00"), 0, 0x201F, 0, false, 3},
        {"inner position", Hex("AA BB 04 01 CC"), 2, 0x04, 1, false, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ParsedTlv e = libapdu::ParseBerTlv(c.buffer, c.position);
        EXPECT_EQ((std::vector<size_t>{e.tag, e.length, e.constructed, e.end}),
                  (std::vector<size_t>{c.tag, c.length, c.constructed, c.valueOffset + c.length}));
        EXPECT_EQ(e.value, c.buffer.data() + c.valueOffset);
    }
    const Bad bad[] = {
        {"no length", Hex("04"), 0},
        {"long tag cut short", Hex("1F"), 0},
        {"second tag byte 00", Hex("1F 00 00"), 0},
        {"second tag byte 80", Hex("1F 80 01 00"), 0},
        {"second tag byte 1E", Hex("1F 1E 01 00"), 0},
        {"third tag byte missing", Hex("1F 81"), 0},
        {"third tag byte with top bit", Hex("1F 81 80 00"), 0},
        {"indefinite length", Hex("04 80 00 00"), 0},
        {"length 85", Hex("04 85 00 00 00 00 01 AA"), 0},
        {"length 81 without its byte", Hex("04 81"), 0},
        {"length 82 with one byte left", Hex("04 82 01"), 0},
        {"length 84 huge", Hex("04 84 FF FF FF FF 00"), 0},
        {"value past the end", Hex("04 03 AA BB"), 0},
        {"position at the end", Hex("04 00"), 2},
    };
    for (const Bad& c : bad)
        EXPECT_EQ(ThrownStatus([&] { libapdu::ParseBerTlv(c.buffer, c.position); }), 0) << c.name;
}

TEST(BerFind, ContinuesAfterThePreviousElementAtTheTopLevel) {
    const ByteVector buffer = Hex("01 01 AA 02 02 BB CC 01 01 DD");
    const ParsedTlv first = libapdu::FindBerTlv(buffer, 0x01);
    EXPECT_EQ(first.CopyValue(), Hex("AA"));
    const ParsedTlv second = libapdu::FindBerTlv(buffer, 0x01, &first);
    EXPECT_EQ(second.CopyValue(), Hex("DD"));
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindBerTlv(buffer, 0x01, &second); }), 0);
    // A previous element beyond a shorter buffer finds nothing.
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindBerTlv(Hex("01 01 AA"), 0x01, &second); }), 0);

    const ByteVector nested = Hex("30 03 02 01 AA 02 01 BB");
    EXPECT_EQ(libapdu::FindBerTlv(nested, 0x02).CopyValue(), Hex("BB"));
    EXPECT_EQ(libapdu::FindBerTlv(libapdu::FindBerTlv(nested, 0x30).Value(), 0x02).CopyValue(), Hex("AA"));
    EXPECT_EQ(libapdu::FindBerTlv(Hex("5F 01 AA 1F 81 02 01 BB"), 0x02811F).CopyValue(), Hex("BB"));

    EXPECT_EQ(ThrownStatus([] { libapdu::FindBerTlv(Hex("01 01 AA"), 0x03); }), 0);
    EXPECT_EQ(ThrownStatus([] { libapdu::FindBerTlv(Hex("04 05 AA 02 01 BB"), 0x02); }), 0);
}

TEST(SimpleTlv, ReadsShortAndThreeByteLengths) {
    const ByteVector longForm = Concat({Hex("01 FF 01 02"), Filler(258)});
    const ParsedTlv e = libapdu::ParseSimpleTlv(longForm, 0);
    EXPECT_EQ((std::vector<size_t>{e.tag, e.length, e.constructed}), (std::vector<size_t>{1, 258, false}));
    EXPECT_EQ(e.value, longForm.data() + 4);
    // 81 is a plain length here, not a BER length prefix.
    EXPECT_EQ(libapdu::ParseSimpleTlv(Concat({Hex("01 81"), Filler(0x81)}), 0).length, 0x81u);

    const Bad bad[] = {
        {"tag 00", Hex("00 00"), 0},
        {"no length", Hex("01"), 0},
        {"long length missing", Hex("01 FF"), 0},
        {"long length with one byte left", Hex("01 FF 01"), 0},
        {"value past the end", Hex("01 02 AA"), 0},
        {"position past the end", Hex("01 00"), 5},
    };
    for (const Bad& c : bad)
        EXPECT_EQ(ThrownStatus([&] { libapdu::ParseSimpleTlv(c.buffer, c.position); }), 0) << c.name;

    const ByteVector buffer = Hex("02 01 AA 01 02 BB CC 01 00");
    const ParsedTlv first = libapdu::FindSimpleTlv(buffer, 0x01);
    EXPECT_EQ(first.CopyValue(), Hex("BB CC"));
    const ParsedTlv second = libapdu::FindSimpleTlv(buffer, 0x01, &first);
    EXPECT_EQ(second.length, 0u);
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindSimpleTlv(buffer, 0x01, &second); }), 0);
}

TEST(Encode, PicksTheShortestLengthForm) {
    const std::pair<size_t, const char*> cases[] = {
        {127, "80 7F"}, {128, "80 81 80"}, {255, "80 81 FF"}, {256, "80 82 01 00"}, {65535, "80 82 FF FF"}};
    for (const auto& [length, header] : cases) {
        const TlvElement element(0x80, Filler(length));
        EXPECT_EQ(libapdu::EncodeTlv(element), Concat({Hex(header), Filler(length)})) << length;
        EXPECT_EQ(element.EncodedLength(), Hex(header).size() + length);
        EXPECT_EQ(element.ValueLength(), length);
    }
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement()), Hex("00 00"));
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement(0x81, uint8_t{0x05})), Hex("81 01 05"));
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement(0xA0, TlvElement(0x80, Hex("01 02")))), Hex("A0 04 80 02 01 02"));

    TlvList list;
    list.Append(TlvElement(0x80, Hex("01 02"))).Append(TlvElement(0x81, Filler(200)));
    EXPECT_EQ(list.Length(), 4u + 203u);
    ASSERT_EQ(list.Bytes().size(), list.Length());
    EXPECT_EQ(libapdu::FindBerTlv(list.Bytes(), 0x81).CopyValue(), Filler(200));
}

TEST(Encode, RefusesValuesAboveSixtyFourKilobytes) {
    const TlvElement element(0x80, ByteVector(65536));
    EXPECT_THROW(libapdu::EncodeTlv(element), std::runtime_error);
    EXPECT_THROW(element.EncodedLength(), std::runtime_error);
    TlvList list;
    list.Append(TlvElement(0x81, uint8_t{1}));
    EXPECT_THROW(list.Append(element), std::runtime_error);
    EXPECT_EQ(list.Bytes(), Hex("81 01 01"));
}

}  // namespace
