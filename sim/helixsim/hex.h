// Hex text of bytes, for the daemon's log and the tests: upper-case digits out, and in, pairs of
// digits of either case with spaces between them ignored.
#pragma once

#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>

#include "helixsim/card.h"

namespace helixsim {

inline std::string ToHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * bytes.size());
    for (const uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

// std::invalid_argument for a character that is no digit and for an odd number of digits.
inline Bytes Hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u)) continue;
        if (!std::isxdigit(u)) throw std::invalid_argument("not hex: " + std::string(text));
        const int digit = std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits: " + std::string(text));
    return out;
}

}  // namespace helixsim
