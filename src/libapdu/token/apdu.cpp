#include "libapdu/token/apdu.h"

#include "libapdu/token/reader.h"

namespace libapdu {

namespace {

template <class Bytes>
void PushU16(Bytes& out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace

Command& Command::Data(ByteSpan data) & {
    m_data.assign(data.begin(), data.end());
    return *this;
}

Command& Command::Expect(size_t ne) & {
    if (ne == 0 || ne > kMaxNe) ThrowAPDUException(sw::kWrongParameters, u"Command::Expect", __LINE__);
    m_ne = ne;
    m_maximum = false;
    return *this;
}

Command& Command::ExpectMaximum() & {
    m_ne = kMaxNe;
    m_maximum = true;
    return *this;
}

Command& Command::Extended() & {
    m_extended = true;
    return *this;
}

bool Command::IsExtended() const {
    return m_extended || m_data.size() > kMaxShortData || (!m_maximum && m_ne > kMaxShortNe);
}

ByteVector Command::Encode() const {
    if (m_data.size() > kMaxData) ThrowAPDUException(sw::kWrongParameters, u"Command::Encode", __LINE__);
    const bool extended = IsExtended();
    ByteVector out;
    // Sized once: no reallocation leaves a copy of secret data behind.
    out.reserve(m_header.size() + 3 + m_data.size() + 3);
    for (uint8_t b : m_header) out.push_back(b);
    if (!m_data.empty()) {
        if (extended) {
            out.push_back(0x00);
            PushU16(out, m_data.size());
        } else {
            out.push_back(static_cast<uint8_t>(m_data.size()));
        }
        for (uint8_t b : m_data) out.push_back(b);
    }
    if (m_ne != 0) {
        if (extended) {
            if (m_data.empty()) out.push_back(0x00);
            PushU16(out, m_ne == kMaxNe ? 0 : m_ne);
        } else {
            out.push_back(static_cast<uint8_t>(m_ne >= kMaxShortNe ? 0 : m_ne));
        }
    }
    return out;
}

std::vector<ByteSpan> ChainPieces(ByteSpan data, size_t size) {
    std::vector<ByteSpan> pieces;
    size_t at = 0;
    while (data.size - at > size) {
        pieces.emplace_back(data.data + at, size);
        at += size;
    }
    pieces.emplace_back(data.data + at, data.size - at);
    return pieces;
}

Command GetResponse(uint8_t sw2) {
    return Command(0x00, 0xC0, 0x00, 0x00).Expect(sw2 == 0 ? Command::kMaxShortNe : sw2);
}

ApduParts SplitApdu(ByteSpan command) {
    Reader r(command, Failure::Apdu(sw::kWrongParameters, u"SplitApdu"));
    ApduParts parts;
    for (uint8_t& b : parts.header) b = r.U8();

    const size_t n = command.size;
    uint16_t nc = 0;
    if (n >= 5 && command[4] != 0) {
        nc = r.U8();
    } else if (n >= 7 && command[4] == 0) {
        r.Skip(1);
        nc = r.U16BE();
    }

    // A length field that ends the command is the Le of a command without data.
    if (r.AtEnd()) {
        parts.le = nc;
        return parts;
    }

    parts.data = r.Take(nc).ToVector();
    // Trailing bytes are counted in one byte: 256 of them read as none.
    switch (r.Remaining() % 256) {
        case 0:
            break;
        case 1:
            parts.le = r.U8();
            break;
        case 2:
            parts.le = r.U16BE();
            break;
        case 3:
            r.Require(r.U8() == 0x00);
            parts.le = r.U16BE();
            break;
        default:
            r.Fail();
    }
    return parts;
}

}  // namespace libapdu
