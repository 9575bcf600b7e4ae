// What a host hands the module in the layouts Windows uses: the cache file record, container
// names and the container map records as Windows lays them out in memory.
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

// A container name as Windows makes them: a fresh GUID in braces, upper case.
std::string NewContainerName();

// The 86 bytes of a container map record, little-endian as on Windows.
Bytes ContainerRecordBytes(const CONTAINER_MAP_RECORD& record);
CONTAINER_MAP_RECORD ContainerRecord(const std::string& name, BYTE flags, WORD signatureBits,
                                     WORD keyExchangeBits);

}  // namespace mdhost
