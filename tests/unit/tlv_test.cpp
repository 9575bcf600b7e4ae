#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "hex.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/tlv.h"
#include "thrown.h"

using libapdu::ByteSpan;
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

struct ParseCase {
    const char* name;
    ByteVector buffer;
    size_t position;
    uint32_t tag;
    uint32_t length;
    bool constructed;
    size_t valueOffset;
};

class BerParse : public testing::TestWithParam<ParseCase> {};

TEST_P(BerParse, ReadsTagLengthAndValueBounds) {
    const ParseCase& c = GetParam();
    const ParsedTlv e = libapdu::ParseBerTlv(c.buffer, c.position);
    EXPECT_EQ(e.tag, c.tag);
    EXPECT_EQ(e.length, c.length);
    EXPECT_EQ(e.constructed, c.constructed);
    EXPECT_EQ(e.value, c.buffer.data() + c.valueOffset);
    EXPECT_EQ(e.end, c.valueOffset + c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BerParse,
    testing::Values(ParseCase{"FiveFIsAOneByteTag", Concat({Hex("5F 20"), Filler(0x20)}), 0, 0x5F, 0x20,
                              false, 2},
                    ParseCase{"NineFIsAOneByteTag", Hex("9F 02 AA BB"), 0, 0x9F, 2, false, 2},
                    ParseCase{"ThreeByteTagLowestByteFirst", Hex("1F 81 02 01 AA"), 0, 0x02811F, 1, false, 4},
                    ParseCase{"TwoByteTag", Hex("1F 1F 00"), 0, 0x1F1F, 0, false, 3},
                    ParseCase{"TwoByteTagHighSecondByte", Hex("1F 7F 00"), 0, 0x7F1F, 0, false, 3},
                    ParseCase{"Length81", Concat({Hex("04 81 80"), Filler(128)}), 0, 0x04, 128, false, 3},
                    ParseCase{"Length82", Concat({Hex("04 82 01 00"), Filler(256)}), 0, 0x04, 256, false, 4},
                    ParseCase{"Length84", Hex("04 84 00 00 00 02 AA BB"), 0, 0x04, 2, false, 6},
                    ParseCase{"ConstructedBit", Hex("30 03 02 01 AA"), 0, 0x30, 3, true, 2},
                    ParseCase{"ConstructedBitOfFirstByteOnly", Hex("1F 20 00"), 0, 0x201F, 0, false, 3},
                    ParseCase{"FromAnInnerPosition", Hex("AA BB 04 01 CC"), 2, 0x04, 1, false, 4},
                    ParseCase{"EmptyValueAtTheEnd", Hex("04 00"), 0, 0x04, 0, false, 2}),
    [](const testing::TestParamInfo<ParseCase>& p) { return std::string(p.param.name); });

struct InvalidCase {
    const char* name;
    ByteVector buffer;
    size_t position;
};

class BerInvalid : public testing::TestWithParam<InvalidCase> {};

TEST_P(BerInvalid, ThrowsStatusZero) {
    const InvalidCase& c = GetParam();
    EXPECT_EQ(ThrownStatus([&] { libapdu::ParseBerTlv(c.buffer, c.position); }), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BerInvalid,
    testing::Values(
        InvalidCase{"Empty", {}, 0}, InvalidCase{"NoLength", Hex("04"), 0},
        InvalidCase{"LongTagCutShort", Hex("1F"), 0}, InvalidCase{"SecondTagByte00", Hex("1F 00 00"), 0},
        InvalidCase{"SecondTagByte80", Hex("1F 80 01 00"), 0},
        InvalidCase{"SecondTagByte1E", Hex("1F 1E 01 00"), 0},
        InvalidCase{"ThirdTagByteMissing", Hex("1F 81"), 0},
        InvalidCase{"ThirdTagByteWithTopBit", Hex("1F 81 80 00"), 0},
        InvalidCase{"IndefiniteLength", Hex("04 80 00 00"), 0},
        InvalidCase{"Length85", Hex("04 85 00 00 00 00 01 AA"), 0}, InvalidCase{"LengthFF", Hex("04 FF"), 0},
        InvalidCase{"Length81WithoutItsByte", Hex("04 81"), 0},
        InvalidCase{"Length82WithOneByteLeft", Hex("04 82 01"), 0},
        InvalidCase{"Length84Huge", Hex("04 84 FF FF FF FF 00"), 0},
        InvalidCase{"ValuePastTheEnd", Hex("04 03 AA BB"), 0},
        InvalidCase{"FiveFTwentyWithShortValue", Hex("5F 20 03 41 42 43"), 0},
        InvalidCase{"PositionAtTheEnd", Hex("04 00"), 2}, InvalidCase{"PositionPastTheEnd", Hex("04 00"), 3}),
    [](const testing::TestParamInfo<InvalidCase>& p) { return std::string(p.param.name); });

TEST(BerFind, ContinuesAfterThePreviousElement) {
    const ByteVector buffer = Hex("01 01 AA 02 02 BB CC 01 01 DD");
    const ParsedTlv first = libapdu::FindBerTlv(buffer, 0x01);
    EXPECT_EQ(first.CopyValue(), Hex("AA"));
    const ParsedTlv second = libapdu::FindBerTlv(buffer, 0x01, &first);
    EXPECT_EQ(second.CopyValue(), Hex("DD"));
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindBerTlv(buffer, 0x01, &second); }), 0);
    EXPECT_EQ(libapdu::FindBerTlv(buffer, 0x02).CopyValue(), Hex("BB CC"));
}

