// OpenSSL objects owned by unique_ptr, each with its own free function (the simulator's owner).
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <vector>

#include "helixsim/ossl.h"

namespace ossl {

using helixsim::Owned;
using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using KeyContext = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Certificate = Owned<X509, X509_free>;
using Number = Owned<BIGNUM, BN_free>;
using EcdsaSignature = Owned<ECDSA_SIG, ECDSA_SIG_free>;
using CipherContext = Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

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
