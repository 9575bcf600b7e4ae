#include "libapdu/token/base64.h"

#include <cstdint>

namespace libapdu {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Capacity is reserved up front so that a secret is never left behind by a reallocation.
template <class Bytes>
Bytes Decode(std::string_view text) {
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    size_t count = 0;
    for (char c : text) {
        const int sextet = SextetOf(c);
        if (sextet < 0) break;
        group = (group << 6) | static_cast<uint32_t>(sextet);
        if (++count == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            count = 0;
        }
    }
    if (count >= 2) {
        group <<= 6 * (4 - count);
        out.push_back(static_cast<uint8_t>(group >> 16));
        if (count == 3) out.push_back(static_cast<uint8_t>(group >> 8));
    }
    return out;
}

}  // namespace

std::string Base64Encode(ByteSpan bytes) {
    std::string out;
    out.reserve((bytes.size + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size; i += 3) {
        const size_t take = bytes.size - i < 3 ? bytes.size - i : 3;
        uint32_t group = uint32_t{bytes[i]} << 16;
        if (take > 1) group |= uint32_t{bytes[i + 1]} << 8;
        if (take > 2) group |= bytes[i + 2];
        for (size_t k = 0; k < 4; ++k)
            out.push_back(k <= take ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
    return out;
}

ByteVector Base64Decode(std::string_view text) {
    return Decode<ByteVector>(text);
}

SecretBytes Base64DecodeSecret(std::string_view text) {
    return Decode<SecretBytes>(text);
}

}  // namespace libapdu
