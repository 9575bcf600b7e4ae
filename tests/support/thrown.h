// What a call threw, for tests that pin failure codes: nullopt when it returned normally or
// threw something else (which the test then reports).
#pragma once

#include <optional>

#include "libapdu/token/failure.h"

template <class F>
std::optional<StatusCode> ThrownStatus(F f) {
    try {
        f();
    } catch (StatusCode code) {
        return code;
    }
    return std::nullopt;
}

template <class F>
std::optional<uint16_t> ThrownStatusWord(F f) {
    try {
        f();
    } catch (const libapdu::CAPDUException& e) {
        return e.StatusWord();
    }
    return std::nullopt;
}

template <class F>
std::optional<DWORD> ThrownCode(F f) {
    try {
        f();
    } catch (const CAException& e) {
        return e.Code();
    }
    return std::nullopt;
}
