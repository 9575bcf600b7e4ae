#include <gtest/gtest.h>

#include <string>

#include "hex.h"
#include "libapdu/apperror/error_helix.h"
#include "libapdu/token/failure.h"
#include "thrown.h"

// Every row of the fold, both ends of each range, and the words of no row; 0 means accepted.
struct FoldRow {
    uint16_t first;
    uint16_t last;
    uint16_t folded;
};

constexpr FoldRow kFoldRows[] = {
    {0x9000, 0x90FF, 0},      {0x6100, 0x61FF, 0},      {0x6200, 0x6280, 0x6200}, {0x6281, 0x6281, 0x6281},
    {0x6282, 0x6282, 0x6282}, {0x6283, 0x6283, 0x6283}, {0x6284, 0x6284, 0x6281}, {0x6285, 0x6285, 0x6283},
    {0x6286, 0x6286, 0x6286}, {0x6287, 0x62FF, 0x6200}, {0x6300, 0x6380, 0x6300}, {0x6381, 0x6381, 0x6400},
    {0x6382, 0x63FF, 0x6300}, {0x6400, 0x65FF, 0x6400}, {0x6600, 0x66FF, 0x6900}, {0x6700, 0x68FF, 0x6B00},
    {0x6900, 0x6980, 0x6900}, {0x6981, 0x6981, 0x6283}, {0x6982, 0x6982, 0x6900}, {0x6983, 0x6983, 0x6983},
    {0x6984, 0x6985, 0x6900}, {0x6986, 0x6986, 0x6A82}, {0x6987, 0x69FF, 0x6900}, {0x6A00, 0x6A81, 0x6B00},
    {0x6A82, 0x6A83, 0x6A82}, {0x6A84, 0x6A84, 0x6400}, {0x6A85, 0x6A87, 0x6B00}, {0x6A88, 0x6A88, 0x6A82},
    {0x6A89, 0x6A8A, 0x6A89}, {0x6A8B, 0x6B00, 0x6B00}, {0x6C00, 0x6EFF, 0x6B00}, {0x6F00, 0x6FFF, 0x6F00},
    {0x0000, 0x60FF, 0xFFFF}, {0x6B01, 0x6BFF, 0xFFFF}, {0x7000, 0x8FFF, 0xFFFF}, {0x9100, 0xFFFF, 0xFFFF},
};

TEST(StatusWords, FoldEveryRowAtBothEnds) {
    libapdu::IAppError shared;
    libapdu::CErrorHelix helix;
    for (const FoldRow& row : kFoldRows) {
        const std::optional<uint16_t> expected =
            row.folded == 0 ? std::nullopt : std::optional<uint16_t>(row.folded);
        for (uint16_t word : {row.first, row.last}) {
            EXPECT_EQ(ThrownStatusWord([&] { shared.Check(word); }), expected) << std::hex << word;
            // Helix reads 6B00 as 6A84 (an offset outside the file: no room) before the fold.
            EXPECT_EQ(ThrownStatusWord([&] { helix.Check(word); }),
                      word == 0x6B00 ? std::optional<uint16_t>(0x6400) : expected)
                << std::hex << word;
        }
    }
}

TEST(StatusWords, ResponseShorterThanTwoBytesHasWordZero) {
    libapdu::CErrorHelix helix;
    EXPECT_EQ(helix.StatusWord(Hex("90")), 0);
    EXPECT_EQ(ThrownStatusWord([&] { helix.CheckResponse(Hex("90")); }), 0xFFFF);
    EXPECT_EQ(helix.StatusWord(Hex("01 02 6A 82")), 0x6A82);
    EXPECT_EQ(ThrownStatusWord([&] { helix.CheckResponse(Hex("01 6B 00")); }), 0x6400);
}

TEST(Exceptions, CarryTheirCodes) {
    // Caught as either base.
    EXPECT_THROW(libapdu::ThrowAPDUException(0xFACE, u"x", 1), libapdu::IException);
    EXPECT_EQ(ThrownCode([] { libapdu::ThrowAPDUException(0x6982, u"x", 1); }), 0x6982u);
    // A thrown status code is the Windows code as a signed 32-bit integer.
    EXPECT_EQ(ThrownStatus([] { ThrowStatus(SCARD_E_UNKNOWN_CARD); }), static_cast<StatusCode>(0x8010000Du));
    EXPECT_LT(ThrownStatus([] { ThrowStatus(SCARD_E_UNKNOWN_CARD); }).value_or(0), 0);
}
