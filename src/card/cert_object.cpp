#include "card/cert_object.h"

#include "card/card_object.h"
#include "libapdu/token/failure.h"
#include "libapdu/token/reader.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::Failure;
using libapdu::Reader;

constexpr uint8_t kDerInteger = 0x02;
constexpr uint8_t kDerSequence = 0x30;
constexpr uint8_t kHighTagNumber = 0x1F;
constexpr size_t kLargest = 0xFFFF;

struct DerElement {
    uint8_t tag = 0;
    ByteSpan content;
};

DerElement NextElement(Reader& r) {
    DerElement element;
    element.tag = r.U8();
    r.Require((element.tag & kHighTagNumber) != kHighTagNumber);
    size_t length = r.U8();
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        r.Require(count >= 1 && count <= 4);
        length = r.UnsignedBE(count);
    }
    element.content = r.Take(length);
    return element;
}

// The `index`-th (from 0) element with `tag` among the elements of `data`.
DerElement FindElement(ByteSpan data, uint8_t tag, size_t index) {
    Reader r(data, Failure::Status(SCARD_E_INVALID_PARAMETER));
    for (;;) {
        const DerElement element = NextElement(r);
        if (element.tag != tag) continue;
        if (index == 0) return element;
        --index;
    }
}

// Tag, DER length (one, 81 xx or 82 xx xx form) and content.
ByteVector Reencode(const DerElement& element) {
    const size_t length = element.content.size;
    if (length > kLargest) ThrowStatus(SCARD_E_WRITE_TOO_MANY);
    ByteVector out{element.tag};
    if (length >= 0x100) {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)});
    } else if (length >= 0x80) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(length)});
    } else {
        out.push_back(static_cast<uint8_t>(length));
    }
    out.insert(out.end(), element.content.begin(), element.content.end());
    return out;
}

// The object keeps the serial number with a single length byte, whatever its value.
ByteVector ReencodeShort(const DerElement& element) {
    if (element.content.size > 0xFF) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    ByteVector out{element.tag, static_cast<uint8_t>(element.content.size)};
    out.insert(out.end(), element.content.begin(), element.content.end());
    return out;
}

struct CertificateNames {
    ByteVector issuer;
    ByteVector serialNumber;
    ByteVector subject;
};

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version, serialNumber INTEGER,
// signature SEQUENCE, issuer SEQUENCE, validity SEQUENCE, subject SEQUENCE, ... }, ... }
CertificateNames NamesOf(ByteSpan certificate) {
    const DerElement outer = FindElement(certificate, kDerSequence, 0);
    const ByteSpan tbs = FindElement(outer.content, kDerSequence, 0).content;
    CertificateNames names;
    names.serialNumber = ReencodeShort(FindElement(tbs, kDerInteger, 0));
    names.issuer = Reencode(FindElement(tbs, kDerSequence, 1));
    names.subject = Reencode(FindElement(tbs, kDerSequence, 3));
    return names;
}

}  // namespace

ByteVector BuildCertificateObject(uint8_t fileIdLow, ByteSpan certificate, ByteSpan containerName,
                                  ByteSpan trailer) {
    const CertificateNames names = NamesOf(certificate);
    const ByteVector zeros(20, 0x00);

    CardObjectWriter object(ByteVector{0x00, 0x84, 0x84, fileIdLow, 0x00, 0x00, 0x0E});
    object.Entry(0x8013, 0x10, ByteSpan(zeros));
    object.Entry(0x0000, 0x00, {0x01, 0x00, 0x00, 0x00});
    object.Entry(0x0001, 0x00, {0x01});
    object.Entry(0x0002, 0x00, {0x00});
    object.Entry(0x0003, 0x10, containerName, 64);
    object.Entry(0x0011, 0x00, certificate);
    object.Entry(0x0080, 0x00, {0x00, 0x00, 0x00, 0x00});
    object.Entry(0x0081, 0x10, ByteSpan(names.issuer));
    object.Entry(0x0082, 0x10, ByteSpan(names.serialNumber));
    object.Entry(0x0086, 0x50, {0x00});
    object.Entry(0x0101, 0x00, ByteSpan(names.subject));
    object.Entry(0x0102, 0x10, containerName, 32);
    object.Entry(0x0170, 0x00, {0x01});
    object.Entry(0x8010, 0x00, {0x01});
    return object.Finish(trailer);
}
