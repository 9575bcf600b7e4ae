// The elliptic curves a Helix key object can hold, chosen by the key size in bytes.
#pragma once

#include <cstdint>

#include "libapdu/token/bytes.h"

namespace libapdu {

struct CurveParameters {
    ByteVector p;  // prime
    ByteVector a;
    ByteVector b;
    ByteVector g;  // base point, 04 x y
    ByteVector n;  // order
    ByteVector h;  // cofactor
};

// P-256 for 0x20, P-384 for 0x30, P-521 for 0x42; null for any other size.
const CurveParameters* CurveForKeyBytes(uint16_t size);

}  // namespace libapdu
