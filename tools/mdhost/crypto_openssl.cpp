// The host's cryptography with OpenSSL, on Linux.
#include "mdhost/host_crypto.h"
#include "mdhost/x509.h"

#include "mdhost/hex.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>
#include <stdexcept>

namespace mdhost {

namespace {

template <class T, void (*Release)(T*)>
struct Deleter {
    void operator()(T* p) const { Release(p); }
};

using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamsPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("OpenSSL: ") + what);
}

void Require(bool ok, const char* what) {
    if (!ok) Fail(what);
}

X509Ptr ParseCertificate(const Bytes& der) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (certificate && cursor != der.data() + der.size()) return nullptr;
    return certificate;
}

template <class T, int (*Encode)(const T*, unsigned char**)>
Bytes Der(const T* object) {
    const int length = Encode(object, nullptr);
    Require(length > 0, "encode");
    Bytes der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    Require(Encode(object, &cursor) == length, "encode");
    return der;
}

void AddNameEntry(X509_NAME* name, const char* field, const std::string& value) {
    if (value.empty()) return;
    Require(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()),  // NOLINT
                                       -1, -1, 0) == 1,
            "name entry");
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    const ExtensionPtr extension(X509V3_EXT_nconf_nid(nullptr, &context, nid, value));
    Require(extension != nullptr && X509_add_ext(certificate, extension.get(), -1) == 1, "extension");
}

const EVP_MD* Md(const HashName& hash) {
    return EVP_get_digestbyname(hash.name);
}

bool Verify(EVP_PKEY* key, const Bytes& digest, const Bytes& signature,
            const std::function<bool(EVP_PKEY_CTX*)>& configure) {
    const PkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 && configure(context.get()) &&
           EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) ==
               1;
}

}  // namespace

void KeyDeleter::operator()(HostKey* key) const {
    EVP_PKEY_free(key);
}

std::string Sha1Hex(const Bytes& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr) == 1, "SHA-1");
    return HexBytes(Bytes(digest, digest + length), "", HexCase::kLower);
}

std::optional<std::string> CertificateSubject(const Bytes& der) {
    const X509Ptr certificate = ParseCertificate(der);
    if (!certificate) return std::nullopt;
    const BioPtr text(BIO_new(BIO_s_mem()));
    Require(text != nullptr, "memory BIO");
    if (X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate.get()), 0, XN_FLAG_RFC2253) < 0)
        return std::nullopt;
    char* data = nullptr;
    const long length = BIO_get_mem_data(text.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

std::optional<size_t> Pkcs7CertificateCount(const Bytes& der) {
    const unsigned char* cursor = der.data();
    const Pkcs7Ptr message(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
    if (!message || PKCS7_type_is_signed(message.get()) == 0 || message->d.sign == nullptr)
        return std::nullopt;
    const STACK_OF(X509)* certificates = message->d.sign->cert;
    return certificates == nullptr ? 0 : static_cast<size_t>(sk_X509_num(certificates));
}

void RandomBytes(uint8_t* out, size_t size) {
    Require(RAND_bytes(out, static_cast<int>(size)) == 1, "random bytes");
}

void Wipe(Bytes& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
}

Bytes TripleDesEcb(const Bytes& key, const Bytes& data) {
    const CipherCtxPtr context(EVP_CIPHER_CTX_new());
    Bytes out(data.size());
    int length = 0;
    Require(key.size() == 24 && data.size() % 8 == 0 && context &&
                EVP_EncryptInit_ex(context.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) == 1 &&
                EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
                EVP_EncryptUpdate(context.get(), out.data(), &length, data.data(),
                                  static_cast<int>(data.size())) == 1 &&
                length == static_cast<int>(data.size()),
            "3DES");
    return out;
}

Key MakeKey(const char* curve, unsigned bits) {
    Key key(curve != nullptr ? EVP_EC_gen(curve) : EVP_RSA_gen(bits));
    Require(key != nullptr, "key generation");
    return key;
}

bool SamePublicKey(HostKey* a, HostKey* b) {
    return EVP_PKEY_eq(a, b) == 1;
}

Bytes KeyNumber(HostKey* key, KeyPart part, size_t size, bool little) {
    static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_E,
                                         OSSL_PKEY_PARAM_RSA_N,
                                         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                         OSSL_PKEY_PARAM_RSA_FACTOR2,
                                         OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                         OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                         OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                                         OSSL_PKEY_PARAM_RSA_D,
                                         OSSL_PKEY_PARAM_EC_PUB_X,
                                         OSSL_PKEY_PARAM_EC_PUB_Y,
                                         OSSL_PKEY_PARAM_PRIV_KEY};
    const char* name = kNames[static_cast<size_t>(part)];
    BIGNUM* bn = nullptr;
    Require(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
    Bytes value(size);
    const int rv = (little ? BN_bn2lebinpad : BN_bn2binpad)(bn, value.data(), static_cast<int>(size));
    BN_clear_free(bn);
    Require(rv >= 0, name);
    return value;
}

Bytes EcPublicPoint(HostKey* key) {
    Bytes point(1 + 2 * 66);
    size_t length = 0;
    Require(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                            &length) == 1 &&
                length >= 3 && point[0] == 0x04,
            "EC public point");
    return Bytes(point.begin() + 1, point.begin() + static_cast<std::ptrdiff_t>(length));
}

Key EcPublicKey(const char* curve, const Bytes& x, const Bytes& y) {
    Bytes point{0x04};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    const ParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()) != 1)
        return nullptr;
    const ParamsPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    const PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return Key(key);
}

