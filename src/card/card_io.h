// What several areas of the card module share: a card file read whole, bytes handed to the host
// in a buffer from the host's allocator, the cardid and cardcf files, the user's object.
#pragma once

#include "libapdu/libapdu.h"
#include "platform/minidriver.h"

// The card file behind "cardid": a two-byte length, then the 16-byte identifier.
inline libapdu::CardPath CardidPath() {
    return {0x3F00, 0x3000, 0x3003, 0x4000};
}
// The card file behind "cardcf": a two-byte length, then the 6-byte record.
inline libapdu::CardPath CardcfPath() {
    return {0x3F00, 0x3000, 0x3003, 0x4001};
}

// Selects the file and reads as many bytes as its descriptor gives.
libapdu::ByteVector ReadWhole(libapdu::IAppFS& fs, const libapdu::CardPath& path);

// The identifier of the user's authentication object, which guards the user's files and keys.
uint8_t UserPinId(libapdu::IToken& token);

// A copy of the bytes in memory from pfnCspAlloc; the host frees it. Throws SCARD_E_NO_MEMORY
// when the allocator has nothing to give.
BYTE* CopyOut(const CARD_DATA& data, libapdu::ByteSpan bytes);
