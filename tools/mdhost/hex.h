// Bytes as hex text, for reports and file names.
#pragma once

#include <cstdint>
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

}  // namespace mdhost