TEST(BerFind, StaysAtTheTopLevel) {
    const ByteVector buffer = Hex("30 03 02 01 AA 02 01 BB");
    EXPECT_EQ(libapdu::FindBerTlv(buffer, 0x02).CopyValue(), Hex("BB"));
    const ParsedTlv outer = libapdu::FindBerTlv(buffer, 0x30);
    EXPECT_EQ(libapdu::FindBerTlv(outer.Value(), 0x02).CopyValue(), Hex("AA"));
}

TEST(BerFind, MatchesMultiByteTags) {
    const ByteVector buffer = Hex("5F 01 AA 1F 81 02 01 BB");
    EXPECT_EQ(libapdu::FindBerTlv(buffer, 0x02811F).CopyValue(), Hex("BB"));
}

TEST(BerFind, FailsOnAbsentTagOrMalformedElementOnTheWay) {
    EXPECT_EQ(ThrownStatus([] { libapdu::FindBerTlv(Hex("01 01 AA"), 0x03); }), 0);
    EXPECT_EQ(ThrownStatus([] { libapdu::FindBerTlv(ByteVector{}, 0x01); }), 0);
    EXPECT_EQ(ThrownStatus([] { libapdu::FindBerTlv(Hex("04 05 AA 02 01 BB"), 0x02); }), 0);
}

TEST(BerFind, PreviousElementBeyondTheBufferFindsNothing) {
    const ByteVector longer = Hex("01 01 AA 01 01 BB");
    const ParsedTlv first = libapdu::FindBerTlv(longer, 0x01);
    const ParsedTlv last = libapdu::FindBerTlv(longer, 0x01, &first);
    const ByteVector shorter = Hex("01 01 AA");
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindBerTlv(shorter, 0x01, &last); }), 0);
}

TEST(SimpleTlv, ReadsShortAndThreeByteLengths) {
    const ByteVector longForm = Concat({Hex("01 FF 01 02"), Filler(258)});
    const ParsedTlv e = libapdu::ParseSimpleTlv(longForm, 0);
    EXPECT_EQ(e.tag, 1u);
    EXPECT_EQ(e.length, 258u);
    EXPECT_EQ(e.value, longForm.data() + 4);
    EXPECT_FALSE(e.constructed);

    // 81 is a plain length here, not a BER length prefix.
    const ByteVector shortForm = Concat({Hex("01 81"), Filler(0x81)});
    EXPECT_EQ(libapdu::ParseSimpleTlv(shortForm, 0).length, 0x81u);
}

class SimpleInvalid : public testing::TestWithParam<InvalidCase> {};

