// A simulated card driven by hex command strings, with the host's cryptography done on
// libgcrypt so that the card's OpenSSL side is checked by a second engine.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "helixsim/card.h"
#include "hex.h"

namespace simtest {

using helixsim::Bytes;

inline const char* const kSelectApplet = "00A404000C A000000164 505249534D 0001";

inline uint16_t Sw(const Bytes& response) {
    return response.size() < 2
               ? 0
               : static_cast<uint16_t>((response[response.size() - 2] << 8) | response.back());
}
inline Bytes Data(const Bytes& response) {
    return response.size() < 2 ? Bytes{} : Bytes(response.begin(), response.end() - 2);
}

// Sized once before any part goes in: growing a small braced head with insert() makes GCC 12 at
// -O3 see a copy past the head's allocation (-Warray-bounds) on the reallocation path.
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    size_t size = 0;
    for (const Bytes& part : parts) size += part.size();
    Bytes out;
    out.reserve(size);
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// `length` bytes of `data` from `at`, fewer where it ends.
inline Bytes Slice(const Bytes& data, size_t at, size_t length = SIZE_MAX) {
    at = std::min(at, data.size());
    length = std::min(length, data.size() - at);
    const auto first = data.begin() + static_cast<std::ptrdiff_t>(at);
    return Bytes(first, first + static_cast<std::ptrdiff_t>(length));
}

inline Bytes GcryTdes(int mode, const Bytes& key24, const Bytes& data) {
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_3DES, mode, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, key24.data(), key24.size()), 0u);
    Bytes out(data.size());
    EXPECT_EQ(gcry_cipher_encrypt(h, out.data(), out.size(), data.data(), data.size()), 0u);
    gcry_cipher_close(h);
    return out;
}

inline Bytes GcrySha1(const Bytes& data) {
    gcry_check_version(nullptr);
    Bytes out(20);
    gcry_md_hash_buffer(GCRY_MD_SHA1, out.data(), data.data(), data.size());
    return out;
}

// 80 20 00 P2 10 || 3DES-CBC(SHA-1(pin)[0..15] as K1 K2 K1, random || challenge).
inline Bytes VerifyCommand(const Bytes& pin, const Bytes& challenge, uint8_t p2 = 0) {
    const Bytes sha = GcrySha1(pin);
    const Bytes k1(sha.begin(), sha.begin() + 8);
    const Bytes k2(sha.begin() + 8, sha.begin() + 16);
    const Bytes key = Concat({k1, k2, k1});
    const Bytes block = Concat({Bytes(8, 0x5A), challenge});
    return Concat({{0x80, 0x20, 0x00, p2, 0x10}, GcryTdes(GCRY_CIPHER_MODE_CBC, key, block)});
}

class SimCard {
public:
    explicit SimCard(const helixsim::Profile& profile = helixsim::DefaultProfile())
        : m_profile(profile), m_card(profile) {
        EXPECT_EQ(Send(kSelectApplet), Hex("9000"));
    }

    Bytes Send(const std::string& hex) { return Send(Hex(hex)); }
    Bytes Send(const Bytes& command) { return m_card.Transmit(command).response; }
    uint16_t SwOf(const std::string& hex) { return Sw(Send(hex)); }

    uint16_t VerifyPin(const Bytes& pin) {
        const Bytes challenge = Data(Send("0084000008"));
        return Sw(Send(VerifyCommand(pin, challenge)));
    }
    uint16_t LoginUser() {
        EXPECT_EQ(SwOf("80A4080C04 3F000020 00"), 0x9000);
        return VerifyPin(m_profile.userPin);
    }
    uint16_t LoginAdmin() {
        EXPECT_EQ(SwOf("80A4080C04 3F000010 00"), 0x9000);
        const Bytes challenge = Data(Send("0084000008"));
        Bytes cmd{0x80, 0x82, 0x00, 0x00, 0x08};
        const Bytes answer = GcryTdes(GCRY_CIPHER_MODE_ECB, m_profile.adminKey, challenge);
        cmd.insert(cmd.end(), answer.begin(), answer.end());
        return Sw(Send(cmd));
    }

    helixsim::HelixCard& Card() { return m_card; }
    const helixsim::Profile& GetProfile() const { return m_profile; }

private:
    helixsim::Profile m_profile;
    helixsim::HelixCard m_card;
};

}  // namespace simtest
