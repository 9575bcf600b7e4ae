// Ownership of OpenSSL objects: a unique_ptr whose deleter is the object's free function.
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include <memory>

namespace helixsim {

// Any C object released by one function (libgcrypt's in the tests too).
template <typename T, void (*Free)(T*)>
struct FreeWith {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, FreeWith<T, Free>>;

namespace ossl {

// Parameter arrays carry private key components in their data.
inline void ClearFreeParams(OSSL_PARAM* params) {
    for (OSSL_PARAM* p = params; p != nullptr && p->key != nullptr; ++p)
        OPENSSL_cleanse(p->data, p->data_size);
    OSSL_PARAM_free(params);
}

using Bn = Owned<BIGNUM, BN_clear_free>;
using BnCtx = Owned<BN_CTX, BN_CTX_free>;
using CipherCtx = Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using Group = Owned<EC_GROUP, EC_GROUP_free>;
using ParamBld = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Owned<OSSL_PARAM, ClearFreeParams>;
using Pkcs8 = Owned<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

}  // namespace ossl
}  // namespace helixsim
