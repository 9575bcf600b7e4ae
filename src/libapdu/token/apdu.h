// Command APDUs (ISO/IEC 7816-4 section 5.1): built as values, encoded in exactly one of the
// standard forms, cut into chained pieces, and taken apart again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "libapdu/token/bytes.h"
#include "libapdu/token/failure.h"

namespace libapdu {

// A card that keeps answering 61xx cannot hold the host forever.
constexpr size_t kMaxGetResponseRounds = 256;

// A command: four header bytes, an optional data field, an optional expected length (Ne).
// Encoded short (Lc and Le one byte each) when both fit, extended otherwise (00, then Lc and Le
// two bytes each); the two forms are never mixed:
//   case 1   CLA INS P1 P2
//   case 2S  CLA INS P1 P2 Le               case 2E  CLA INS P1 P2 00 Le Le
//   case 3S  CLA INS P1 P2 Lc data          case 3E  CLA INS P1 P2 00 Lc Lc data
//   case 4S  CLA INS P1 P2 Lc data Le       case 4E  CLA INS P1 P2 00 Lc Lc data Le Le
// The data may be a PIN or a key: the command wipes its copy when it goes.
class Command {
public:
    static constexpr size_t kMaxShortData = 0xFF;
    static constexpr size_t kMaxShortNe = 0x100;
    static constexpr size_t kMaxData = 0xFFFF;
    static constexpr size_t kMaxNe = 0x10000;

    Command(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2) : m_header{cla, ins, p1, p2} {}

    Command& Data(ByteSpan data) &;
    // Ne from 1 to 65536; a short Le 00 means 256, an extended 00 00 means 65536.
    Command& Expect(size_t ne) &;
    // Le 00 (or 00 00): as much as the card has.
    Command& ExpectMaximum() &;
    // The extended form even where the short one would do, for cards that insist on it.
    Command& Extended() &;

    // The same on a temporary, so that a builder reads as one expression.
    Command&& Data(ByteSpan data) && { return std::move(Data(data)); }
    Command&& Expect(size_t ne) && { return std::move(Expect(ne)); }
    Command&& ExpectMaximum() && { return std::move(ExpectMaximum()); }
    Command&& Extended() && { return std::move(Extended()); }

    const std::array<uint8_t, 4>& Header() const { return m_header; }
    ByteSpan DataField() const { return ByteSpan(m_data.data(), m_data.size()); }
    bool IsExtended() const;

    // Throws 6B00 (kWrongParameters) for a data field or Ne beyond the extended form.
    ByteVector Encode() const;

private:
    std::array<uint8_t, 4> m_header;
    SecretBytes m_data;
    size_t m_ne = 0;  // 0: no Le
    bool m_maximum = false;
    bool m_extended = false;
};

// The data cut into pieces of `size` bytes for command chaining (ISO/IEC 7816-4 section 5.3.3).
// The last piece may be a full one: data of exactly n pieces ends with a full final piece rather
// than an empty one. Empty data gives one empty piece.
std::vector<ByteSpan> ChainPieces(ByteSpan data, size_t size);

// GET RESPONSE: 00 C0 00 00 Le, Le the SW2 of the 61xx that announced the rest.
Command GetResponse(uint8_t sw2);

// A finished command taken apart again, for code that re-wraps commands it did not build.
struct ApduParts {
    std::array<uint8_t, 4> header{};  // CLA INS P1 P2
    ByteVector data;
    uint16_t le = 0;
};

// Accepts the short form (Lc in one byte) and the extended form (00 and a two-byte Lc).
// A command shorter than its header, without the data its Lc announces, or with trailing
// bytes that are no valid Le throws CAPDUException 0x6B00.
ApduParts SplitApdu(ByteSpan command);

}  // namespace libapdu