TEST_P(SimpleInvalid, ThrowsStatusZero) {
    const InvalidCase& c = GetParam();
    EXPECT_EQ(ThrownStatus([&] { libapdu::ParseSimpleTlv(c.buffer, c.position); }), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimpleInvalid,
    testing::Values(InvalidCase{"Tag00", Hex("00 00"), 0}, InvalidCase{"TagFF", Hex("FF 00"), 0},
                    InvalidCase{"NoLength", Hex("01"), 0}, InvalidCase{"LongLengthMissing", Hex("01 FF"), 0},
                    InvalidCase{"LongLengthWithOneByteLeft", Hex("01 FF 01"), 0},
                    InvalidCase{"ValuePastTheEnd", Hex("01 02 AA"), 0},
                    InvalidCase{"LongValuePastTheEnd", Concat({Hex("01 FF 01 02"), Filler(257)}), 0},
                    InvalidCase{"PositionPastTheEnd", Hex("01 00"), 5}),
    [](const testing::TestParamInfo<InvalidCase>& p) { return std::string(p.param.name); });

TEST(SimpleTlv, FindContinuesAfterThePreviousElement) {
    const ByteVector buffer = Hex("02 01 AA 01 02 BB CC 01 00");
    const ParsedTlv first = libapdu::FindSimpleTlv(buffer, 0x01);
    EXPECT_EQ(first.CopyValue(), Hex("BB CC"));
    const ParsedTlv second = libapdu::FindSimpleTlv(buffer, 0x01, &first);
    EXPECT_EQ(second.length, 0u);
    EXPECT_EQ(ThrownStatus([&] { libapdu::FindSimpleTlv(buffer, 0x01, &second); }), 0);
}

struct EncodeCase {
    size_t valueLength;
    const char* header;
    uint32_t encodedLength;
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.valueLength << " bytes";
}

class Encode : public testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, PicksTheShortestLengthForm) {
    const EncodeCase& c = GetParam();
    const ByteVector value = Filler(c.valueLength);
    const TlvElement element(0x80, value);
    const ByteVector encoded = libapdu::EncodeTlv(element);
    const ByteVector header = Hex(c.header);
    ASSERT_EQ(encoded.size(), header.size() + value.size());
    EXPECT_EQ(ByteVector(encoded.begin(), encoded.begin() + static_cast<long>(header.size())), header);
    EXPECT_TRUE(std::equal(value.begin(), value.end(), encoded.begin() + static_cast<long>(header.size())));
    EXPECT_EQ(element.EncodedLength(), c.encodedLength);
    EXPECT_EQ(element.ValueLength(), c.valueLength);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Encode,
                         testing::Values(EncodeCase{0, "80 00", 2}, EncodeCase{127, "80 7F", 129},
                                         EncodeCase{128, "80 81 80", 131}, EncodeCase{255, "80 81 FF", 258},
                                         EncodeCase{256, "80 82 01 00", 260},
                                         EncodeCase{65535, "80 82 FF FF", 65539}),
                         [](const testing::TestParamInfo<EncodeCase>& p) {
                             return "Value" + std::to_string(p.param.valueLength);
                         });

TEST(Encode, RefusesValuesAboveSixtyFourKilobytes) {
    const TlvElement element(0x80, ByteVector(65536));
    try {
        libapdu::EncodeTlv(element);
        FAIL() << "nothing thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "data field exceeds tag maximum length");
    }
    EXPECT_THROW(element.EncodedLength(), std::runtime_error);

    TlvList list;
    list.Append(TlvElement(0x81, uint8_t{1}));
    EXPECT_THROW(list.Append(element), std::runtime_error);
    EXPECT_EQ(list.Bytes(), Hex("81 01 01"));
}

TEST(Encode, ElementConstructors) {
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement()), Hex("00 00"));
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement(0x81, uint8_t{0x05})), Hex("81 01 05"));
    const TlvElement inner(0x80, Hex("01 02"));
    EXPECT_EQ(libapdu::EncodeTlv(TlvElement(0xA0, inner)), Hex("A0 04 80 02 01 02"));
}

TEST(Encode, ListConcatenatesEncodingsAndCountsThem) {
    TlvList list;
    list.Append(TlvElement(0x80, Hex("01 02"))).Append(TlvElement(0x81, Filler(200)));
    EXPECT_EQ(list.Length(), 4u + 203u);
    ASSERT_EQ(list.Bytes().size(), list.Length());
    EXPECT_EQ(libapdu::FindBerTlv(list.Bytes(), 0x81).CopyValue(), Filler(200));
}

}  // namespace