Key RsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    const BnPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    const BnPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    const ParamBldPtr builder(OSSL_PARAM_BLD_new());
    Require(n && e && builder, "RSA parameters");
    Require(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
                OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1,
            "RSA parameters");
    const ParamsPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    const PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    Require(params && context && EVP_PKEY_fromdata_init(context.get()) == 1, "RSA key");
    EVP_PKEY* key = nullptr;
    Require(EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) == 1, "RSA key");
    return Key(key);
}

Bytes IssueCertificate(const CertificateRequest& request, HostKey* subjectKey, const Bytes& issuerCertificate,
                       HostKey* issuerKey) {
    const X509Ptr certificate(X509_new());
    Require(certificate != nullptr, "certificate");
    X509Ptr issuer;
    if (!issuerCertificate.empty()) {
        issuer = ParseCertificate(issuerCertificate);
        Require(issuer != nullptr, "issuer certificate");
    }
    X509* signer = issuer ? issuer.get() : certificate.get();

    Require(X509_set_version(certificate.get(), X509_VERSION_3) == 1, "version");
    Require(ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate.get()), request.serial) == 1, "serial");
    Require(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) != nullptr &&
                X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365L * 24 * 3600) != nullptr,
            "validity");
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    AddNameEntry(subject, "O", request.organisation);
    AddNameEntry(subject, "CN", request.commonName);
    Require(X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) == 1, "issuer");
    Require(X509_set_pubkey(certificate.get(), subjectKey) == 1, "public key");

    if (request.authority) {
        AddExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(certificate.get(), signer, NID_key_usage,
                     request.keyExchange ? "critical,keyEncipherment" : "critical,digitalSignature");
    }
    Require(X509_sign(certificate.get(), issuerKey, EVP_sha256()) > 0, "signature");
    return Der<X509, i2d_X509>(certificate.get());
}

Bytes Pkcs7Of(const std::vector<Bytes>& certificates) {
    const Pkcs7Ptr message(PKCS7_new());
    Require(message != nullptr && PKCS7_set_type(message.get(), NID_pkcs7_signed) == 1 &&
                PKCS7_content_new(message.get(), NID_pkcs7_data) == 1,
            "PKCS#7");
    for (const Bytes& der : certificates) {
        const X509Ptr certificate = ParseCertificate(der);
        Require(certificate != nullptr && PKCS7_add_certificate(message.get(), certificate.get()) == 1,
                "PKCS#7 certificate");
    }
    return Der<PKCS7, i2d_PKCS7>(message.get());
}

