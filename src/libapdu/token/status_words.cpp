#include "libapdu/token/status_words.h"

namespace libapdu::sw {

namespace {

struct Named {
    uint16_t word;
    const char* meaning;
};

constexpr Named kMeanings[] = {
    {kOk, "success"},
    {kWarning, "warning, memory unchanged"},
    {kCorruptedData, "part of the data may be corrupted"},
    {kEndOfFile, "end of file reached before the length"},
    {kFileDeactivated, "file deactivated"},
    {kFileTerminated, "file terminated"},
    {kNoSensorInput, "no input from the sensor"},
    {kVerificationFailed, "verification failed"},
    {kFileFilledUp, "file filled up"},
    {kExecutionError, "execution error, memory unchanged"},
    {kWrongLength, "wrong length"},
    {kNotAllowed, "command not allowed"},
    {kIncompatibleFile, "command incompatible with the file structure"},
    {kSecurityNotSatisfied, "security status not satisfied"},
    {kAuthenticationBlocked, "authentication method blocked"},
    {kConditionsNotSatisfied, "conditions of use not satisfied"},
    {kNoCurrentFile, "no current file"},
    {kSecureMessagingIncorrect, "secure messaging objects incorrect"},
    {kWrongData, "incorrect data field"},
    {kFunctionNotSupported, "function not supported"},
    {kFileNotFound, "file or application not found"},
    {kRecordNotFound, "record not found"},
    {kNotEnoughMemory, "not enough memory in the file"},
    {kReferenceNotFound, "referenced data not found"},
    {kFileExists, "file already exists"},
    {kNameExists, "name already exists"},
    {kWrongParameters, "wrong parameters P1-P2"},
    {kInstructionNotSupported, "instruction not supported"},
    {kClassNotSupported, "class not supported"},
    {kNoPreciseDiagnosis, "no precise diagnosis"},
    {kUnknown, "unknown word"},
    {kNotSupported, "operation not supported by this card"},
};

}  // namespace

const char* Meaning(uint16_t word) {
    switch (word >> 8) {
        case 0x61:
            return "more data to fetch";
        case 0x6C:
            return "wrong Le, SW2 gives the right one";
        default:
            break;
    }
    if ((word & 0xFFF0) == 0x63C0) return "verification failed, SW2 low nibble gives the tries left";
    for (const Named& n : kMeanings) {
        if (n.word == word) return n.meaning;
    }
    return "";
}

}  // namespace libapdu::sw
