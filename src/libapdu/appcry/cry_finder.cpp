#include "libapdu/appcry/cry_finder.h"

#include "libapdu/appfs/fs_helix.h"
#include "libapdu/applet_helix.h"
#include "libapdu/token/reader.h"

namespace libapdu {

namespace {

constexpr uint16_t kApplication = 0x3000;
constexpr uint16_t kKeyDirectory = 0x3002;
constexpr uint16_t kCertificateDirectory = 0x3001;

constexpr size_t kRecordHeaderBytes = 7;
constexpr uint16_t kCertificateEntry = 0x0011;
constexpr uint8_t kFiller = 0xFF;

constexpr uint8_t kTagFcp = 0x62;
constexpr uint8_t kTagSize = 0x80;
constexpr uint8_t kTagKeyInformation = 0x85;

}  // namespace

std::optional<ParsedTlv> FindElement(ByteSpan buffer, uint32_t tag) {
    for (size_t at = 0; at < buffer.size;) {
        const ParsedTlv element = ParseBerTlv(buffer, at);
        if (element.tag == tag) return element;
        at = element.end;
    }
    return std::nullopt;
}

ParsedTlv RequireElement(ByteSpan buffer, uint32_t tag, const char16_t* where) {
    const std::optional<ParsedTlv> element = FindElement(buffer, tag);
    if (!element) ThrowAPDUException(sw::kCorruptedData, where, __LINE__);
    return *element;
}

uint16_t CCryFinder::KeyObjectOfKeyFile(uint8_t nn) {
    return static_cast<uint16_t>(((nn & 0xBF) | 0x40) + 1);
}

CardPath CCryFinder::KeyObjectPath(uint16_t id) {
    return {kMasterFile, kApplication, kKeyDirectory, id};
}

CardPath CCryFinder::CertificatePathOfKeyFile(uint8_t nn) {
    return {kMasterFile, kApplication, kCertificateDirectory, static_cast<uint16_t>(0x8400 | (nn & 0xBF))};
}

KeyObjectFcp CCryFinder::SelectKeyObject(uint16_t id, const char16_t* where) {
    const ByteVector answer = m_applet.HelixFS().SelectByPath(KeyObjectPath(id));
    const ByteSpan fcp = RequireElement(answer, kTagFcp, where).Value();
    const Failure failure = Failure::Apdu(sw::kCorruptedData, where);

    KeyObjectFcp key;
    Reader size(RequireElement(fcp, kTagSize, where).Value(), failure);
    key.size = size.U16BE();
    size.Require(size.AtEnd());
    Reader information(RequireElement(fcp, kTagKeyInformation, where).Value(), failure);
    information.Skip(1);
    key.usageBits = information.U8();
    key.keyType = information.U8();
    return key;
}

ByteVector CCryFinder::ReadCertificate(const CardPath& path, const char16_t* where) {
    m_applet.FS()->SelectPath(path);
    return ReadSelectedCertificate(where);
}

std::optional<ByteVector> CCryFinder::TryReadCertificate(const CardPath& path, const char16_t* where) {
    try {
        m_applet.FS()->SelectPath(path);
    } catch (const CAPDUException& e) {
        if (e.StatusWord() == sw::kFileNotFound) return std::nullopt;
        throw;
    }
    return ReadSelectedCertificate(where);
}

ByteVector CCryFinder::ReadSelectedCertificate(const char16_t* where) {
    IAppFS& fs = *m_applet.FS();
    ByteVector record(fs.GetFileInfo().size);
    fs.ReadFile(record, 0);
    return CertificateOfRecord(record, where);
}

ByteVector CCryFinder::CertificateOfRecord(ByteSpan record, const char16_t* where) {
    const Failure failure = Failure::Apdu(sw::kCorruptedData, where);
    Reader header(record, failure);
    header.Skip(4);
    const uint16_t length = header.U16BE();
    header.Skip(1);
    header.Require(length >= kRecordHeaderBytes);

    // Every entry is walked, so that a record damaged after the certificate is not taken as good.
    Reader entries(header.Take(length - kRecordHeaderBytes), failure);
    std::optional<ByteVector> certificate;
    while (!entries.AtEnd()) {
        if (entries.PeekU8() == kFiller) {
            entries.Skip(1);
            continue;
        }
        const uint16_t tag = entries.U16BE();
        entries.Skip(1);
        const ByteSpan value = entries.Take(entries.U16BE());
        if (tag == kCertificateEntry && !certificate) certificate = value.ToVector();
    }
    if (!certificate) failure.Raise();
    return *certificate;
}

}  // namespace libapdu
