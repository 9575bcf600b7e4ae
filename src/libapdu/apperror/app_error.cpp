#include <optional>

#include "libapdu/libapdu.h"

namespace libapdu {

namespace {

// Card status words folded into the small set the card module's failure mapping relies on,
// as inclusive ranges tried in order.
struct Fold {
    uint16_t first;
    uint16_t last;
    uint16_t result;  // 0 means success
};

using namespace sw;

constexpr Fold kFolds[] = {
    {0x9000, 0x90FF, 0},
    {0x6100, 0x61FF, 0},
    {0x6200, 0x6280, kWarning},
    {0x6281, 0x6281, kCorruptedData},
    {0x6282, 0x6282, kEndOfFile},
    {0x6283, 0x6283, kFileDeactivated},
    {0x6284, 0x6284, kCorruptedData},
    {0x6285, 0x6285, kFileDeactivated},
    {0x6286, 0x6286, kNoSensorInput},
    {0x6287, 0x62FF, kWarning},
    {0x6300, 0x6380, kVerificationFailed},
    {0x6381, 0x6381, kExecutionError},
    {0x6382, 0x63FF, kVerificationFailed},
    {0x6400, 0x65FF, kExecutionError},
    {0x6600, 0x66FF, kNotAllowed},
    {0x6700, 0x68FF, kWrongParameters},
    {0x6900, 0x6980, kNotAllowed},
    {0x6981, 0x6981, kFileDeactivated},
    {0x6982, 0x6982, kNotAllowed},
    {0x6983, 0x6983, kAuthenticationBlocked},
    {0x6984, 0x6985, kNotAllowed},
    {0x6986, 0x6986, kFileNotFound},
    {0x6987, 0x69FF, kNotAllowed},
    {0x6A00, 0x6A81, kWrongParameters},
    {0x6A82, 0x6A83, kFileNotFound},
    {0x6A84, 0x6A84, kExecutionError},
    {0x6A85, 0x6A87, kWrongParameters},
    {0x6A88, 0x6A88, kFileNotFound},
    {0x6A89, 0x6A8A, kFileExists},
    {0x6A8B, 0x6B00, kWrongParameters},
    {0x6C00, 0x6EFF, kWrongParameters},
    {0x6F00, 0x6FFF, kNoPreciseDiagnosis},
};

}  // namespace

std::optional<uint16_t> NormaliseStatusWord(uint16_t word) {
    for (const Fold& f : kFolds) {
        if (word >= f.first && word <= f.last) {
            if (f.result == 0) return std::nullopt;
            return f.result;
        }
    }
    return sw::kUnknown;
}

uint16_t IAppError::StatusWord(const ByteVector& response) {
    return sw::Of(response.data(), response.size());
}

void IAppError::Check(uint16_t word) {
    if (const auto failure = NormaliseStatusWord(word))
        ThrowAPDUException(*failure, u"IAppError::Check", __LINE__);
}

}  // namespace libapdu
