// Certificates as the host sees them: names of what the card returns and, for seeding a card,
// a small issuing authority (host_crypto.h says with what).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mdhost/host_crypto.h"

namespace mdhost {

// The subject of a DER certificate in RFC 2253 form, or nothing when `der` is not one.
std::optional<std::string> CertificateSubject(const Bytes& der);
// The number of certificates in a DER PKCS#7 SignedData, or nothing when `der` is not one.
std::optional<size_t> Pkcs7CertificateCount(const Bytes& der);

struct CertificateRequest {
    std::string commonName;
    std::string organisation;
    uint64_t serial = 1;
    bool authority = false;    // a CA certificate (basic constraints, certificate signing)
    bool keyExchange = false;  // key encipherment rather than digital signature
};

// A DER certificate for `subjectKey` issued by `issuerCertificate` (empty: self-issued) and
// signed with `issuerKey`, valid from now for a year.
Bytes IssueCertificate(const CertificateRequest& request, HostKey* subjectKey, const Bytes& issuerCertificate,
                       HostKey* issuerKey);
// A DER PKCS#7 SignedData holding only `certificates`, as certificate stores are saved.
Bytes Pkcs7Of(const std::vector<Bytes>& certificates);

}  // namespace mdhost
