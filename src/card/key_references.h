// Where a container's private keys live in the key directory 3F00/3000/3002. Container i keeps its
// key-exchange key (and an ECDH key) under reference i and its signature key (and an ECDSA key)
// under i + 0x20: private-key file 02nn, key object nn + 0x41, both modulo 256.
#pragma once

#include <cstdint>

#include "libapdu/libapdu.h"
#include "platform/minidriver.h"

namespace keyref {

inline bool IsRsaSpec(DWORD keySpec) {
    return keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE;
}

inline bool IsSignatureSpec(DWORD keySpec) {
    return keySpec == AT_SIGNATURE || (keySpec >= AT_ECDSA_P256 && keySpec <= AT_ECDSA_P521);
}

inline uint8_t Reference(BYTE containerIndex, DWORD keySpec) {
    return static_cast<uint8_t>(IsSignatureSpec(keySpec) ? containerIndex + 0x20 : containerIndex);
}

inline uint16_t PrivateKeyFileId(uint8_t reference) {
    return static_cast<uint16_t>(0x0200 | reference);
}

inline libapdu::CardPath PrivateKeyFile(uint8_t reference) {
    return {0x3F00, 0x3000, 0x3002, PrivateKeyFileId(reference)};
}

inline libapdu::CardPath KeyObject(uint8_t reference) {
    return {0x3F00, 0x3000, 0x3002, static_cast<uint8_t>(reference + 0x41)};
}

// The description of the key behind the private-key file: algorithm, size in bytes, public parts.
inline libapdu::KeyObjectInfo DescribeKey(libapdu::IToken& token, uint8_t reference) {
    libapdu::IAppCrypto& crypto = *token.GetCrypto();
    crypto.SelectKeyObject(PrivateKeyFile(reference));
    return crypto.GetKeyObjectInfo();
}

}  // namespace keyref
