// Card failures become Windows status codes at one place per step of a card-module method.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "libapdu/token/failure.h"

namespace sw = libapdu::sw;

struct WordToStatus {
    uint16_t statusWord;
    DWORD status;
};

// Runs `work`. A card status word listed in `table` becomes its status code; any other card or
// channel failure becomes `otherwise`. Status codes thrown inside pass unchanged.
template <class Work>
auto TranslateCardFailures(std::initializer_list<WordToStatus> table, DWORD otherwise, Work&& work)
    -> decltype(work()) {
    try {
        return work();
    } catch (const libapdu::CAPDUException& e) {
        for (const WordToStatus& entry : table) {
            if (entry.statusWord == e.StatusWord()) ThrowStatus(entry.status);
        }
        ThrowStatus(otherwise);
    } catch (const CAException&) {
        ThrowStatus(otherwise);
    }
}
