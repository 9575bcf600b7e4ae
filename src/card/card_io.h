// Steps that several areas of the card module take: a card file read whole, and bytes handed to
// the host in a buffer from the host's allocator.
#pragma once

#include "libapdu/libapdu.h"
#include "platform/minidriver.h"

// Selects the file and reads as many bytes as its descriptor gives.
libapdu::ByteVector ReadWhole(libapdu::IAppFS& fs, const libapdu::CardPath& path);

// A copy of the bytes in memory from pfnCspAlloc; the host frees it. Throws SCARD_E_NO_MEMORY
// when the allocator has nothing to give.
BYTE* CopyOut(const CARD_DATA& data, libapdu::ByteSpan bytes);
