// The host side's symmetric cryptography and big numbers, all from libgcrypt.
#pragma once

#include "libapdu/token/bytes.h"

namespace libapdu {

// libgcrypt must be initialised once per process before any other call.
void EnsureGcrypt();

// Two-key triple DES (K1 K2 K1) under a 16-byte key, CBC with a zero IV. `data` is a multiple of 8.
ByteVector TdesCbcEncrypt(ByteSpan key, ByteSpan data);

// ISO/IEC 9797-1 padding method 2: a byte 80, then zero bytes up to a multiple of 8.
ByteVector Pad2(ByteSpan data);

// Triple-DES CBC-MAC: the last block of TdesCbcEncrypt(key, Pad2(data)).
ByteVector TdesCbcMac(ByteSpan key, ByteSpan data);

// base^exponent mod modulus over unsigned big-endian numbers, written over a whole number of
// 32-bit words (leading zero bytes kept up to that length).
SecretBytes ModExpWords(ByteSpan base, ByteSpan exponent, ByteSpan modulus);

// Bytes from the operating system's generator.
SecretBytes RandomSecret(size_t count);

}  // namespace libapdu