Bytes Digest(const HashName& hash, const Bytes& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(message.data(), message.size(), out.data(), &length, Md(hash), nullptr) != 1)
        Fail("digest");
    out.resize(length);
    return out;
}

bool VerifiesPkcs1(HostKey* key, const HashName& hash, const Bytes& digest, const Bytes& signature) {
    return Verify(key, digest, signature, [&](EVP_PKEY_CTX* c) {
        return EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) == 1 &&
               EVP_PKEY_CTX_set_signature_md(c, Md(hash)) == 1;
    });
}

bool VerifiesPss(HostKey* key, const HashName& hash, const Bytes& digest, const Bytes& signature) {
    return Verify(key, digest, signature, [&](EVP_PKEY_CTX* c) {
        return EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PSS_PADDING) == 1 &&
               EVP_PKEY_CTX_set_signature_md(c, Md(hash)) == 1 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md(c, Md(hash)) == 1 &&
               EVP_PKEY_CTX_set_rsa_pss_saltlen(c, static_cast<int>(hash.length)) == 1;
    });
}

bool VerifiesEcdsa(HostKey* key, const Bytes& digest, const Bytes& signature) {
    if (signature.empty() || signature.size() % 2 != 0) return false;
    const size_t half = signature.size() / 2;
    BnPtr r(BN_bin2bn(signature.data(), static_cast<int>(half), nullptr));
    BnPtr s(BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr));
    const EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return false;
    (void)r.release();
    (void)s.release();
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0) return false;
    Bytes der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_ECDSA_SIG(sig.get(), &cursor) != length) return false;
    return Verify(key, digest, der, [](EVP_PKEY_CTX*) { return true; });
}

Bytes SharedSecret(HostKey* mine, HostKey* theirs) {
    const PkeyCtxPtr context(EVP_PKEY_CTX_new(mine, nullptr));
    size_t length = 0;
    if (!context || EVP_PKEY_derive_init(context.get()) != 1 ||
        EVP_PKEY_derive_set_peer(context.get(), theirs) != 1 ||
        EVP_PKEY_derive(context.get(), nullptr, &length) != 1)
        throw std::runtime_error("OpenSSL: ECDH");
    Bytes z(length);
    if (EVP_PKEY_derive(context.get(), z.data(), &length) != 1) throw std::runtime_error("OpenSSL: ECDH");
    z.resize(length);
    return z;
}

Bytes Hmac(const HashName& hash, const Bytes& key, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    size_t length = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, hash.name, nullptr, key.data(), key.size(), data.data(),
                  data.size(), out.data(), out.size(), &length) == nullptr)
        throw std::runtime_error("OpenSSL: HMAC");
    out.resize(length);
    return out;
}

Bytes ConcatKdf(const HashName& hash, const Bytes& secret, const Bytes& info, size_t length) {
    using KdfPtr = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
    using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
    const KdfPtr kdf(EVP_KDF_fetch(nullptr, "SSKDF", nullptr));
    const KdfCtxPtr context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    Bytes z = secret;
    Bytes other = info;
    std::string digest = hash.name;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest.data(), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, z.data(), z.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, other.data(), other.size()), OSSL_PARAM_END};
    Bytes out(length);
    if (!context || EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1)
        throw std::runtime_error("OpenSSL: SSKDF");
    return out;
}

Bytes EncryptRaw(HostKey* key, const Bytes& block) {
    const PkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = 0;
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) != 1 ||
        EVP_PKEY_encrypt(context.get(), nullptr, &length, block.data(), block.size()) != 1)
        throw std::runtime_error("OpenSSL: RSA encryption");
    Bytes out(length);
    if (EVP_PKEY_encrypt(context.get(), out.data(), &length, block.data(), block.size()) != 1)
        throw std::runtime_error("OpenSSL: RSA encryption");
    out.resize(length);
    return out;
}

}  // namespace mdhost
