// OpenSSL objects owned by unique_ptr, each with its own free function.
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace ossl {

template <class T, void (*F)(T*)>
struct Free {
    void operator()(T* p) const { F(p); }
};

using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Certificate = std::unique_ptr<X509, Free<X509, X509_free>>;
using Number = std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, Free<ECDSA_SIG, ECDSA_SIG_free>>;

// The DER encoding that an i2d_ function writes into a buffer of OpenSSL's own.
template <class T, class Encode>
std::vector<uint8_t> Der(const T* object, Encode encode) {
    unsigned char* bytes = nullptr;
    const int length = encode(object, &bytes);
    if (length <= 0) return {};
    std::vector<uint8_t> out(bytes, bytes + length);
    OPENSSL_free(bytes);
    return out;
}

}  // namespace ossl
