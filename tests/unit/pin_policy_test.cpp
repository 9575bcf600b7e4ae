// The policy records and the PIN history as read from card files that may be malformed.
#include <gtest/gtest.h>

#include "card/pin_policy.h"
#include "hex.h"
#include "thrown.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;

ByteSpan Span(const ByteVector& bytes) {
    return ByteSpan(bytes.data(), bytes.size());
}

TEST(PinPolicyRecords, TheFirstWholeRecordWithTheTagWins) {
    struct Case {
        const char* records;
        const char* value;
    };
    const Case cases[] = {
        {"02C20103 02C20104", "03"},
        {"02C0 07 00000000000100 02C2 01 05", "05"},
        {"02C2 00 02C2 01 05", ""},
        {"02C2 02 05", ""},  // runs past the end
        {"02C2", ""},
        {"02", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.records);
        const ByteVector records = Hex(c.records);
        EXPECT_EQ(ToHex(pinpolicy::Find(Span(records), pinpolicy::kHistoryDepth)), ToHex(Hex(c.value)));
    }
}

TEST(PinHistory, AFileThatDoesNotMatchItsDepthIsRefused) {
    const ByteVector digest(20, 0xAB);
    struct Case {
        const char* header;
        size_t entries;
        uint8_t depth;
    };
    const Case cases[] = {
        {"001400000000", 2, 3},  // shorter than the depth
        {"001400040000", 3, 3},  // last written beyond the depth
        {"001400000004", 3, 3},  // more valid entries than the depth
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        ByteVector history = Concat({Hex(c.header), ByteVector(20 * c.entries)});
        const ByteVector before = history;
        EXPECT_EQ(ThrownStatus([&] { pinpolicy::Remember(history, c.depth, Span(digest)); }),
                  StatusCode(SCARD_E_UNEXPECTED));
        EXPECT_EQ(history, before);
    }
}

}  // namespace
