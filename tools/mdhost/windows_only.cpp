// What mdhost.exe has in place of OpenSSL, which the Windows build lacks: certificates are read
// with the system's crypt32, and the scenarios that make or check keys and certificates (seed,
// pin, enroll, sign, decrypt, ecdh, delete) are refused when the options are read (options.cpp).
#include <wincrypt.h>
#include <windows.h>

#include <stdexcept>

#include "mdhost/hex.h"
#include "mdhost/key_checks.h"
#include "mdhost/keys.h"
#include "mdhost/pin.h"
#include "mdhost/seed.h"
#include "mdhost/x509.h"

namespace mdhost {

namespace {

[[noreturn]] void NotInThisBuild() {
    throw std::logic_error("this scenario needs OpenSSL, which this build of mdhost does not have");
}

}  // namespace

std::string Sha1Hex(const Bytes& data) {
    BYTE digest[20];
    DWORD length = sizeof digest;
    if (!CryptHashCertificate(0, CALG_SHA1, 0, data.data(), static_cast<DWORD>(data.size()), digest, &length))
        throw std::runtime_error("crypt32: SHA-1");
    return HexBytes(Bytes(digest, digest + length), "", HexCase::kLower);
}

std::optional<std::string> CertificateSubject(const Bytes& der) {
    const PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (certificate == nullptr) return std::nullopt;
    // Most specific first, as RFC 2253 writes it; "; " between the parts becomes its ",".
    const DWORD kind = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG;
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    std::string text(CertNameToStrA(X509_ASN_ENCODING, subject, kind, nullptr, 0), '\0');
    CertNameToStrA(X509_ASN_ENCODING, subject, kind, text.data(), static_cast<DWORD>(text.size()));
    CertFreeCertificateContext(certificate);
    text.resize(text.find('\0'));
    for (size_t at = text.find("; "); at != std::string::npos; at = text.find("; ", at))
        text.replace(at, 2, ",");
    return text;
}

std::optional<size_t> Pkcs7CertificateCount(const Bytes& der) {
    const HCRYPTMSG message =
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    if (message == nullptr) return std::nullopt;
    DWORD count = 0;
    DWORD size = sizeof count;
    DWORD type = 0;
    DWORD typeSize = sizeof type;
    const bool read = CryptMsgUpdate(message, der.data(), static_cast<DWORD>(der.size()), TRUE) &&
                      CryptMsgGetParam(message, CMSG_TYPE_PARAM, 0, &type, &typeSize) &&
                      type == CMSG_SIGNED &&
                      CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &size);
    CryptMsgClose(message);
    if (!read) return std::nullopt;
    return count;
}

// Key names are checked by the key scenarios, which this build refuses before they run.
std::optional<std::vector<std::string>> ParseKeyList(const std::string&) {
    return std::vector<std::string>{};
}

DWORD WINAPI PadSignature(PCARD_SIGNING_INFO, DWORD, DWORD*, PBYTE*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

DWORD WINAPI UnpadEncryption(PCARD_RSA_DECRYPT_INFO, DWORD*, PBYTE*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

StepsReport RunEnrollScenario(CMinidriverSession&, const KeyOptions&) {
    NotInThisBuild();
}
StepsReport RunSignScenario(CMinidriverSession&, const KeyOptions&) {
    NotInThisBuild();
}
StepsReport RunDecryptScenario(CMinidriverSession&, const KeyOptions&) {
    NotInThisBuild();
}
StepsReport RunEcdhScenario(CMinidriverSession&, const KeyOptions&) {
    NotInThisBuild();
}
StepsReport RunDeleteScenario(CMinidriverSession&, const KeyOptions&) {
    NotInThisBuild();
}
StepsReport RunPinScenario(CMinidriverSession&, const PinScenario&, const CApduLog&) {
    NotInThisBuild();
}
SeedReport SeedDemoCard(CMinidriverSession&, const std::string&) {
    NotInThisBuild();
}
std::string SeedText(const SeedReport&, const HostReport&) {
    NotInThisBuild();
}
std::string SeedJson(const SeedReport&, const HostReport&) {
    NotInThisBuild();
}

}  // namespace mdhost
