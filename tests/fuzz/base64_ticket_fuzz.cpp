// Base64, authentication tickets and session PIN records. Encoding then decoding gives the bytes
// back at the encoder's length; decoding any text gives no more than three bytes for four
// characters and decodes again the same once re-encoded; a ticket decodes to one whole session
// record or is refused; the check value is 24 bytes of seven bits; a record updated in place
// reads back as written.
#include <cstdint>
#include <string>
#include <string_view>

#include "card/pin_policy.h"
#include "fuzz_check.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/ticket.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;

void Base64(ByteSpan bytes) {
    const std::string text = libapdu::Base64Encode(bytes);
    FUZZ_REQUIRE(text.size() == (bytes.size + 2) / 3 * 4);
    FUZZ_REQUIRE(libapdu::Base64Decode(text) == bytes.ToVector());

    const std::string_view any(reinterpret_cast<const char*>(bytes.data), bytes.size);
    const ByteVector decoded = libapdu::Base64Decode(any);
    FUZZ_REQUIRE(decoded.size() <= bytes.size * 3 / 4 + 2);
    const libapdu::SecretBytes secret = libapdu::Base64DecodeSecret(any);
    FUZZ_REQUIRE(ByteVector(secret.begin(), secret.end()) == decoded);
    FUZZ_REQUIRE(libapdu::Base64Decode(libapdu::Base64Encode(decoded)) == decoded);
}

void Ticket(ByteSpan bytes) {
    try {
        const libapdu::SecretBytes record = libapdu::DecodeTicket(bytes);
        FUZZ_REQUIRE(record.size() == libapdu::kSessionRecordSize);
    } catch (...) {
        // refused: the caller turns any failure into its own status
    }
    uint8_t check[libapdu::kCheckValueSize + 1] = {};
    check[libapdu::kCheckValueSize] = 0xA5;
    libapdu::DeriveKey24(bytes, check, libapdu::kCheckValueSize);
    for (size_t i = 0; i < libapdu::kCheckValueSize; ++i) FUZZ_REQUIRE((check[i] & 0x80) == 0);
    FUZZ_REQUIRE(check[libapdu::kCheckValueSize] == 0xA5);
}

// A session PIN is records of a two-byte tag, a length byte and the value.
void SessionRecords(ByteSpan bytes) {
    for (const uint16_t tag : {0x0090, 0x0080}) {
        const ByteVector value = pinpolicy::Find(bytes, tag);
        FUZZ_REQUIRE(value.size() <= 0xFF && value.size() <= bytes.size);
        ByteVector records = bytes.ToVector();
        ByteVector changed = value;
        for (uint8_t& b : changed) b ^= 0x5A;
        pinpolicy::Update(records, tag, changed);
        FUZZ_REQUIRE(records.size() == bytes.size);
        if (!value.empty()) FUZZ_REQUIRE(pinpolicy::Find(records, tag) == changed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteSpan bytes(data, size);
    Base64(bytes);
    Ticket(bytes);
    SessionRecords(bytes);
    return 0;
}
