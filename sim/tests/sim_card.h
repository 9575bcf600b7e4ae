// A simulated card driven from the host's side, whose ciphers run on libgcrypt so that the card's
// OpenSSL side is checked by a second engine.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helixsim/card.h"
#include "helixsim/hex.h"
#include "helixsim/ossl.h"

namespace simtest {

using helixsim::Bytes;
using helixsim::Hex;
using helixsim::ToHex;

inline const char* const kSelectApplet = "00A404000C A000000164 505249534D 0001";

inline uint16_t Sw(const Bytes& response) {
    return response.size() < 2
               ? 0
               : static_cast<uint16_t>((response[response.size() - 2] << 8) | response.back());
}
inline Bytes Data(const Bytes& response) {
    return response.size() < 2 ? Bytes{} : Bytes(response.begin(), response.end() - 2);
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}
inline Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

inline void GcryReady() {
    // Quick random keeps key generation off the very-strong pool, whose entropy collector is
    // never freed and would fail the leak check; test keys need no more.
    static const bool ready =
        gcry_check_version(nullptr) != nullptr && gcry_control(GCRYCTL_ENABLE_QUICK_RANDOM, 0) == 0;
    ASSERT_TRUE(ready);
}
// Triple DES with a zero IV; a 16-byte key is K1 K2 K1.
inline Bytes GcryTdes(int mode, const Bytes& key, const Bytes& data) {
    GcryReady();
    Bytes full = Concat({key, key.size() == 16 ? Slice(key, 0, 8) : Bytes{}});
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_3DES, mode, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, full.data(), full.size()), 0u);
    const Bytes iv(8, 0);
    if (mode == GCRY_CIPHER_MODE_CBC) gcry_cipher_setiv(h, iv.data(), iv.size());
    Bytes out(data.size());
    EXPECT_EQ(gcry_cipher_encrypt(h, out.data(), out.size(), data.data(), data.size()), 0u);
    gcry_cipher_close(h);
    return out;
}
inline Bytes HostPad(Bytes data) {
    data.push_back(0x80);
    while (data.size() % 8 != 0) data.push_back(0);
    return data;
}
// 80 20 00 P2 10 || 3DES-CBC(SHA-1(pin)[0..15] as K1 K2 K1, random || challenge).
inline Bytes VerifyCommand(const Bytes& pin, const Bytes& challenge, uint8_t p2 = 0) {
    GcryReady();
    Bytes key(20);
    gcry_md_hash_buffer(GCRY_MD_SHA1, key.data(), pin.data(), pin.size());
    key.resize(16);
    const Bytes block = Concat({Bytes(8, 0x5A), challenge});
    return Concat({{0x80, 0x20, 0x00, p2, 0x10}, GcryTdes(GCRY_CIPHER_MODE_CBC, key, block)});
}

// Readable case names for tables of structs with a `name`.
inline constexpr auto CaseName = [](const auto& info) { return std::string(info.param.name); };

enum Login { kNobody, kUser };

// A card of that profile with the applet selected; kUser also verifies the user PIN.
class SimCard {
public:
    explicit SimCard(const char* profile = "default", Login login = kNobody)
        : m_profile(helixsim::ProfileByName(profile)), m_card(m_profile) {
        EXPECT_EQ(SwOf(kSelectApplet), 0x9000);
        if (login == kUser) {
            EXPECT_EQ(LoginUser(), 0x9000);
        }
    }
    explicit SimCard(Login login) : SimCard("default", login) {}

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
    helixsim::HelixCard& Card() { return m_card; }
    const helixsim::Profile& GetProfile() const { return m_profile; }

private:
    helixsim::Profile m_profile;
    helixsim::HelixCard m_card;
};

}  // namespace simtest
