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

ByteVector Derive(const ByteVector& data) {
    ByteVector out(24);
    libapdu::DeriveKey24(data, out.data(), out.size());
    return out;
}

// Expected values computed with Python's hashlib.
TEST(DeriveKey24, MatchesTheReferenceValues) {
    EXPECT_EQ(Derive({}), Hex("1371166c6a3f0350091b5b270372536a1f63552a0a084256"));
    // MD5(00 || data) begins FF 00: byte 0 is 7F, byte 1 is 01.
    EXPECT_EQ(Derive(Hex("00012076")), Hex("7f01384d50375b5876743b4c792c526a1411220d372c6c5e"));
    EXPECT_EQ(Derive(Counting(131)), Hex("5d153a443e354e30382a0b2d5122325b7736327f4961366b"));
}

TEST(DeriveKey24, WritesNothingForAnyOtherLength) {
    for (size_t length : {0, 16, 23, 25}) {
        std::array<uint8_t, 32> out{};
        out.fill(0xEE);
        libapdu::DeriveKey24(Hex("01"), out.data(), length);
        for (uint8_t b : out) ASSERT_EQ(b, 0xEE) << length;
    }
}

// The ticket as the authentication library hands it over: Base64 text in a zero-filled buffer,
// a 24-byte check value (which would parse as elements 01 if it were not skipped), then elements
// of which 01 holds the record.
TEST(DecodeTicket, TakesTheFirst129BytesOfElementOne) {
    const ByteVector check(24, 0x01);
    const struct {
        const char* name;
        ByteVector decoded;
        std::optional<ByteVector> record;  // nullopt: status 0 thrown
        uint16_t sw;                       // otherwise, with no record: the status word thrown
    } cases[] = {
        {"exact", Concat({check, Hex("01 81"), Counting(129, 0x40)}), Counting(129, 0x40), 0},
        {"longer", Concat({check, Hex("01 FF 01 2C"), Counting(300)}), Counting(129), 0},
        {"longer short form", Concat({check, Hex("01 C8"), Counting(200)}), Counting(129), 0},
        {"after another", Concat({check, Hex("02 02 AA BB 01 81"), Counting(129, 7)}), Counting(129, 7), 0},
        {"no check value", {}, ByteVector{}, 0x6B00},
        {"short check value", ByteVector(23, 0x01), ByteVector{}, 0x6B00},
        {"short record", Concat({check, Hex("01 80"), Counting(128)}), ByteVector{}, 0x6B00},
        {"no element", check, std::nullopt, 0},
        {"other element only", Concat({check, Hex("02 81"), Counting(129)}), std::nullopt, 0},
        {"value past the end", Concat({check, Hex("01 81"), Counting(100)}), std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = libapdu::Base64Encode(c.decoded);
        ByteVector ticket(text.begin(), text.end());
        ticket.resize(ticket.size() + 16, 0);
        const auto decode = [&] {
            const libapdu::SecretBytes record = libapdu::DecodeTicket(ticket);
            return ByteVector(record.begin(), record.end());
        };
        if (!c.record) {
            EXPECT_EQ(ThrownStatus(decode), 0);
        } else if (c.sw != 0) {
            EXPECT_EQ(ThrownStatusWord(decode), c.sw);
        } else {
            EXPECT_EQ(decode(), *c.record);
        }
    }
    EXPECT_EQ(ThrownStatusWord([] { libapdu::DecodeTicket(ByteVector{}); }), 0x6B00);
}

}  // namespace
