// What a container's key looks like on each side: the private key file beside the card's key
// object, the key record handed to the card at import (from the host's private key blob), and
// the public key blob handed back to the host.
#pragma once

#include <cstdint>
#include <optional>

#include "libapdu/libapdu.h"
#include "platform/minidriver.h"

// A key spec's key as the module works with it. RSA sizes are the caller's; an elliptic curve's
// size follows from its spec (P-521 counts 66 whole bytes: 528 bits).
struct ContainerKey {
    DWORD spec = 0;
    DWORD bits = 0;

    static ContainerKey Of(DWORD keySpec, DWORD keySize);
    bool Ec() const { return spec >= AT_ECDSA_P256; }
    bool Signature() const {
        return spec == AT_SIGNATURE || (spec >= AT_ECDSA_P256 && spec <= AT_ECDSA_P521);
    }
    uint16_t Algorithm() const { return Ec() ? libapdu::kAlgEc : libapdu::kAlgRsa; }
    // 2 signature only, 3 any use.
    uint8_t Usage() const { return Signature() ? 2 : 3; }
    // The card's key-generation parameter for this size; nothing for a size the card never makes.
    std::optional<uint8_t> GenerationParameter() const;
};

// 00 02 02 K length 16 | entries | trailer: the record that describes key K to other readers.
libapdu::ByteVector BuildPrivateKeyFile(uint8_t keyIndex, const ContainerKey& key,
                                        libapdu::ByteSpan containerName, bool generated,
                                        libapdu::ByteSpan trailer);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" of a new GUID: the name of a container the host has
// not named.
libapdu::ByteVector NewContainerName();

// The caller's PRIVATEKEYBLOB (RSA) or BCRYPT_ECCPRIVATE_BLOB (EC), as wide as `key` says, as
// the card takes it. The blob's header is not looked at: the key spec and size decide.
libapdu::KeyRecord ImportRecord(const ContainerKey& key, const BYTE* blob);

// The public key the host gets for a container spec: a PUBLICKEYBLOB for RSA, a
// BCRYPT_ECCKEY_BLOB for EC. `publicKey` is the list entry's 512-byte buffer: the modulus least
// significant byte first, or the point (04, X, Y). SCARD_E_INVALID_PARAMETER for a key length
// the host's blobs do not describe.
libapdu::ByteVector PublicKeyBlob(DWORD containerSpec, uint32_t keyLengthCode,
                                  const uint8_t (&publicKey)[512], uint32_t exponent);
