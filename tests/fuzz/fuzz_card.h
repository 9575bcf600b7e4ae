// A card whose answers come from the fuzzer's input, behind the PC/SC seam. The input is a
// sequence of answers, each a length byte and that many bytes (a length byte of FF is followed by
// a two-byte length, high byte first). Once the answers run out the card acknowledges every
// command with 90 00, so that a loop waiting for the card to say something else shows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/pcsc.h"

namespace fuzzcard {

constexpr SCARDHANDLE kHandle = 0xF022;

// The answers the card gives from now on; the bytes stay the caller's.
void Load(const uint8_t* data, size_t size);

// Commands transmitted since the last call.
size_t TakeCommandCount();
// Transactions begun and not ended.
int OpenTransactions();

}  // namespace fuzzcard
