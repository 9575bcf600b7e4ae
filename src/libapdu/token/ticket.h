// Session verify data: the check value over it and the record carried in an authentication ticket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libapdu/token/bytes.h"
#include "libapdu/token/failure.h"

namespace libapdu {

constexpr size_t kCheckValueSize = 24;
constexpr size_t kSessionRecordSize = 129;

// The 24-byte check value of the data: seven bits of MD5(00 || data) || MD5(01 || data) in each
// byte. Writes nothing unless outLength is 24.
void DeriveKey24(ByteSpan data, uint8_t* out, size_t outLength);

// The ticket is Base64 text: a check value, then a simple-TLV element 01 whose first 129 value
// bytes are the session verify record. Fewer than 24 decoded bytes or a shorter value throw
// CAPDUException 0x6B00; no element 01 throws the status code 0.
SecretBytes DecodeTicket(ByteSpan ticket);

}  // namespace libapdu
