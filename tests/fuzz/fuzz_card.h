// A card whose answers come from the fuzzer's input, behind the PC/SC seam. The input is a
// sequence of answers, each a length byte and that many bytes (a length byte of FF is followed by
// a two-byte length, high byte first). Once the answers run out the card gives the last one again
// (90 00 when there was none), so that a loop waiting for the card to say something else shows:
// more than kCommandsPerCall commands in one call is a finding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/pcsc.h"

namespace fuzzcard {

constexpr SCARDHANDLE kHandle = 0xF022;

// Far more than any call needs on a real card (a 64 KiB file read is some 260 commands), far
// fewer than a loop that never ends.
constexpr size_t kCommandsPerCall = 2048;

// The answers the card gives from now on; the bytes stay the caller's.
void Load(const uint8_t* data, size_t size);

// Starts counting the commands of a new call.
void NewCall();
// Transactions begun and not ended.
int OpenTransactions();

}  // namespace fuzzcard
