#include "helixsim/sm.h"

#include <openssl/crypto.h>

#include <utility>

#include "helixsim/apdu.h"

namespace helixsim {
namespace {

constexpr size_t kSecretExponentBytes = 32;
constexpr size_t kSessionKeyBytes = 16;
constexpr size_t kMacBytes = 8;
constexpr uint8_t kClaSecureMessaging = 0x0C;
constexpr uint8_t kClaChaining = 0x10;

constexpr uint16_t kSwOk = 0x9000;
constexpr uint16_t kSwNoSession = 0x6985;
constexpr uint16_t kSwMalformed = 0x6A80;
constexpr uint16_t kSwBadSecureMessaging = 0x6988;

struct WrappedPiece {
    Bytes cryptogramObject;  // the whole 87 object, as the MAC covers it
    Bytes cryptogram;
    Bytes mac;
};

// Exactly 87 81 L 01 cryptogram 8E 08 MAC, the cryptogram whole blocks and at least one.
std::optional<WrappedPiece> ParsePiece(const Bytes& data) {
    Cursor cursor(data);
    if (!cursor.Expect(0x87) || !cursor.Expect(0x81)) return std::nullopt;
    const std::optional<uint8_t> length = cursor.U8();
    if (!length || *length < 9 || (*length - 1) % 8 != 0 || !cursor.Expect(0x01)) return std::nullopt;
    std::optional<Bytes> cryptogram = cursor.Take(*length - 1u);
    if (!cryptogram) return std::nullopt;
    const size_t objectEnd = data.size() - cursor.Remaining();
    if (!cursor.Expect(0x8E) || !cursor.Expect(kMacBytes)) return std::nullopt;
    std::optional<Bytes> mac = cursor.Take(kMacBytes);
    if (!mac || !cursor.AtEnd()) return std::nullopt;
    return WrappedPiece{Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(objectEnd)),
                        std::move(*cryptogram), std::move(*mac)};
}

Bytes MinusSmall(Bytes value, uint8_t amount) {
    unsigned borrow = amount;
    for (auto it = value.rbegin(); it != value.rend() && borrow != 0; ++it) {
        const unsigned digit = *it;
        *it = static_cast<uint8_t>((digit + 0x100 - borrow) & 0xFF);
        borrow = digit < borrow ? 1 : 0;
    }
    return value;
}

// 2 <= value <= p - 2 for numbers of p's length, where byte order is numeric order; this keeps
// the agreed secret out of the small subgroup {1, p-1}.
bool IsValidPublic(const Bytes& value, const Bytes& prime) {
    Bytes two(prime.size(), 0);
    two.back() = 2;
    return !(value < two) && !(MinusSmall(prime, 2) < value);
}

}  // namespace

Bytes SmSession::Begin(AgreementGroup group) {
    End();
    crypto::DhGroup dh = crypto::ModpGroup(group);
    m_secret = crypto::SecretBytes(crypto::Random(kSecretExponentBytes));
    Bytes out;
    AppendTlv(out, 0x80, dh.generator);
    AppendTlv(out, 0x81, dh.prime);
    AppendTlv(out, 0x82, crypto::ModExp(dh.generator, m_secret.bytes(), dh.prime));
    m_prime = std::move(dh.prime);
    m_active = true;
    return out;
}

std::optional<Bytes> SmSession::Agree(const Bytes& hostPublic) {
    if (!m_active || m_agreed || m_secret.empty() || hostPublic.size() > m_prime.size()) {
        End();
        return std::nullopt;
    }
    Bytes a(m_prime.size() - hostPublic.size(), 0);
    a.insert(a.end(), hostPublic.begin(), hostPublic.end());
    if (!IsValidPublic(a, m_prime)) {
        End();
        return std::nullopt;
    }
    const crypto::SecretBytes k(crypto::ModExp(a, m_secret.bytes(), m_prime));
    m_secret.Wipe();
    m_sk1 = crypto::SecretBytes(crypto::Random(kSessionKeyBytes));
    m_sk2 = crypto::SecretBytes(crypto::Random(kSessionKeyBytes));
    Bytes answer(2 * kSessionKeyBytes);
    for (size_t i = 0; i < kSessionKeyBytes; ++i) {
        answer[i] = m_sk1.bytes()[i] ^ k.bytes()[i];
        answer[kSessionKeyBytes + i] = m_sk2.bytes()[i] ^ k.bytes()[24 + i];
    }
    m_agreed = true;
    m_counter = 0;
    return answer;
}

void SmSession::End() {
    m_active = false;
    m_agreed = false;
    m_secret.Wipe();
    m_sk1.Wipe();
    m_sk2.Wipe();
    m_counter = 0;
}

SmSession::Unwrapped SmSession::Fail(uint16_t sw) {
    End();
    return Unwrapped{sw, {}};
}

SmSession::Unwrapped SmSession::Unwrap(const std::array<uint8_t, 4>& header, const Bytes& data) {
    if (!m_agreed) return Fail(kSwNoSession);
    if ((header[0] & kClaSecureMessaging) != kClaSecureMessaging) return Fail(kSwMalformed);
    const std::optional<WrappedPiece> piece = ParsePiece(data);
    if (!piece) return Fail(kSwMalformed);

    // A replayed or skipped piece was MACed under another counter value and fails here.
    const uint8_t counter = static_cast<uint8_t>(m_counter + 1);
    Bytes macInput(7, 0x00);
    macInput.push_back(counter);
    macInput.insert(macInput.end(), header.begin(), header.end());
    macInput.insert(macInput.end(), {0x80, 0x00, 0x00, 0x00});
    macInput.insert(macInput.end(), piece->cryptogramObject.begin(), piece->cryptogramObject.end());
    const Bytes expected = crypto::TdesCbcMac(m_sk2.bytes(), macInput);
    if (CRYPTO_memcmp(expected.data(), piece->mac.data(), kMacBytes) != 0) return Fail(kSwBadSecureMessaging);

    const crypto::SecretBytes padded(crypto::TdesCbcDecrypt(m_sk1.bytes(), piece->cryptogram));
    std::optional<Bytes> plain = crypto::Unpad2(padded.bytes());
    if (!plain) return Fail(kSwBadSecureMessaging);

    m_counter = counter;
    // The host spends one more value on the answer of the last piece.
    if ((header[0] & kClaChaining) == 0) ++m_counter;
    return Unwrapped{kSwOk, std::move(*plain)};
}

}  // namespace helixsim
