#include "mdhost/card_objects.h"

#include "mdhost/host_crypto.h"

#include <cstdio>
#include <stdexcept>

namespace mdhost {

// A container name as Windows makes them: a GUID in braces, upper case.
std::string NewContainerName() {
    uint8_t g[16];
    RandomBytes(g, sizeof g);
    char name[40];
    (void)std::snprintf(
        name, sizeof name, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[0],
        g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return name;
}

namespace {

void PutU16LE(Bytes& out, unsigned value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
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

}  // namespace mdhost
