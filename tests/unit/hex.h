// Hex literals for tests: Hex("00 A4 04 00") -> bytes; spaces are ignored.
#pragma once

#include <cctype>
#include <stdexcept>
#include <string>

#include "libapdu/token/bytes.h"

inline libapdu::ByteVector Hex(const std::string& text) {
    libapdu::ByteVector out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("bad hex: " + text);
        const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex: " + text);
    return out;
}

// Two (four) upper-case hex digits of the low byte (two bytes) of `value`.
inline std::string HexByte(size_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string{kDigits[(value >> 4) & 0x0F], kDigits[value & 0x0F]};
}
inline std::string HexWord(size_t value) {
    return HexByte(value >> 8) + HexByte(value);
}

inline std::string ToHex(const libapdu::ByteVector& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}
