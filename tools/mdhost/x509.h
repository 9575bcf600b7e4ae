// Certificates as the host sees them, with OpenSSL: fingerprints and names of what the card
// returns, and, for seeding a card, a small issuing authority.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace mdhost {

using Bytes = std::vector<uint8_t>;

// Lower-case hexadecimal SHA-1 of `data`.
std::string Sha1Hex(const Bytes& data);
// The subject of a DER certificate in RFC 2253 form, or nothing when `der` is not one.
std::optional<std::string> CertificateSubject(const Bytes& der);
// The number of certificates in a DER PKCS#7 SignedData, or nothing when `der` is not one.
std::optional<size_t> Pkcs7CertificateCount(const Bytes& der);

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const;
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// A fresh P-256 key pair.
Key MakeEcKey();
// An RSA public key from its modulus and exponent, most significant byte first.
Key RsaPublicKey(const Bytes& modulus, const Bytes& exponent);

struct CertificateRequest {
    std::string commonName;
    std::string organisation;
    uint64_t serial = 1;
    bool authority = false;    // a CA certificate (basic constraints, certificate signing)
    bool keyExchange = false;  // key encipherment rather than digital signature
};

// A DER certificate for `subjectKey` issued by `issuerCertificate` (empty: self-issued) and
// signed with `issuerKey`, valid from now for a year.
Bytes IssueCertificate(const CertificateRequest& request, EVP_PKEY* subjectKey,
                       const Bytes& issuerCertificate, EVP_PKEY* issuerKey);
// A DER PKCS#7 SignedData holding only `certificates`, as certificate stores are saved.
Bytes Pkcs7Of(const std::vector<Bytes>& certificates);

}  // namespace mdhost
