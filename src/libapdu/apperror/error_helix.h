#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

// For Helix, 6B00 (P1-P2 wrong: an offset outside the file) means what 6A84 means: no room.
class CErrorHelix final : public IAppError {
public:
    void Check(uint16_t word) override {
        IAppError::Check(word == sw::kWrongParameters ? sw::kNotEnoughMemory : word);
    }
};

}  // namespace libapdu
