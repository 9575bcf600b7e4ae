// The host's side of the card's private-key operations: the public key a module reports, turned
// into a key of the host's cryptography, and the blocks the checks of what the card produced
// need. Also the padding work that the Windows stack does for a module (pfnCspPadData and
// pfnCspUnpadData), so that mdhost can hand it over as Windows does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mdhost/x509.h"
#include "platform/minidriver.h"

namespace mdhost {

// A PUBLICKEYBLOB (RSA) or a BCRYPT_ECCKEY_BLOB (P-256, P-384, P-521) as a key; nothing when the
// bytes are not one.
std::optional<Key> KeyFromBlob(const Bytes& blob);

const HashName* HashByName(const std::string& name);
const HashName* HashById(ALG_ID id);

// The public half of an EC key as a BCRYPT_ECCKEY_BLOB of an agreement key ("ECK1", "ECK3", "ECK5").
Bytes AgreementBlob(HostKey* key);

// A PKCS#1 v1.5 encryption block (00 02, non-zero random bytes, 00, message) of `size` bytes.
Bytes EncryptionBlock(size_t size, const Bytes& message);

// pfnCspPadData: the PKCS#1 v1.5 signature block of `width` bytes around the DigestInfo of the
// signing information's hash, least significant byte first. pfnCspUnpadData: the message of a
// PKCS#1 v1.5 encryption block, which the module hands over least significant byte first.
// Both return a Windows status and allocate with the host's allocator.
DWORD WINAPI PadSignature(PCARD_SIGNING_INFO info, DWORD width, DWORD* paddedSize, PBYTE* padded);
DWORD WINAPI UnpadEncryption(PCARD_RSA_DECRYPT_INFO info, DWORD* unpaddedSize, PBYTE* unpadded);

}  // namespace mdhost
