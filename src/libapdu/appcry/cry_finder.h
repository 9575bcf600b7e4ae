#pragma once

#include <optional>

#include "libapdu/libapdu.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

class CAppletHelix;

// What the FCP of a key object says about its key.
struct KeyObjectFcp {
    uint16_t size = 0;      // bytes: modulus, or one coordinate
    uint8_t usageBits = 0;  // key information byte 1
    uint8_t keyType = 0;    // key information byte 2: 0x20 RSA, 0x30 elliptic curve
};

// Finds the key objects of the key directory and the certificate objects kept beside them, and
// reads what they hold. `where` names the caller's operation in every failure.
class CCryFinder {
public:
    static constexpr uint8_t kKeyTypeRsa = 0x20;
    static constexpr uint8_t kKeyTypeEc = 0x30;

    explicit CCryFinder(CAppletHelix& applet) : m_applet(applet) {}

    // Private-key file 02nn keeps its key in object ((nn & BF) | 40) + 1 of the key directory and
    // its certificate in object 84(nn & BF) of the certificate directory.
    static uint16_t KeyObjectOfKeyFile(uint8_t nn);
    static CardPath KeyObjectPath(uint16_t id);
    static CardPath CertificatePathOfKeyFile(uint8_t nn);

    // Selects a key object of the key directory and reads its size and key information.
    KeyObjectFcp SelectKeyObject(uint16_t id, const char16_t* where);

    // The certificate held by the certificate object at `path`.
    ByteVector ReadCertificate(const CardPath& path, const char16_t* where);
    // The same, or nullopt when the card has no such object.
    std::optional<ByteVector> TryReadCertificate(const CardPath& path, const char16_t* where);

    // The value of entry 0011 of a certificate object record: a 7-byte header whose bytes 4-5
    // give the length of header and entries, then entries of tag (2), attribute (1), length (2)
    // and value, with FF filler between them; the trailer behind is not needed.
    static ByteVector CertificateOfRecord(ByteSpan record, const char16_t* where);

private:
    ByteVector ReadSelectedCertificate(const char16_t* where);

    CAppletHelix& m_applet;
};

// The first element with the tag at the top level of a card answer, or nullopt; a malformed
// element throws on the way as the TLV readers do.
std::optional<ParsedTlv> FindElement(ByteSpan buffer, uint32_t tag);
// The same for an element the caller cannot do without: its absence is 0x6281.
ParsedTlv RequireElement(ByteSpan buffer, uint32_t tag, const char16_t* where);

}  // namespace libapdu
