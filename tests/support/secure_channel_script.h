// The key-packing facet's one-shot secure channel, scripted so that a test can read what went
// through it: the card offers B = g, so the shared value equals the A the host sends, and masks the
// session keys with zeros, so the first session key is A's first 16 bytes.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"
#include "scripted_card.h"

inline libapdu::ByteVector TdesCbcDecrypt(const libapdu::ByteVector& key16, const libapdu::ByteVector& data) {
    libapdu::ByteVector key(key16);
    key.insert(key.end(), key16.begin(), key16.begin() + 8);
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_CBC, 0), 0u);
    const uint8_t iv[8] = {};
    libapdu::ByteVector out(data.size());
    EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
    EXPECT_EQ(gcry_cipher_setiv(h, iv, sizeof iv), 0u);
    EXPECT_EQ(gcry_cipher_decrypt(h, out.data(), out.size(), data.data(), data.size()), 0u);
    gcry_cipher_close(h);
    return out;
}

// The steps of a secured command whose data goes out in `pieces` pieces; `header` is the last
// piece's (CLA with 0C), the ones before it carry CLA | 10.
inline std::vector<ScriptStep> SecureChannel(const std::string& header, size_t pieces = 1) {
    std::string p;
    for (int i = 0; i < 63; ++i) p += "F0";
    p += "F1";
    std::string masked;
    for (int i = 0; i < 32; ++i) masked += "00";
    std::vector<ScriptStep> steps{{"8048008000", "800103 8140" + p + "820103 9000"},
                                  {"80860000*", masked + "9000"}};
    const uint8_t cla = Hex(header.substr(0, 2))[0] | 0x10;
    const std::string chained = ToHex(libapdu::ByteVector{cla}) + header.substr(2);
    for (size_t i = 1; i < pieces; ++i) steps.push_back({chained + "*", "9000"});
    steps.push_back({header + "*", "9000"});
    return steps;
}

// The plain data of every secured piece after the last key agreement, padding checked and removed.
inline libapdu::ByteVector OpenSecured(const std::vector<libapdu::ByteVector>& received) {
    size_t agree = received.size();
    for (size_t i = 0; i < received.size(); ++i) {
        const libapdu::ByteVector& c = received[i];
        if (c.size() > 4 && c[0] == 0x80 && c[1] == 0x86 && c[2] == 0x00 && c[3] == 0x00) agree = i;
    }
    if (agree == received.size()) {
        ADD_FAILURE() << "no key agreement";
        return {};
    }
    const libapdu::ByteVector key(received[agree].begin() + 5, received[agree].begin() + 21);
    libapdu::ByteVector plain;
    for (size_t i = agree + 1; i < received.size(); ++i) {
        const libapdu::ByteVector& piece = received[i];
        const size_t length = piece[7] - 1u;  // header, Lc, 87 81 L 01 cryptogram
        libapdu::ByteVector block =
            TdesCbcDecrypt(key, libapdu::ByteVector(piece.begin() + 9, piece.begin() + 9 + length));
        while (!block.empty() && block.back() == 0x00) block.pop_back();
        EXPECT_TRUE(!block.empty() && block.back() == 0x80) << "padding of piece " << i - agree;
        if (!block.empty()) block.pop_back();
        plain.insert(plain.end(), block.begin(), block.end());
    }
    return plain;
}
