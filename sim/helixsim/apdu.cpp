#include "helixsim/apdu.h"

namespace helixsim {

namespace {

uint32_t ShortNe(uint8_t le) {
    return le == 0 ? 256 : le;
}
uint32_t ExtendedNe(uint8_t high, uint8_t low) {
    const uint32_t value = (static_cast<uint32_t>(high) << 8) | low;
    return value == 0 ? 65536 : value;
}

std::optional<Apdu> ParseExtended(const Bytes& raw, Apdu apdu) {
    apdu.extended = true;
    if (raw.size() == 7) {
        apdu.ne = ExtendedNe(raw[5], raw[6]);
        return apdu;
    }
    const size_t lc = (static_cast<size_t>(raw[5]) << 8) | raw[6];
    if (lc == 0) return std::nullopt;
    const size_t rest = raw.size() - 7;
    if (rest < lc) return std::nullopt;
    apdu.data.assign(raw.begin() + 7, raw.begin() + 7 + static_cast<std::ptrdiff_t>(lc));
    const size_t trailer = rest - lc;
    if (trailer == 0) return apdu;
    // An extended Lc takes a two-byte Le: a single Le byte after it is a mixed form no case allows.
    if (trailer != 2) return std::nullopt;
    apdu.ne = ExtendedNe(raw[raw.size() - 2], raw.back());
    return apdu;
}

}  // namespace

std::optional<Apdu> ParseApdu(const Bytes& raw) {
    if (raw.size() < 4) return std::nullopt;
    Apdu apdu;
    apdu.cla = raw[0];
    apdu.ins = raw[1];
    apdu.p1 = raw[2];
    apdu.p2 = raw[3];
    if (raw.size() == 4) return apdu;
    if (raw.size() == 5) {
        apdu.leByte = raw[4];
        apdu.ne = ShortNe(raw[4]);
        return apdu;
    }
    if (raw[4] == 0 && raw.size() >= 7) return ParseExtended(raw, apdu);
    const size_t lc = raw[4];
    if (lc == 0) return std::nullopt;
    if (raw.size() == 5 + lc) {
        apdu.data.assign(raw.begin() + 5, raw.end());
        return apdu;
    }
    if (raw.size() == 6 + lc) {
        apdu.data.assign(raw.begin() + 5, raw.end() - 1);
        apdu.leByte = raw.back();
        apdu.ne = ShortNe(raw.back());
        return apdu;
    }
    return std::nullopt;
}

std::optional<uint8_t> Cursor::U8() {
    if (m_pos >= m_data.size()) return std::nullopt;
    return m_data[m_pos++];
}

bool Cursor::Expect(uint8_t value) {
    const auto byte = U8();
    return byte && *byte == value;
}

std::optional<Bytes> Cursor::Take(size_t count) {
    if (count > Remaining()) return std::nullopt;
    Bytes out(m_data.begin() + static_cast<std::ptrdiff_t>(m_pos),
              m_data.begin() + static_cast<std::ptrdiff_t>(m_pos + count));
    m_pos += count;
    return out;
}

std::optional<size_t> Cursor::BerLength() {
    const auto first = U8();
    if (!first) return std::nullopt;
    if (*first < 0x80) return *first;
    if (*first == 0x81) {
        const auto b = U8();
        if (!b) return std::nullopt;
        return *b;
    }
    if (*first == 0x82) {
        const auto hi = U8();
        const auto lo = U8();
        if (!hi || !lo) return std::nullopt;
        return (static_cast<size_t>(*hi) << 8) | *lo;
    }
    return std::nullopt;
}

std::optional<Cursor::Tlv> Cursor::NextTlv() {
    const auto tag = U8();
    if (!tag) return std::nullopt;
    const auto length = BerLength();
    if (!length) return std::nullopt;
    auto value = Take(*length);
    if (!value) return std::nullopt;
    return Tlv{*tag, std::move(*value)};
}

std::optional<Bytes> SoleTlv(const Bytes& data, uint8_t tag) {
    Cursor cursor(data);
    auto tlv = cursor.NextTlv();
    if (!tlv || tlv->tag != tag || !cursor.AtEnd()) return std::nullopt;
    return std::move(tlv->value);
}

void AppendTlv(Bytes& out, uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    const size_t n = value.size();
    if (n >= 0x100) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
    } else if (n >= 0x80) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    out.insert(out.end(), value.begin(), value.end());
}

void AppendU16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace helixsim
