#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "hex.h"
#include "libapdu/token/apdu.h"
#include "libapdu/token/failure.h"
#include "thrown.h"

using libapdu::ByteVector;

namespace {

struct SplitCase {
    const char* name;
    ByteVector command;
    const char* header;
    ByteVector data;
    uint16_t le;
};

class Split : public testing::TestWithParam<SplitCase> {};

TEST_P(Split, GivesHeaderDataAndLe) {
    const SplitCase& c = GetParam();
    const libapdu::ApduParts parts = libapdu::SplitApdu(c.command);
    EXPECT_EQ(ByteVector(parts.header.begin(), parts.header.end()), Hex(c.header));
    EXPECT_EQ(parts.data, c.data);
    EXPECT_EQ(parts.le, c.le);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Split,
    testing::Values(
        SplitCase{"HeaderOnly", Hex("00 A4 04 00"), "00A40400", {}, 0},
        SplitCase{"ShortLeOnly", Hex("00 B0 00 00 10"), "00B00000", {}, 0x10},
        SplitCase{"ExtendedLeOnly", Hex("00 B0 00 00 00 01 00"), "00B00000", {}, 0x0100},
        SplitCase{"ZeroByteFiveAlone", Hex("00 B0 00 00 00"), "00B00000", {}, 0},
        SplitCase{"ZeroByteFiveThenOneByte", Hex("00 B0 00 00 00 01"), "00B00000", {}, 0x0001},
        SplitCase{"ShortDataNoLe", Hex("00 A4 04 00 02 3F 00"), "00A40400", Hex("3F 00"), 0},
        SplitCase{"ShortDataShortLe", Hex("80 2A 9E 9A 03 01 02 03 00"), "802A9E9A", Hex("01 02 03"), 0},
        SplitCase{"ShortDataTwoByteLe", Hex("00 A4 04 00 02 3F 00 01 02"), "00A40400", Hex("3F 00"), 0x0102},
        SplitCase{"ShortDataExtendedLe", Hex("00 A4 04 00 02 3F 00 00 01 00"), "00A40400", Hex("3F 00"),
                  0x0100},
        SplitCase{"ExtendedData", Hex("00 2A 9E 9A 00 00 03 01 02 03"), "002A9E9A", Hex("01 02 03"), 0},
        SplitCase{"ExtendedDataExtendedLe", Hex("00 2A 9E 9A 00 00 03 01 02 03 00 00"), "002A9E9A",
                  Hex("01 02 03"), 0},
        SplitCase{"TwoHundredFiftySixTrailingBytesReadAsNoLe",
                  Concat({Hex("80 2A 9E 9A 01 AA"), ByteVector(256, 0x55)}), "802A9E9A", Hex("AA"), 0}),
    [](const testing::TestParamInfo<SplitCase>& p) { return std::string(p.param.name); });

struct BadCase {
    const char* name;
    ByteVector command;
};

class SplitRejects : public testing::TestWithParam<BadCase> {};

TEST_P(SplitRejects, WithBadCommand) {
    EXPECT_EQ(ThrownStatusWord([&] { libapdu::SplitApdu(GetParam().command); }), 0x6B00);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitRejects,
    testing::Values(BadCase{"Empty", {}}, BadCase{"ThreeBytes", Hex("00 A4 04")},
                    BadCase{"DataMissing", Hex("00 A4 04 00 02 3F")},
                    BadCase{"ExtendedDataMissing", Hex("00 2A 9E 9A 00 01 00 01 02")},
                    BadCase{"FourTrailingBytes", Hex("00 A4 04 00 02 3F 00 01 02 03 04")},
                    BadCase{"ThreeTrailingBytesNotStartingWithZero", Hex("00 A4 04 00 02 3F 00 01 02 03")}),
    [](const testing::TestParamInfo<BadCase>& p) { return std::string(p.param.name); });

}  // namespace
