// The card's own cryptography, on OpenSSL, so that the module (libgcrypt and its own digests)
// and the card never share an implementation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "helixsim/card.h"

namespace helixsim::crypto {

// Secret bytes, wiped (with a wipe the compiler cannot drop) when destroyed, moved over or Wipe()d.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(Bytes bytes) noexcept : m_bytes(std::move(bytes)) {}
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    ~SecretBytes() { Wipe(); }

    void Wipe() noexcept;
    const Bytes& bytes() const { return m_bytes; }
    size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }

private:
    Bytes m_bytes;
};

Bytes Random(size_t count);
Bytes Sha1(const Bytes& data);

// Two-key triple DES (K1 K2 K1) from a 16-byte key, or three-key from 24 bytes. Data lengths are
// multiples of 8; the IV is eight zero bytes. Other lengths: std::invalid_argument.
Bytes TdesCbcEncrypt(const Bytes& key, const Bytes& data);
Bytes TdesCbcDecrypt(const Bytes& key, const Bytes& data);
Bytes TdesEcbEncrypt(const Bytes& key, const Bytes& data);

// ISO/IEC 9797-1 padding method 2 (80 then zeros to a multiple of 8) and its removal; Unpad
// returns nullopt when the padding is malformed.
Bytes Pad2(const Bytes& data);
std::optional<Bytes> Unpad2(const Bytes& data);

// Triple-DES CBC-MAC over Pad2(data): the last cipher block of CBC encryption with a zero IV.
Bytes TdesCbcMac(const Bytes& key, const Bytes& data);

// Modular exponentiation over unsigned big-endian numbers; the result has the length of `mod`.
// A zero modulus: std::invalid_argument.
Bytes ModExp(const Bytes& base, const Bytes& exponent, const Bytes& mod);

// The group's prime and generator, unsigned big-endian.
struct DhGroup {
    Bytes prime, generator;
};
DhGroup ModpGroup(AgreementGroup group);

enum class Curve { P256, P384, P521 };
size_t CurveBytes(Curve curve);  // 32, 48, 66
// Domain parameters as the card's key-object templates carry them: p, a, b, G (04 x y), n, h.
struct DomainParameters {
    Bytes p, a, b, g, n, h;
};
DomainParameters CurveParameters(Curve curve);

// An asymmetric private key held by the card. Keys never leave the model except through Der()
// for the card image.
class AsymKey {
public:
    static AsymKey GenerateRsa(unsigned bits);  // public exponent 65537
    static AsymKey GenerateEc(Curve curve);
    // FromRsa and FromEc throw std::invalid_argument when the components do not form a
    // consistent key (RSA: primes, product, exponents and coefficient all checked).
    static AsymKey FromRsa(const Bytes& n, const Bytes& e, const Bytes& d, const Bytes& p, const Bytes& q,
                           const Bytes& dp, const Bytes& dq, const Bytes& qinv);
    static AsymKey FromEc(Curve curve, const Bytes& d, const Bytes& publicPoint);  // point: 04 x y
    // PKCS#8 (or a traditional RSA/EC encoding) of an RSA key or a key on one of the three curves;
    // std::invalid_argument for anything else, trailing bytes included.
    static AsymKey FromDer(const Bytes& der);

    AsymKey(AsymKey&&) noexcept;
    AsymKey& operator=(AsymKey&&) noexcept;
    ~AsymKey();

    bool IsRsa() const;
    unsigned Bits() const;         // modulus bits, or the curve's field bits
    Bytes Der() const;             // private key, DER (PKCS#8), for the card image
    Bytes Modulus() const;         // RSA, big-endian, full length
    Bytes PublicExponent() const;  // RSA, big-endian, minimal
    Bytes PublicPoint() const;     // EC, 04 x y

    // The RSA members throw std::logic_error on an EC key, the EC members on an RSA key.
    // Raw RSA private operation on a block of the modulus length (no padding added or removed).
    // std::nullopt when the block is not of the modulus length or not below the modulus.
    std::optional<Bytes> RsaPrivate(const Bytes& block) const;
    // PKCS#1 v1.5 type 1 block around `digestInfo`, then the private operation; nullopt when
    // the block cannot hold it with eight bytes of padding.
    std::optional<Bytes> RsaSignPkcs1(const Bytes& digestInfo) const;
    // ECDSA over `hash` as given (no hashing); DER SEQUENCE of r and s.
    Bytes EcdsaSign(const Bytes& hash) const;
    // ECDH with the peer's point (04 x y): the x-coordinate, curve length; nullopt for any other
    // form or a point not on the curve.
    std::optional<Bytes> EcdhX(const Bytes& peerPoint) const;

private:
    struct Impl;
    explicit AsymKey(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace helixsim::crypto
