// The card side of the one-shot secure channel: Diffie-Hellman key establishment, two masked
// session keys, and wrapped commands (triple-DES CBC cryptogram in tag 87, CBC-MAC with a
// one-byte counter in tag 8E).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "helixsim/card.h"
#include "helixsim/crypto.h"

namespace helixsim {

class SmSession {
public:
    // 80 48 00 80: starts a new key establishment in `group` (any earlier session ends). Returns
    // the data field: 80 g, 81 p, 82 B (BER lengths, unsigned big-endian numbers, B as long as p).
    Bytes Begin(AgreementGroup group);

    // 80 86 00 00 with the host's public value A (at most as long as p; leading zeros allowed):
    // derives K = A^b mod p (as long as p) and answers the 32 bytes SK1 xor K[0..15] followed by
    // SK2 xor K[24..39]. b is used once. nullopt, and the session ends, without a pending Begin
    // (none, or already agreed) or for A outside 2..p-2.
    std::optional<Bytes> Agree(const Bytes& hostPublic);

    // 80 86 FF FF, a reset, or a failed unwrap. Every secret is wiped.
    void End();
    bool Active() const { return m_active; }
    bool Agreed() const { return m_agreed; }

    struct Unwrapped {
        // 9000; 6985 (no agreed session); 6A80 (CLA without 0x0C, or a data field other than
        // exactly 87 81 L 01 cryptogram 8E 08 MAC); 6988 (MAC or counter wrong, or bad padding
        // under a good MAC).
        uint16_t sw = 0x9000;
        Bytes plain;  // the piece's decrypted data, padding removed
    };
    // One wrapped piece: its four header bytes as received (CLA with 0x0C, and 0x10 when more
    // pieces follow) and its data field (87 81 L 01 cryptogram, 8E 08 MAC). The counter advances
    // by one per piece, and once more after the last piece (for the answer); the session stays
    // open after it. A failure ends the session.
    Unwrapped Unwrap(const std::array<uint8_t, 4>& header, const Bytes& data);

    // For the card image: the session is volatile and never saved. Secrets are wiped when the
    // session ends, is overwritten or is destroyed; it cannot be copied.
private:
    Unwrapped Fail(uint16_t sw);

    bool m_active = false;
    bool m_agreed = false;
    Bytes m_prime;                 // p of the pending or agreed exchange
    crypto::SecretBytes m_secret;  // b, until the agreement
    crypto::SecretBytes m_sk1, m_sk2;
    uint8_t m_counter = 0;
};

}  // namespace helixsim
