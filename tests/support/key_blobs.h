// Key blobs of the published minidriver formats, made from OpenSSL keys: the host's
// PRIVATEKEYBLOB and BCRYPT_ECCPRIVATE_BLOB of a key, and the public key's PUBLICKEYBLOB or
// BCRYPT_ECCKEY_BLOB.
#pragma once

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>
#include <utility>

#include "hex.h"
#include "openssl_ptr.h"
#include "platform/minidriver.h"

namespace keyblobs {

using ByteVector = std::vector<uint8_t>;
using ossl::Key;
// A public key as big-endian numbers: RSA modulus and exponent, or an EC point (04 x y) and nothing.
using Public = std::pair<ByteVector, ByteVector>;

inline void PutU32(ByteVector& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

inline ByteVector Bytes(const BIGNUM* bn) {
    ByteVector out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

inline Public PublicOf(const Key& key) {
    if (EVP_PKEY_is_a(key.get(), "EC")) {
        ByteVector point(256);
        size_t length = 0;
        EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                        &length);
        point.resize(length);
        return {point, {}};
    }
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    const ossl::Number ownedN(n), ownedE(e);
    return {Bytes(n), Bytes(e)};
}

// The PUBLICKEYBLOB (RSA) or BCRYPT_ECCKEY_BLOB (EC, the magic of its key spec) of a public key
// of `bits`, as the published formats define them.
inline ByteVector Blob(const Public& key, DWORD keySpec, DWORD bits) {
    ByteVector blob;
    if (keySpec >= AT_ECDSA_P256) {
        const char* magic = &"ECS1ECS3ECS5ECK1ECK3ECK5"[4 * (keySpec - AT_ECDSA_P256)];
        blob.assign(magic, magic + 4);
        PutU32(blob, bits / 8);
        blob.insert(blob.end(), key.first.begin() + 1, key.first.end());
        return blob;
    }
    blob = Hex(std::string("0602000000") + (keySpec == AT_KEYEXCHANGE ? "A4" : "24") + "0000 52534131");
    PutU32(blob, bits);
    uint32_t exponent = 0;
    for (const uint8_t byte : key.second) exponent = exponent << 8 | byte;
    PutU32(blob, exponent);
    blob.insert(blob.end(), key.first.rbegin(), key.first.rend());
    blob.resize(20 + bits / 8, 0);
    return blob;
}

// A PRIVATEKEYBLOB (RSA) or BCRYPT_ECCPRIVATE_BLOB (EC) of an OpenSSL key.
inline ByteVector PrivateBlob(const Key& key, size_t bits) {
    const auto put = [&key](ByteVector& out, const char* name, size_t size, bool little) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(key.get(), name, &bn);
        const ossl::Number owned(bn);
        ByteVector value(size);
        (little ? BN_bn2lebinpad : BN_bn2binpad)(bn, value.data(), static_cast<int>(size));
        out.insert(out.end(), value.begin(), value.end());
    };
    ByteVector blob;
    if (EVP_PKEY_is_a(key.get(), "EC")) {
        const size_t n = (bits + 7) / 8;
        PutU32(blob, 0x32534345);  // ECS2: the module reads no header
        PutU32(blob, static_cast<uint32_t>(n));
        for (const char* part :
             {OSSL_PKEY_PARAM_EC_PUB_X, OSSL_PKEY_PARAM_EC_PUB_Y, OSSL_PKEY_PARAM_PRIV_KEY})
            put(blob, part, n, false);
        return blob;
    }
    blob = Hex("0702000000A40000 52534132");
    PutU32(blob, static_cast<uint32_t>(bits));
    put(blob, OSSL_PKEY_PARAM_RSA_E, 4, true);
    put(blob, OSSL_PKEY_PARAM_RSA_N, bits / 8, true);
    for (const char* part :
         {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
          OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
        put(blob, part, bits / 16, true);
    put(blob, OSSL_PKEY_PARAM_RSA_D, bits / 8, true);
    return blob;
}

inline Key RsaKey(unsigned bits, unsigned exponent) {
    const ossl::KeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    const ossl::Number e(BN_new());
    BN_set_word(e.get(), exponent);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_keygen_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits));
    EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get());
    EVP_PKEY_generate(ctx.get(), &key);
    return Key(key);
}

}  // namespace keyblobs
