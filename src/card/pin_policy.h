// The user PIN's policy as the card keeps it: the policy file (read only), the state file (must
// change, date of the last change) and the history of earlier PINs. Both the policy and the state
// file are concatenations of records: a two-byte tag (high byte first), a length byte, the value.
#pragma once

#include <cstdint>
#include <ctime>

#include "libapdu/types.h"

namespace pinpolicy {

using libapdu::ByteSpan;
using libapdu::ByteVector;

inline libapdu::CardPath PolicyPath() {
    return {0x3F00, 0x3000, 0xEEEE};
}
inline libapdu::CardPath StatePath() {
    return {0x3F00, 0x3000, 0xEEEF};
}
inline libapdu::CardPath HistoryPath() {
    return {0x3F00, 0x3000, 0xB000};
}

constexpr uint16_t kAdminChallenge = 0x02C0;
constexpr uint16_t kHistoryDepth = 0x02C2;
constexpr uint16_t kMustChange = 0x02C4;
constexpr uint16_t kMaximumAge = 0x02C6;
constexpr uint16_t kLastChange = 0x02C7;
constexpr uint16_t kChangeAfterUnblock = 0x02CF;

// The state file as the module writes it.
constexpr size_t kStateSize = 15;

// The value of the first record with the tag; empty when there is none. A record that runs past
// the end of the file ends the walk.
ByteVector Find(ByteSpan records, uint16_t tag);
// Overwrites the value of the first record with the tag whose value has the same length; leaves
// the records unchanged when there is none.
void Update(ByteVector& records, uint16_t tag, ByteSpan value);

// Administrator challenge-response as the record says: a 7-byte value whose byte 5 is 1.
bool AdminChallengeRecordEnabled(ByteSpan policy);
// The same, read at fixed places: the file starts with that record.
bool AdminChallengeLeads(ByteSpan policy);

// Number of earlier PINs remembered: the last byte of the depth record, 0 without one.
uint8_t HistoryDepth(ByteSpan policy);
// True when the policy's maximum age has passed since the state's last-change date (local
// midnight). A date that gives no valid local time counts as the start of 1970.
bool Expired(ByteSpan policy, ByteSpan state, std::time_t now);
// Must-change flag cleared and today's local date as the last change.
ByteVector StateAfterChange(const std::tm& today);

// Records the digest of a new PIN in the history file (6-byte header, then `depth` entries of
// 20 bytes), after checking that no remembered entry equals it. A refused PIN or a file that does
// not match the depth throws SCARD_E_UNEXPECTED.
void Remember(ByteVector& history, uint8_t depth, ByteSpan digest);

}  // namespace pinpolicy
