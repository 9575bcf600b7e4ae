// Hex text for tests: Hex("00 A4 04 00") -> bytes (blanks ignored), ToHex(bytes) -> "00A40400".
// Standard types only, so that programs outside the module's build can use it too. Byte strings
// made here have no spare capacity, so that the sanitizer sees any read past their end.
#pragma once

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
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
    return std::vector<uint8_t>(out.begin(), out.end());
}

inline std::string ToHex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0x0F]);
    }
    return out;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

// Two (four) upper-case hex digits of the low byte (two bytes) of `value`.
inline std::string HexByte(size_t value) {
    const uint8_t b = static_cast<uint8_t>(value & 0xFF);
    return ToHex(&b, 1);
}
inline std::string HexWord(size_t value) {
    return HexByte(value >> 8) + HexByte(value);
}

// `hex` written `count` times.
inline std::string Repeat(const std::string& hex, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += hex;
    return out;
}

// A BER-TLV in hex: the tag, the value's length in its shortest form, the value.
inline std::string Tlv(const std::string& tag, const std::string& value) {
    const size_t n = Hex(value).size();
    return tag + (n < 0x80 ? HexByte(n) : n <= 0xFF ? "81" + HexByte(n) : "82" + HexWord(n)) + value;
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    size_t size = 0;
    for (const auto& p : parts) size += p.size();
    std::vector<uint8_t> out;
    out.reserve(size);
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
