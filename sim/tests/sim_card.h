// A simulated card driven from the host's side, whose cryptography runs on libgcrypt so that the
// card's OpenSSL side is checked by a second engine.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "helixsim/apdu.h"
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

// The host engine.
using Mpi = helixsim::Owned<gcry_mpi, gcry_mpi_release>;

inline void GcryReady() {
    // Quick random keeps key generation off the very-strong pool, whose entropy collector is
    // never freed and would fail the leak check; test keys need no more.
    static const bool ready =
        gcry_check_version(nullptr) != nullptr && gcry_control(GCRYCTL_ENABLE_QUICK_RANDOM, 0) == 0;
    ASSERT_TRUE(ready);
}
inline Mpi ToMpi(const Bytes& bytes) {
    gcry_mpi_t m = nullptr;
    EXPECT_EQ(gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr), 0u);
    return Mpi(m);
}
// Unsigned big-endian, left-padded with zeros to `length`.
inline Bytes FromMpi(gcry_mpi_t m, size_t length = 0) {
    size_t n = 0;
    gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &n, m);
    Bytes out(n);
    gcry_mpi_print(GCRYMPI_FMT_USG, out.data(), n, &n, m);
    if (length > n) out.insert(out.begin(), length - n, 0);
    return out;
}
inline Bytes PowMod(const Bytes& base, const Bytes& exponent, const Bytes& mod) {
    const Mpi r(gcry_mpi_new(0));
    gcry_mpi_powm(r.get(), ToMpi(base).get(), ToMpi(exponent).get(), ToMpi(mod).get());
    return FromMpi(r.get(), mod.size());
}
inline Bytes HostRandom(size_t n) {
    GcryReady();
    Bytes out(n);
    gcry_randomize(out.data(), n, GCRY_STRONG_RANDOM);
    return out;
}
// Triple DES with a zero IV; a 16-byte key is K1 K2 K1.
inline Bytes GcryTdes(int mode, const Bytes& key, const Bytes& data, bool encrypt = true) {
    GcryReady();
    Bytes full = Concat({key, key.size() == 16 ? Slice(key, 0, 8) : Bytes{}});
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_3DES, mode, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, full.data(), full.size()), 0u);
    const Bytes iv(8, 0);
    if (mode == GCRY_CIPHER_MODE_CBC) gcry_cipher_setiv(h, iv.data(), iv.size());
    Bytes out(data.size());
    EXPECT_EQ(encrypt ? gcry_cipher_encrypt(h, out.data(), out.size(), data.data(), data.size())
                      : gcry_cipher_decrypt(h, out.data(), out.size(), data.data(), data.size()),
              0u);
    gcry_cipher_close(h);
    return out;
}
inline Bytes HostPad(Bytes data) {
    data.push_back(0x80);
    while (data.size() % 8 != 0) data.push_back(0);
    return data;
}
inline Bytes HostMac(const Bytes& key, const Bytes& data) {
    const Bytes c = GcryTdes(GCRY_CIPHER_MODE_CBC, key, HostPad(data));
    return Slice(c, c.size() - 8, 8);
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

struct Piece {
    std::array<uint8_t, 4> header;  // CLA with 0C (and 10 when more follow), INS, P1, P2
    Bytes data;                     // 87 81 L 01 cryptogram, 8E 08 MAC
};

// The host's side of the one-shot secure channel: A = g^r and K = B^r over the card's group,
// the masked session keys, then wrapped pieces of at most 224 bytes.
class HostSession {
public:
    // `begin` is the card's 80 g 81 p 82 B; `agree` hands A to the card and returns its answer.
    HostSession(const Bytes& begin, const std::function<std::optional<Bytes>(const Bytes&)>& agree);

    static Bytes CryptogramObject(const Bytes& cryptogram) {
        return Concat({{0x87, 0x81, static_cast<uint8_t>(cryptogram.size() + 1), 0x01}, cryptogram});
    }
    Piece Seal(std::array<uint8_t, 4> header, uint8_t counter, const Bytes& object) const {
        const Bytes mac = HostMac(
            m_sk2, Concat({Bytes(7, 0), {counter}, {header.begin(), header.end()}, Hex("80000000"), object}));
        return Piece{header, Concat({object, Hex("8E08"), mac})};
    }
    Piece WrapPiece(std::array<uint8_t, 4> header, uint8_t counter, const Bytes& plain) const {
        return Seal(header, counter, CryptogramObject(Encrypt(HostPad(plain))));
    }
    Bytes Encrypt(const Bytes& blocks) const { return GcryTdes(GCRY_CIPHER_MODE_CBC, m_sk1, blocks); }
    // The pieces of one command; the counter advances once more for the answer.
    std::vector<Piece> Wrap(std::array<uint8_t, 4> header, const Bytes& data) {
        header[0] |= 0x0C;
        std::vector<Piece> pieces;
        size_t at = 0;
        do {
            const size_t n = std::min<size_t>(224, data.size() - at);
            std::array<uint8_t, 4> h = header;
            if (at + n < data.size()) h[0] |= 0x10;
            pieces.push_back(WrapPiece(h, ++m_counter, Slice(data, at, n)));
            at += n;
        } while (at < data.size());
        ++m_counter;
        return pieces;
    }

private:
    Bytes m_sk1, m_sk2;
    uint8_t m_counter = 0;
};

inline HostSession::HostSession(const Bytes& begin,
                                const std::function<std::optional<Bytes>(const Bytes&)>& agree) {
    helixsim::Cursor cursor(begin);
    const auto g = cursor.NextTlv();
    const auto p = cursor.NextTlv();
    const auto b = cursor.NextTlv();
    const bool parsed = g && p && b && g->tag == 0x80 && p->tag == 0x81 && b->tag == 0x82 && cursor.AtEnd();
    EXPECT_TRUE(parsed) << ToHex(begin);
    if (!parsed) return;
    const Bytes r = HostRandom(20);
    const Bytes k = PowMod(b->value, r, p->value);
    const std::optional<Bytes> answer = agree(PowMod(g->value, r, p->value));
    EXPECT_TRUE(answer && answer->size() == 32);
    if (!answer || answer->size() != 32) return;
    for (size_t i = 0; i < 16; ++i) {
        m_sk1.push_back((*answer)[i] ^ k.at(i));
        m_sk2.push_back((*answer)[16 + i] ^ k.at(24 + i));
    }
}

// A command and the end of the card's answer to it, in hex: its status word, or data too.
struct Exchange {
    const char* name;
    const char* command;
    const char* answerEnd;
};

// Readable case names for tables of structs with a `name`.
inline constexpr auto CaseName = [](const auto& info) { return std::string(info.param.name); };

enum Login { kNobody, kUser };

// A card of that profile with the applet selected; kUser also verifies the user PIN.
class SimCard {
public:
    explicit SimCard(const helixsim::Profile& profile = helixsim::DefaultProfile())
        : m_profile(profile), m_card(profile) {
        EXPECT_EQ(Send(kSelectApplet), Hex("9000"));
    }
    explicit SimCard(const char* profile) : SimCard(helixsim::ProfileByName(profile)) {}
    explicit SimCard(Login login, const char* profile = "default") : SimCard(profile) {
        if (login == kUser) {
            EXPECT_EQ(LoginUser(), 0x9000);
        }
    }

    Bytes Send(const std::string& hex) { return Send(Hex(hex)); }
    Bytes Send(const Bytes& command) { return m_card.Transmit(command).response; }
    uint16_t SwOf(const std::string& hex) { return Sw(Send(hex)); }
    void Expect(const Exchange& e) {
        const std::string answer = ToHex(Send(e.command));
        const std::string end = e.answerEnd;
        EXPECT_TRUE(answer.size() >= end.size() &&
                    answer.compare(answer.size() - end.size(), end.size(), end) == 0)
            << e.command << " answered " << answer;
    }

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
        return Sw(
            Send(Concat({Hex("8082000008"), GcryTdes(GCRY_CIPHER_MODE_ECB, m_profile.adminKey, challenge)})));
    }

    helixsim::HelixCard& Card() { return m_card; }
    const helixsim::Profile& GetProfile() const { return m_profile; }

private:
    helixsim::Profile m_profile;
    helixsim::HelixCard m_card;
};

}  // namespace simtest
