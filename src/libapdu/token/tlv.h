// TLV reading (BER-TLV and simple-TLV) and writing for command data and card answers.
// Readers take the buffer's bounds: an element whose value would run past them is invalid.
// An invalid element, or a tag that is not there, throws the status code 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "libapdu/token/bytes.h"

namespace libapdu {

struct ParsedTlv {
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    bool constructed = false;  // BER only: bit 0x20 of the first tag byte
    // BER tags are composed lowest byte first: 1F 81 02 is 0x02811F.
    uint32_t tag = 0;
    // Offset just past the value in the buffer that was parsed; a search resumes here.
    size_t end = 0;

    ByteSpan Value() const { return ByteSpan(value, length); }
    ByteVector CopyValue() const { return Value().ToVector(); }
};

ParsedTlv ParseBerTlv(ByteSpan buffer, size_t position);
// First element with the tag at the top level of the buffer (constructed values are not
// entered), from the start or from just after `previous`, an element of the same buffer.
ParsedTlv FindBerTlv(ByteSpan buffer, uint32_t tag, const ParsedTlv* previous = nullptr);

ParsedTlv ParseSimpleTlv(ByteSpan buffer, size_t position);
ParsedTlv FindSimpleTlv(ByteSpan buffer, uint32_t tag, const ParsedTlv* previous = nullptr);

// One element to write: a one-byte tag and its value.
class TlvElement {
public:
    TlvElement() = default;
    TlvElement(uint8_t tag, ByteVector value) : m_tag(tag), m_value(std::move(value)) {}
    TlvElement(uint8_t tag, uint8_t value) : m_tag(tag), m_value{value} {}
    // The inner element's encoding becomes the value.
    TlvElement(uint8_t tag, const TlvElement& inner);

    uint8_t Tag() const { return m_tag; }
    const ByteVector& Value() const { return m_value; }
    uint32_t ValueLength() const { return static_cast<uint32_t>(m_value.size()); }
    // Tag, length bytes and value; throws like EncodeTlv when the value is too long.
    uint32_t EncodedLength() const;

private:
    uint8_t m_tag = 0;
    ByteVector m_value;
};

// Tag, length (short form below 128, then 81 xx, then 82 xx xx) and value. A value above
// 65535 bytes throws std::runtime_error("data field exceeds tag maximum length").
ByteVector EncodeTlv(const TlvElement& element);

// Elements encoded back to back.
class TlvList {
public:
    TlvList& Append(const TlvElement& element);

    const ByteVector& Bytes() const { return m_bytes; }
    uint32_t Length() const { return static_cast<uint32_t>(m_bytes.size()); }

private:
    ByteVector m_bytes;
};

}  // namespace libapdu
