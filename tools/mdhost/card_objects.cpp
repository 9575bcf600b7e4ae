#include "mdhost/card_objects.h"

#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

namespace mdhost {

// A container name as Windows makes them: a GUID in braces, upper case.
std::string NewContainerName() {
    uint8_t g[16];
    if (RAND_bytes(g, sizeof g) != 1) throw std::runtime_error("no random bytes for a container name");
    char name[40];
    (void)std::snprintf(
        name, sizeof name, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[0],
        g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return name;
}

namespace {

constexpr uint8_t kFiller = 0xFF;

void PutU16BE(Bytes& out, size_t value) {
    if (value > 0xFFFF) throw std::length_error("a card object field is longer than 65535 bytes");
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void PutU16LE(Bytes& out, unsigned value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

// Header bytes 0-3 and 6 name the object; bytes 4-5 count header and entries.
class CObjectBuilder {
public:
    CObjectBuilder(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b6)
        : m_bytes{0x00, b1, b2, b3, 0x00, 0x00, b6} {}

    // A value shorter than `width` is followed by filler up to that width.
    CObjectBuilder& Entry(uint16_t tag, uint8_t attribute, const Bytes& value, size_t width = 0) {
        PutU16BE(m_bytes, tag);
        m_bytes.push_back(attribute);
        PutU16BE(m_bytes, value.size());
        m_bytes.insert(m_bytes.end(), value.begin(), value.end());
        if (value.size() < width) m_bytes.insert(m_bytes.end(), width - value.size(), kFiller);
        return *this;
    }

    Bytes Finish(const Bytes& trailer) {
        Bytes out = m_bytes;
        const size_t length = out.size();
        if (length > 0xFFFF) throw std::length_error("a card object is longer than 65535 bytes");
        out[4] = static_cast<uint8_t>(length >> 8);
        out[5] = static_cast<uint8_t>(length & 0xFF);
        out.insert(out.end(), trailer.begin(), trailer.end());
        return out;
    }

private:
    Bytes m_bytes;
};

Bytes NameBytes(const std::string& name) {
    return Bytes(name.begin(), name.end());
}

}  // namespace

Bytes CardCfRecord(const CARD_CACHE_FILE_FORMAT& cardcf) {
    Bytes out{cardcf.bVersion, cardcf.bPinsFreshness};
    PutU16LE(out, cardcf.wContainersFreshness);
    PutU16LE(out, cardcf.wFilesFreshness);
    return out;
}

std::optional<CARD_CACHE_FILE_FORMAT> ParseCardCfRecord(const Bytes& record) {
    if (record.size() != 6) return std::nullopt;
    CARD_CACHE_FILE_FORMAT cardcf{};
    cardcf.bVersion = record[0];
    cardcf.bPinsFreshness = record[1];
    cardcf.wContainersFreshness = static_cast<WORD>(record[2] | record[3] << 8);
    cardcf.wFilesFreshness = static_cast<WORD>(record[4] | record[5] << 8);
    return cardcf;
}

Bytes FreshnessTrailer(const CARD_CACHE_FILE_FORMAT& cardcf) {
    const Bytes record = CardCfRecord(cardcf);
    return Bytes(record.begin() + 2, record.end());
}

Bytes ContainerRecordBytes(const CONTAINER_MAP_RECORD& record) {
    Bytes out;
    for (const WCHAR c : record.wszGuid) PutU16LE(out, static_cast<unsigned>(c));
    out.push_back(record.bFlags);
    out.push_back(record.bReserved);
    PutU16LE(out, record.wSigKeySizeBits);
    PutU16LE(out, record.wKeyExchangeKeySizeBits);
    return out;
}

CONTAINER_MAP_RECORD ContainerRecord(const std::string& name, BYTE flags, WORD signatureBits,
                                     WORD keyExchangeBits) {
    if (name.size() > MAX_CONTAINER_NAME_LEN)
        throw std::length_error("a container name has at most 39 characters");
    CONTAINER_MAP_RECORD record{};
    for (size_t i = 0; i < name.size(); ++i)
        record.wszGuid[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
    record.bFlags = flags;
    record.wSigKeySizeBits = signatureBits;
    record.wKeyExchangeKeySizeBits = keyExchangeBits;
    return record;
}

Bytes PrivateKeyRecord(uint8_t keyIndex, const std::string& containerName, bool keyExchange,
                       const Bytes& trailer) {
    const Bytes name = NameBytes(containerName);
    return CObjectBuilder(0x02, 0x02, keyIndex, 0x16)
        .Entry(0x0000, 0x00, {0x03, 0x00, 0x00, 0x00})
        .Entry(0x0001, 0x00, {0x01})
        .Entry(0x0002, 0x00, {0x01})
        .Entry(0x0003, 0x10, name, 64)
        .Entry(0x0100, 0x00, {0x00, 0x00, 0x00, 0x00})
        .Entry(0x0101, 0x10, {}, 32)
        .Entry(0x0102, 0x10, name, 32)
        .Entry(0x0103, 0x30, {0x01})
        .Entry(0x0105, 0x50, {static_cast<uint8_t>(keyExchange ? 0x01 : 0x00)})
        .Entry(0x0107, 0x50, {0x00})
        .Entry(0x0108, 0x50, {0x01})
        .Entry(0x0109, 0x50, {0x00})
        .Entry(0x010C, 0x10, {0x00})
        .Entry(0x0110, 0x10, {}, 8)
        .Entry(0x0111, 0x10, {}, 8)
        .Entry(0x0162, 0x50, {0x00})
        .Entry(0x0163, 0x00, {0x01})
        .Entry(0x0164, 0x00, {0x01})
        .Entry(0x0165, 0x00, {0x01})
        .Entry(0x0166, 0x00, {0x00, 0x00, 0x00, 0x00})
        .Entry(0x0170, 0x00, {0x00})
        .Entry(0x8010, 0x00, {0x00})
        .Finish(trailer);
}

}  // namespace mdhost
