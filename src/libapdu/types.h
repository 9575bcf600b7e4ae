// Value types shared by the token library's interfaces and the card module.
#pragma once

#include <cstdint>
#include <vector>

#include "libapdu/token/bytes.h"

namespace libapdu {

// File identifiers from the master file 3F00 down to a file; relative when it does not begin
// with 3F00.
using CardPath = std::vector<uint16_t>;

// An authentication object: 3F00 and the object's identifier.
using PinReference = CardPath;

constexpr uint16_t kMasterFile = 0x3F00;

// The directory of the key files; its security attributes name the object that guards the user's keys.
inline CardPath ApplicationDirectory() {
    return {kMasterFile, 0x3000, 0x3002};
}

// Identifiers no file, directory or key object may take.
constexpr bool IsReservedFileId(uint16_t id) {
    return id == 0x0000 || id == 0xFFFF || id == 0x3FFF || id == kMasterFile;
}

enum FileKind : uint8_t {
    kElementaryFile = 1,
    kDirectory = 2,
    kKeyObject = 4,
};

// What CreateFile takes and GetFileInfo returns.
struct FileDescriptor {
    uint8_t kind = 0;
    uint16_t size = 0;
    uint8_t access[3] = {0xFF, 0xFF, 3};
};

// The state of the selected authentication object.
struct PinState {
    uint16_t minLength = 0;
    uint16_t maxLength = 0;
    uint8_t triesLeft = 0xFF;
    uint8_t maxTries = 0xFF;
    uint16_t verified = 0x10;  // 0xFF verified, 0 not
};

enum KeyAlgorithm : uint16_t {
    kAlgRsa = 0x1001,
    kAlgEc = 0x1007,
};

// Description of the selected key object.
struct KeyObjectInfo {
    uint16_t algorithm = 0;
    uint16_t size = 0;  // bytes: modulus length, or coordinate length
    uint8_t usage = 0;  // 2 signature, 1 key exchange
    ByteVector modulus;
    ByteVector exponent;
    ByteVector point;    // 04 x y
    ByteVector content;  // the certificate kept with the key, if any
};

// A key handed to ImportKey; every component most significant byte first.
struct KeyRecord {
    uint16_t algorithm = 0;
    uint16_t length = 0;  // bytes
    ByteVector ecPublic;  // X || Y
    ByteVector rsaExponent;
    ByteVector rsaModulus;
    SecretBytes ecPrivate;
    SecretBytes rsaPrivateExponent;
    SecretBytes prime1;
    SecretBytes prime2;
    SecretBytes exponent1;
    SecretBytes exponent2;
    SecretBytes coefficient;
    uint8_t usage = 0;
};

// Key lengths in bytes that the card offers for one algorithm.
struct AlgorithmInfo {
    std::vector<uint16_t> lengths;
};

}  // namespace libapdu
