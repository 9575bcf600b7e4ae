// The host's cryptography, with which mdhost makes keys and certificates and checks what the card
// produced: OpenSSL on Linux (crypto_openssl.cpp); libgcrypt and the system's crypt32 in
// mdhost.exe, which has no OpenSSL (crypto_gcrypt.cpp). Either way an engine of its own, apart
// from the module's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/minidriver.h"

#ifdef _WIN32
struct HostKey;
#else
typedef struct evp_pkey_st HostKey;  // OpenSSL's own key type
#endif

namespace mdhost {

using Bytes = std::vector<uint8_t>;

struct KeyDeleter {
    void operator()(HostKey* key) const;
};
using Key = std::unique_ptr<HostKey, KeyDeleter>;

// The hashes of the padding information ("SHA256") and their identifiers.
struct HashName {
    const char* name;
    ALG_ID id;
    size_t length;
};

void RandomBytes(uint8_t* out, size_t size);
// Zeroes `secret` where the compiler cannot leave the stores out.
void Wipe(Bytes& secret);
// Lower-case hexadecimal SHA-1 of `data`.
std::string Sha1Hex(const Bytes& data);
Bytes Digest(const HashName& hash, const Bytes& message);
Bytes Hmac(const HashName& hash, const Bytes& key, const Bytes& data);
// The single-step key derivation of NIST SP 800-56A of `length` bytes.
Bytes ConcatKdf(const HashName& hash, const Bytes& secret, const Bytes& info, size_t length);
// 3DES in ECB mode over whole blocks, a 24-byte key.
Bytes TripleDesEcb(const Bytes& key, const Bytes& data);

// A fresh key pair: on `curve` ("P-256", "P-384", "P-521") when it is given, else RSA of `bits`.
Key MakeKey(const char* curve, unsigned bits);
// A public key from its parts, most significant byte first; null when they are not one.
Key RsaPublicKey(const Bytes& modulus, const Bytes& exponent);
Key EcPublicKey(const char* curve, const Bytes& x, const Bytes& y);
bool SamePublicKey(HostKey* a, HostKey* b);

// The numbers of a key pair, in `size` bytes (little: least significant first). The RSA
// factors and exponents are those of the Chinese remainder form: coefficient = q^-1 mod p.
enum class KeyPart { RsaE, RsaN, RsaP, RsaQ, RsaDp, RsaDq, RsaQInv, RsaD, EcX, EcY, EcD };
Bytes KeyNumber(HostKey* key, KeyPart part, size_t size, bool little);
// The EC public point's coordinates x || y, each of the curve's size.
Bytes EcPublicPoint(HostKey* key);

// A signature as the card returned it, most significant byte first (RSA) or r || s (EC).
bool VerifiesPkcs1(HostKey* key, const HashName& hash, const Bytes& digest, const Bytes& signature);
bool VerifiesPss(HostKey* key, const HashName& hash, const Bytes& digest, const Bytes& signature);
bool VerifiesEcdsa(HostKey* key, const Bytes& digest, const Bytes& signature);
// The x-coordinate of the shared point, as ECDH agrees it.
Bytes SharedSecret(HostKey* mine, HostKey* theirs);
// RSA without padding: the block must be as long as the modulus.
Bytes EncryptRaw(HostKey* key, const Bytes& block);

}  // namespace mdhost
