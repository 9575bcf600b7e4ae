// Taking a finished command APDU apart again, for code that re-wraps commands it did not build.
#pragma once

#include <array>
#include <cstdint>

#include "channel/exceptions.h"
#include "libapdu/token/bytes.h"

namespace libapdu {

struct ApduParts {
    std::array<uint8_t, 4> header{};  // CLA INS P1 P2
    ByteVector data;
    uint16_t le = 0;
};

// Accepts the short form (Lc in one byte) and the extended form (00 and a two-byte Lc).
// A command shorter than its header, without the data its Lc announces, or with trailing
// bytes that are no valid Le throws CAPDUException 0x6B00.
ApduParts SplitApdu(ByteSpan command);

}  // namespace libapdu
