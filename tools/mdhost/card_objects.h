// What the seeding hands over in the layouts the module and the card expect: the cache file
// record and the container map records as Windows lays them out in memory, and the descriptive
// record of a private key file (header, tagged entries, freshness trailer), which is written
// below the module together with its key pair.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/minidriver.h"

namespace mdhost {

using Bytes = std::vector<uint8_t>;

// The record's 6 bytes, little-endian as on Windows, and back (nothing for another length).
Bytes CardCfRecord(const CARD_CACHE_FILE_FORMAT& cardcf);
std::optional<CARD_CACHE_FILE_FORMAT> ParseCardCfRecord(const Bytes& record);
// The freshness counters (bytes 2 to 5 of the record) that close every object the module writes.
Bytes FreshnessTrailer(const CARD_CACHE_FILE_FORMAT& cardcf);

// A container name as Windows makes them: a fresh GUID in braces, upper case.
std::string NewContainerName();

// The 86 bytes of a container map record, little-endian as on Windows.
Bytes ContainerRecordBytes(const CONTAINER_MAP_RECORD& record);
CONTAINER_MAP_RECORD ContainerRecord(const std::string& name, BYTE flags, WORD signatureBits,
                                     WORD keyExchangeBits);

// The descriptive record of the RSA private key file 02xx (`keyIndex` = xx) of a key generated
// on the card.
Bytes PrivateKeyRecord(uint8_t keyIndex, const std::string& containerName, bool keyExchange,
                       const Bytes& trailer);

}  // namespace mdhost
