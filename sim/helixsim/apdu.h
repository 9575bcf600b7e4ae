// Command APDUs as the card receives them, and the one cursor every parse of host bytes uses.
#pragma once

#include <cstdint>
#include <optional>

#include "helixsim/card.h"

namespace helixsim {

struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    std::optional<uint32_t> ne;  // expected answer length (Le 00 is 256, or 65536 extended); none without Le
    bool extended = false;
    uint8_t leByte = 0;  // the short Le as sent (0 stands for 256)
};

// ISO 7816-3 cases 1, 2S, 3S, 4S, 2E, 3E and 4E; nullopt for a command that fits none of them,
// including a mix of short and extended length fields.
std::optional<Apdu> ParseApdu(const Bytes& raw);

// A cursor that cannot read past its end: every read returns nullopt instead.
class Cursor {
public:
    explicit Cursor(const Bytes& data) : m_data(data) {}
    bool AtEnd() const { return m_pos == m_data.size(); }
    size_t Remaining() const { return m_data.size() - m_pos; }
    std::optional<uint8_t> U8();
    // Reads one byte; true when it is `value`.
    bool Expect(uint8_t value);
    std::optional<Bytes> Take(size_t count);
    // BER length: short form, 81 xx or 82 xx xx.
    std::optional<size_t> BerLength();

    struct Tlv {
        uint8_t tag = 0;
        Bytes value;
    };
    // One TLV with a single-byte tag.
    std::optional<Tlv> NextTlv();

private:
    const Bytes& m_data;
    size_t m_pos = 0;
};

// Exactly one TLV with the given tag covering all of `data`.
std::optional<Bytes> SoleTlv(const Bytes& data, uint8_t tag);
void AppendTlv(Bytes& out, uint8_t tag, const Bytes& value);
void AppendU16(Bytes& out, uint16_t value);

}  // namespace helixsim
