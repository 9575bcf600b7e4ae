#include "libapdu/token/reader.h"

namespace libapdu {

void Failure::Raise() const {
    switch (m_kind) {
        case Kind::Apdu:
            ThrowAPDUException(static_cast<uint16_t>(m_code), m_where, __LINE__);
        case Kind::Channel:
            HELIX_THROW_CA(m_code);
        case Kind::Status:
            break;
    }
    ThrowStatus(m_code);
}

uint8_t Reader::U8() {
    return Take(1)[0];
}

uint8_t Reader::PeekU8() const {
    Require(m_pos < m_data.size);
    return m_data[m_pos];
}

uint16_t Reader::U16BE() {
    return static_cast<uint16_t>(UnsignedBE(2));
}

uint32_t Reader::U32BE() {
    return UnsignedBE(4);
}

uint32_t Reader::UnsignedBE(size_t count) {
    Require(count >= 1 && count <= 4);
    ByteSpan bytes = Take(count);
    uint32_t value = 0;
    for (uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

ByteSpan Reader::Take(size_t count) {
    Require(count <= Remaining());
    if (count == 0) return ByteSpan();
    ByteSpan out(m_data.data + m_pos, count);
    m_pos += count;
    return out;
}

}  // namespace libapdu
