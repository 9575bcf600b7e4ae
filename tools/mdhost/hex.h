// Bytes as hex text, for reports and file names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mdhost {

enum class HexCase { kUpper, kLower };

inline std::string HexBytes(const std::vector<uint8_t>& bytes, const char* separator = "",
                            HexCase letters = HexCase::kUpper) {
    const char* digits = letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) hex += separator;
        hex.push_back(digits[bytes[i] >> 4]);
        hex.push_back(digits[bytes[i] & 0x0F]);
    }
    return hex;
}

// Hex text (either case, no separators) as bytes; nothing when it is not whole bytes of hex.
inline std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

}  // namespace mdhost
