// The card files behind the minidriver's file system, built the way the module itself lays them
// out, so that a seeded card reads back through the module as if the module had written it:
// the cache file with its length prefix, the container map file, certificate objects and the
// descriptive records of private keys (header, tagged entries, freshness trailer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/minidriver.h"

namespace mdhost {

using Bytes = std::vector<uint8_t>;

// 2-byte length prefix (high byte first), then the record as Windows lays it out in memory.
Bytes CardCfFile(const CARD_CACHE_FILE_FORMAT& cardcf);
// The freshness counters (bytes 2 to 5 of the record) that close every object the module writes.
Bytes FreshnessTrailer(const CARD_CACHE_FILE_FORMAT& cardcf);

// The 86 bytes of a container map record, little-endian as on Windows.
Bytes ContainerRecordBytes(const CONTAINER_MAP_RECORD& record);
CONTAINER_MAP_RECORD ContainerRecord(const std::string& name, BYTE flags, WORD signatureBits,
                                     WORD keyExchangeBits);

// The container map file: header, the 0x0011 entry with a 90-byte card record per container
// (the 86 bytes, the name's byte length, two zero bytes), and the trailer.
Bytes ContainerMapFile(const std::vector<CONTAINER_MAP_RECORD>& records, const Bytes& trailer);

// What a certificate object repeats of its certificate, each a whole DER element.
struct CertificateNames {
    Bytes issuer;
    Bytes serialNumber;
    Bytes subject;
};
CertificateNames NamesOf(const Bytes& certificate);

// The certificate object of card file 84xx (`fileLow` = xx) holding `certificate` for the
// container named `containerName`.
Bytes CertificateObject(uint8_t fileLow, const std::string& containerName, const Bytes& certificate,
                        const Bytes& trailer);

// The descriptive record of the RSA private key file 02xx (`keyIndex` = xx) of a key generated
// on the card.
Bytes PrivateKeyRecord(uint8_t keyIndex, const std::string& containerName, bool keyExchange,
                       const Bytes& trailer);

}  // namespace mdhost
