#include <gcrypt.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "hex.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/ticket.h"
#include "thrown.h"

using libapdu::ByteVector;

namespace {

ByteVector Counting(size_t n, uint8_t start = 0) {
    ByteVector out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(start + i);
    return out;
}

std::array<uint8_t, 24> Derive(const ByteVector& data) {
    std::array<uint8_t, 24> out{};
    libapdu::DeriveKey24(data, out.data(), out.size());
    return out;
}

ByteVector ToVector(const std::array<uint8_t, 24>& a) {
    return ByteVector(a.begin(), a.end());
}

// S read as one little-endian number; output byte j is its bits 7j to 7j + 6.
ByteVector RepackAsLittleEndianNumber(const uint8_t* s) {
    ByteVector out(24);
    for (size_t j = 0; j < 24; ++j) {
        const size_t bit = 7 * j;
        const unsigned window = s[bit / 8] | (unsigned{s[bit / 8 + 1]} << 8);
        out[j] = static_cast<uint8_t>((window >> (bit % 8)) & 0x7F);
    }
    return out;
}

struct KnownAnswer {
    const char* name;
    ByteVector data;
    const char* expected;
};

class DeriveKey24 : public testing::TestWithParam<KnownAnswer> {};

// Expected values computed with Python's hashlib.
TEST_P(DeriveKey24, MatchesTheReferenceValue) {
    EXPECT_EQ(ToVector(Derive(GetParam().data)), Hex(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, DeriveKey24,
    testing::Values(
        KnownAnswer{"Empty", {}, "1371166c6a3f0350091b5b270372536a1f63552a0a084256"},
        // MD5(00 || data) begins FF 00: byte 0 is 7F, byte 1 is 01.
        KnownAnswer{"SBeginsFF00", Hex("00012076"), "7f01384d50375b5876743b4c792c526a1411220d372c6c5e"},
        KnownAnswer{"VerifyDataTail", Counting(131), "5d153a443e354e30382a0b2d5122325b7736327f4961366b"}),
    [](const testing::TestParamInfo<KnownAnswer>& p) { return std::string(p.param.name); });

TEST(DeriveKey24, RepacksTheTwoDigestsSevenBitsAtATime) {
    ASSERT_NE(gcry_check_version(nullptr), nullptr);
    const ByteVector data = Counting(40, 0x80);
    std::array<uint8_t, 32> s{};
    for (uint8_t prefix : {0, 1}) {
        ByteVector message{prefix};
        message.insert(message.end(), data.begin(), data.end());
        gcry_md_hash_buffer(GCRY_MD_MD5, s.data() + 16 * prefix, message.data(), message.size());
    }
    EXPECT_EQ(ToVector(Derive(data)), RepackAsLittleEndianNumber(s.data()));
}

TEST(DeriveKey24, WritesNothingForAnyOtherLength) {
    for (size_t length : {0, 16, 23, 25}) {
        std::array<uint8_t, 32> out;
        out.fill(0xEE);
        libapdu::DeriveKey24(Hex("01"), out.data(), length);
        for (uint8_t b : out) ASSERT_EQ(b, 0xEE) << length;
    }
}

// The ticket as the authentication library hands it over: Base64 text in a zero-filled buffer.
ByteVector Ticket(const ByteVector& decoded) {
    const std::string text = libapdu::Base64Encode(decoded);
    ByteVector ticket(text.begin(), text.end());
    ticket.resize(ticket.size() + 16, 0);
    return ticket;
}

ByteVector DecodeTicket(const ByteVector& decoded) {
    const libapdu::SecretBytes record = libapdu::DecodeTicket(Ticket(decoded));
    return ByteVector(record.begin(), record.end());
}

const ByteVector kCheckValue(24, 0x01);  // would parse as elements 01 if it were not skipped

TEST(DecodeTicket, TakesTheRecordFromElementOne) {
    const ByteVector record = Counting(129, 0x40);
    EXPECT_EQ(DecodeTicket(Concat({kCheckValue, Hex("01 81"), record})), record);
}

TEST(DecodeTicket, TakesTheFirst129BytesOfALongerValue) {
    const ByteVector value = Counting(300);
    const ByteVector record(value.begin(), value.begin() + 129);
    EXPECT_EQ(DecodeTicket(Concat({kCheckValue, Hex("01 FF 01 2C"), value})), record);
    EXPECT_EQ(DecodeTicket(Concat({kCheckValue, Hex("01 C8"), Counting(200)})), Counting(129));
}

TEST(DecodeTicket, SkipsOtherElementsBeforeIt) {
    const ByteVector record = Counting(129, 7);
    EXPECT_EQ(DecodeTicket(Concat({kCheckValue, Hex("02 02 AA BB"), Hex("01 81"), record})), record);
}

TEST(DecodeTicket, TooShortForACheckValueIsABadCommand) {
    EXPECT_EQ(ThrownStatusWord([] { libapdu::DecodeTicket(ByteVector{}); }), 0x6B00);
    EXPECT_EQ(ThrownStatusWord([] { DecodeTicket(ByteVector(23, 0x01)); }), 0x6B00);
}

TEST(DecodeTicket, ShortRecordIsABadCommand) {
    EXPECT_EQ(ThrownStatusWord([] {
                  DecodeTicket(Concat({kCheckValue, Hex("01 80"), Counting(128)}));
              }),
              0x6B00);
}

TEST(DecodeTicket, MissingOrMalformedElementThrowsStatusZero) {
    EXPECT_EQ(ThrownStatus([] { DecodeTicket(kCheckValue); }), 0);
    EXPECT_EQ(ThrownStatus([] { DecodeTicket(Concat({kCheckValue, Hex("02 81"), Counting(129)})); }), 0);
    EXPECT_EQ(ThrownStatus([] { DecodeTicket(Concat({kCheckValue, Hex("01 81"), Counting(100)})); }), 0);
}

}  // namespace
