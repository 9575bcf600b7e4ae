#include "mdhost/x509.h"

#include "mdhost/hex.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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

}  // namespace

void KeyDeleter::operator()(EVP_PKEY* key) const {
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

Key MakeEcKey() {
    Key key(EVP_EC_gen("P-256"));
    Require(key != nullptr, "P-256 key generation");
    return key;
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

Bytes IssueCertificate(const CertificateRequest& request, EVP_PKEY* subjectKey,
                       const Bytes& issuerCertificate, EVP_PKEY* issuerKey) {
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

}  // namespace mdhost
