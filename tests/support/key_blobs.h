// Key blobs of the published minidriver formats, made and read with OpenSSL: the host's
// PRIVATEKEYBLOB and BCRYPT_ECCPRIVATE_BLOB of a key, and the public key in a PUBLICKEYBLOB or
// BCRYPT_ECCKEY_BLOB (its header checked against the key spec).
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

inline uint32_t U32(const ByteVector& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

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

// PUBLICKEYBLOB or BCRYPT_ECCKEY_BLOB as the published formats define them, header checked.
inline Public PublicOf(const ByteVector& blob, DWORD spec, DWORD bits) {
    const bool ec = spec >= AT_ECDSA_P256;
    const size_t bytes = bits / 8;
    EXPECT_EQ(blob.size(), ec ? 8 + 2 * bytes : 20 + bytes);
    if (blob.size() < 20) return {};
    if (ec) {
        const char* magic[] = {"ECS1", "ECS3", "ECS5", "ECK1", "ECK3", "ECK5"};
        EXPECT_EQ(std::string(blob.begin(), blob.begin() + 4), magic[spec - AT_ECDSA_P256]);
        EXPECT_EQ(U32(blob, 4), bytes);
        return {Concat({{0x04}, ByteVector(blob.begin() + 8, blob.end())}), {}};
    }
    EXPECT_EQ(ToHex(ByteVector(blob.begin(), blob.begin() + 12)),
              std::string("06020000") + (spec == AT_KEYEXCHANGE ? "00A40000" : "00240000") + "52534131");
    EXPECT_EQ(U32(blob, 12), bits);
    const ossl::Number n(BN_lebin2bn(blob.data() + 20, static_cast<int>(blob.size() - 20), nullptr));
    const ossl::Number e(BN_new());
    BN_set_word(e.get(), U32(blob, 16));
    return {Bytes(n.get()), Bytes(e.get())};
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
