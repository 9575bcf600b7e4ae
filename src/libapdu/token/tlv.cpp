#include "libapdu/token/tlv.h"

#include <stdexcept>
#include <utility>

#include "libapdu/token/reader.h"

namespace libapdu {

namespace {

Failure Invalid() {
    return Failure::Status(0);
}

// The reader starts at the buffer's beginning so that `end` stays an offset into the buffer.
Reader ReaderAt(ByteSpan buffer, size_t position) {
    Reader r(buffer, Invalid());
    r.Skip(position);
    return r;
}

ParsedTlv TakeValue(ByteSpan buffer, Reader& r, uint32_t tag, uint32_t length) {
    ParsedTlv element;
    element.tag = tag;
    element.length = length;
    element.value = buffer.data + r.Position();
    r.Skip(length);
    element.end = r.Position();
    return element;
}

template <class Parse>
ParsedTlv Find(ByteSpan buffer, uint32_t tag, const ParsedTlv* previous, Parse parse) {
    size_t position = previous != nullptr ? previous->end : 0;
    while (position < buffer.size) {
        ParsedTlv element = parse(buffer, position);
        if (element.tag == tag) return element;
        position = element.end;
    }
    Invalid().Raise();
}

size_t LengthFieldSize(size_t valueLength) {
    if (valueLength < 0x80) return 1;
    if (valueLength <= 0xFF) return 2;
    if (valueLength <= 0xFFFF) return 3;
    throw std::runtime_error("data field exceeds tag maximum length");
}

}  // namespace

ParsedTlv ParseBerTlv(ByteSpan buffer, size_t position) {
    Reader r = ReaderAt(buffer, position);
    const uint8_t first = r.U8();
    uint32_t tag = first;
    // Only 1F opens a multi-byte tag; 5F, 9F and the like stand alone.
    if (first == 0x1F) {
        const uint8_t second = r.U8();
        r.Require(second != 0x00 && second != 0x80 && second != 0x1E);
        tag |= uint32_t{second} << 8;
        if (second & 0x80) {
            const uint8_t third = r.U8();
            r.Require((third & 0x80) == 0);
            tag |= uint32_t{third} << 16;
        }
    }

    const uint8_t l = r.U8();
    uint32_t length = l;
    if (l >= 0x80) {
        r.Require(l >= 0x81 && l <= 0x84);
        length = r.UnsignedBE(l - 0x80u);
    }

    ParsedTlv element = TakeValue(buffer, r, tag, length);
    element.constructed = (first & 0x20) != 0;
    return element;
}

ParsedTlv FindBerTlv(ByteSpan buffer, uint32_t tag, const ParsedTlv* previous) {
    return Find(buffer, tag, previous, ParseBerTlv);
}

ParsedTlv ParseSimpleTlv(ByteSpan buffer, size_t position) {
    Reader r = ReaderAt(buffer, position);
    const uint8_t tag = r.U8();
    r.Require(tag != 0x00 && tag != 0xFF);
    const uint8_t l = r.U8();
    const uint32_t length = l == 0xFF ? r.U16BE() : l;
    return TakeValue(buffer, r, tag, length);
}

ParsedTlv FindSimpleTlv(ByteSpan buffer, uint32_t tag, const ParsedTlv* previous) {
    return Find(buffer, tag, previous, ParseSimpleTlv);
}

TlvElement::TlvElement(uint8_t tag, const TlvElement& inner) : m_tag(tag), m_value(EncodeTlv(inner)) {}

uint32_t TlvElement::EncodedLength() const {
    return static_cast<uint32_t>(1 + LengthFieldSize(m_value.size()) + m_value.size());
}

ByteVector EncodeTlv(const TlvElement& element) {
    const ByteVector& value = element.Value();
    const size_t n = value.size();
    const size_t lengthField = LengthFieldSize(n);

    ByteVector out;
    out.reserve(1 + lengthField + n);
    out.push_back(element.Tag());
    if (lengthField == 2) out.push_back(0x81);
    if (lengthField == 3) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
    }
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

TlvList& TlvList::Append(const TlvElement& element) {
    const ByteVector encoded = EncodeTlv(element);
    m_bytes.insert(m_bytes.end(), encoded.begin(), encoded.end());
    return *this;
}

}  // namespace libapdu
