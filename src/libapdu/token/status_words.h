// Status words by name (ISO/IEC 7816-4 section 5.6), one name per word. The fold table, the
// facets, the sender and the card module all speak of a word through these; the library raises
// the same words itself for its own failures, in the same 16-bit form.
#pragma once

#include <cstddef>
#include <cstdint>

namespace libapdu::sw {

constexpr uint16_t kOk = 0x9000;

// 62xx: warnings, the card's memory unchanged.
constexpr uint16_t kWarning = 0x6200;
// Also: a card answer the library cannot read, or a text not convertible between UTF-16 and UTF-8.
constexpr uint16_t kCorruptedData = 0x6281;
// Also: a read outside the selected file.
constexpr uint16_t kEndOfFile = 0x6282;
// Also: the selected file is no directory.
constexpr uint16_t kFileDeactivated = 0x6283;
constexpr uint16_t kFileTerminated = 0x6285;
constexpr uint16_t kNoSensorInput = 0x6286;

// 63xx: a verification failed; 63Cx carries the tries left, which the fold drops.
constexpr uint16_t kVerificationFailed = 0x6300;
constexpr uint16_t kFileFilledUp = 0x6381;

// 64xx: execution error, memory unchanged. Also: no room for a file, an offset or a name.
constexpr uint16_t kExecutionError = 0x6400;

constexpr uint16_t kWrongLength = 0x6700;

// 69xx: command not allowed. The bare word also stands for "no applet selected" and for an
// identifier no file may take.
constexpr uint16_t kNotAllowed = 0x6900;
constexpr uint16_t kIncompatibleFile = 0x6981;
constexpr uint16_t kSecurityNotSatisfied = 0x6982;
constexpr uint16_t kAuthenticationBlocked = 0x6983;
constexpr uint16_t kConditionsNotSatisfied = 0x6985;
constexpr uint16_t kNoCurrentFile = 0x6986;
constexpr uint16_t kSecureMessagingIncorrect = 0x6988;

// 6Axx: wrong parameters P1-P2 with details.
constexpr uint16_t kWrongData = 0x6A80;
constexpr uint16_t kFunctionNotSupported = 0x6A81;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kRecordNotFound = 0x6A83;
constexpr uint16_t kNotEnoughMemory = 0x6A84;
constexpr uint16_t kReferenceNotFound = 0x6A88;
constexpr uint16_t kFileExists = 0x6A89;
constexpr uint16_t kNameExists = 0x6A8A;

// Also: a command whose form or lengths are wrong.
constexpr uint16_t kWrongParameters = 0x6B00;
constexpr uint16_t kInstructionNotSupported = 0x6D00;
constexpr uint16_t kClassNotSupported = 0x6E00;
constexpr uint16_t kNoPreciseDiagnosis = 0x6F00;

// The library's own: a word the fold does not know, and an operation this family or sender lacks.
constexpr uint16_t kUnknown = 0xFFFF;
constexpr uint16_t kNotSupported = 0xFACE;

// What a word means, for people reading exchanges: "file not found". Words with a count in SW2
// (61xx, 63Cx, 6Cxx) by their first byte or nibble; "" for a word without a name.
const char* Meaning(uint16_t word);

// The two status bytes at the end of a response; 0 for a response too short to hold them.
constexpr uint16_t Of(const uint8_t* response, size_t size) {
    return size < 2 ? 0 : static_cast<uint16_t>(response[size - 2] << 8 | response[size - 1]);
}

}  // namespace libapdu::sw
