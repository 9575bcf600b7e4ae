#include "card/key_material.h"

#include <algorithm>
#include <cstdio>

#include "card/card_object.h"
#include "libapdu/token/failure.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::SecretBytes;

struct Generation {
    DWORD bits;
    uint8_t parameter;
};
constexpr Generation kGenerations[] = {{256, 0x11}, {384, 0x11}, {528, 0x11}, {512, 5},
                                       {1024, 6},   {2048, 7},   {4096, 8},   {768, 9},
                                       {1280, 10},  {1536, 11},  {1984, 12},  {3072, 13}};

// DER object identifiers of the curves.
constexpr uint8_t kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr uint8_t kP384[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr uint8_t kP521[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};

ByteSpan CurveIdentifier(DWORD bits) {
    if (bits == 256) return ByteSpan(kP256, sizeof kP256);
    if (bits == 384) return ByteSpan(kP384, sizeof kP384);
    return ByteSpan(kP521, sizeof kP521);
}

constexpr size_t kNameWidth = 64;
constexpr size_t kShortNameWidth = 32;
constexpr size_t kEmptyWidth = 8;

// BLOBHEADER (8 bytes) and RSAPUBKEY (12 bytes) come before the modulus; pubexp is the last field.
constexpr size_t kRsaExponentOffset = 16;
constexpr size_t kRsaKeyOffset = 20;
constexpr size_t kEcKeyOffset = sizeof(BCRYPT_ECCKEY_BLOB);
constexpr uint8_t kPublicKeyBlob = 6;
constexpr uint8_t kBlobVersion = 2;
constexpr DWORD kRsa1 = 0x31415352;  // "RSA1"

// Host blob values are little-endian, card values most significant byte first.
SecretBytes Reversed(const BYTE* from, size_t size) {
    SecretBytes out(from, from + size);
    std::reverse(out.begin(), out.end());
    return out;
}

ByteVector Plain(const SecretBytes& bytes) {
    return ByteVector(bytes.begin(), bytes.end());
}

void PutU32LE(ByteVector& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift & 0xFF));
}

struct PublicKeyLength {
    uint32_t code;  // key length in bytes, as the card reports it
    DWORD bits;
    bool ec;
};
constexpr PublicKeyLength kPublicKeyLengths[] = {
    {0x20, 256, true},   {0x30, 384, true},    {0x42, 528, true},    {0x40, 512, false},
    {0x60, 768, false},  {0x80, 1024, false},  {0xA0, 1280, false},  {0xC0, 1536, false},
    {0xF8, 1984, false}, {0x100, 2048, false}, {0x180, 3072, false}, {0x200, 4096, false}};

DWORD EcMagic(DWORD containerSpec) {
    switch (containerSpec) {
        case AT_ECDSA_P256:
            return BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        case AT_ECDSA_P384:
            return BCRYPT_ECDSA_PUBLIC_P384_MAGIC;
        case AT_ECDSA_P521:
            return BCRYPT_ECDSA_PUBLIC_P521_MAGIC;
        case AT_ECDHE_P256:
            return BCRYPT_ECDH_PUBLIC_P256_MAGIC;
        case AT_ECDHE_P384:
            return BCRYPT_ECDH_PUBLIC_P384_MAGIC;
        case AT_ECDHE_P521:
            return BCRYPT_ECDH_PUBLIC_P521_MAGIC;
        default:
            ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
}

}  // namespace

ContainerKey ContainerKey::Of(DWORD keySpec, DWORD keySize) {
    switch (keySpec) {
        case AT_ECDSA_P256:
        case AT_ECDHE_P256:
            return {keySpec, 256};
        case AT_ECDSA_P384:
        case AT_ECDHE_P384:
            return {keySpec, 384};
        case AT_ECDSA_P521:
        case AT_ECDHE_P521:
            return {keySpec, 528};
        default:
            return {keySpec, keySize};
    }
}

std::optional<uint8_t> ContainerKey::GenerationParameter() const {
    for (const Generation& g : kGenerations) {
        if (g.bits == bits) return g.parameter;
    }
    return std::nullopt;
}

ByteVector BuildPrivateKeyFile(uint8_t keyIndex, const ContainerKey& key, ByteSpan containerName,
                               bool generated, ByteSpan trailer) {
    const bool ec = key.Ec();
    const auto flag = [](bool set) { return static_cast<uint8_t>(set ? 0x01 : 0x00); };
    CardObjectWriter object(ByteVector{0x00, 0x02, 0x02, keyIndex, 0x00, 0x00, 0x16});
    object.Entry(0x0000, 0x00, {0x03, 0x00, 0x00, 0x00});
    object.Entry(0x0001, 0x00, {0x01});
    object.Entry(0x0002, 0x00, {0x01});
    object.Entry(0x0003, 0x10, containerName, kNameWidth);
    object.Entry(0x0100, 0x00, {static_cast<uint8_t>(ec ? 0x03 : 0x00), 0x00, 0x00, 0x00});
    object.Entry(0x0101, 0x10, ByteSpan(), kShortNameWidth);
    object.Entry(0x0102, 0x10, containerName, kShortNameWidth);
    object.Entry(0x0103, 0x30, {0x01});
    object.Entry(0x0105, 0x50, {flag(key.spec == AT_KEYEXCHANGE)});
    object.Entry(0x0107, 0x50, {0x00});
    object.Entry(0x0108, 0x50, {0x01});
    object.Entry(0x0109, 0x50, {0x00});
    object.Entry(0x010C, 0x10, {flag(ec)});
    object.Entry(0x0110, 0x10, ByteSpan(), kEmptyWidth);
    object.Entry(0x0111, 0x10, ByteSpan(), kEmptyWidth);
    object.Entry(0x0162, 0x50, {0x00});
    object.Entry(0x0163, 0x00, {flag(generated)});
    object.Entry(0x0164, 0x00, {0x01});
    object.Entry(0x0165, 0x00, {0x01});
    if (ec) {
        object.Entry(0x0166, 0x00, {0x40, 0x10, 0x00, 0x00});
    } else {
        object.Entry(0x0166, 0x00, {0x00, 0x00, 0x00, 0x00});
    }
    object.Entry(0x0170, 0x00, {0x00});
    if (ec) object.Entry(0x0180, 0x00, CurveIdentifier(key.bits));
    object.Entry(0x8010, 0x00, {0x00});
    return object.Finish(trailer);
}

ByteVector NewContainerName() {
    const GUID guid = platform::NewGuid();
    char text[39] = {};
    (void)std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                        static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                        static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                        guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    ByteVector name(text, text + sizeof text - 1);
    for (uint8_t& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
    }
    return name;
}

libapdu::KeyRecord ImportRecord(const ContainerKey& key, const BYTE* blob) {
    if (!key.GenerationParameter()) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const size_t bytes = key.bits / 8;
    libapdu::KeyRecord record;
    record.algorithm = key.Algorithm();
    record.length = static_cast<uint16_t>(bytes);
    record.usage = key.Usage();
    if (key.Ec()) {
        const BYTE* x = blob + kEcKeyOffset;
        record.ecPublic.assign(x, x + 2 * bytes);
        record.ecPrivate.assign(x + 2 * bytes, x + 3 * bytes);
        return record;
    }
    // Only the three low bytes of the public exponent travel.
    const BYTE* exponent = blob + kRsaExponentOffset;
    record.rsaExponent = {exponent[2], exponent[1], exponent[0]};
    const size_t half = bytes / 2;
    const BYTE* at = blob + kRsaKeyOffset;
    record.rsaModulus = Plain(Reversed(at, bytes));
    at += bytes;
    SecretBytes* const halves[] = {&record.prime1, &record.prime2, &record.exponent1, &record.exponent2,
                                   &record.coefficient};
    for (SecretBytes* part : halves) {
        *part = Reversed(at, half);
        at += half;
    }
    record.rsaPrivateExponent = Reversed(at, bytes);
    return record;
}

ByteVector PublicKeyBlob(DWORD containerSpec, uint32_t keyLengthCode, const uint8_t (&publicKey)[512],
                         uint32_t exponent) {
    const uint32_t code = keyLengthCode & 0x1FFFFFFF;
    const PublicKeyLength* length = std::find_if(std::begin(kPublicKeyLengths), std::end(kPublicKeyLengths),
                                                 [code](const PublicKeyLength& l) { return l.code == code; });
    if (length == std::end(kPublicKeyLengths)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const size_t bytes = length->bits / 8;
    ByteVector blob;
    if (length->ec) {
        PutU32LE(blob, EcMagic(containerSpec));
        PutU32LE(blob, static_cast<uint32_t>(bytes));
        blob.insert(blob.end(), publicKey + 1, publicKey + 1 + 2 * bytes);
        return blob;
    }
    if (containerSpec != AT_KEYEXCHANGE && containerSpec != AT_SIGNATURE)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    blob.insert(blob.end(), {kPublicKeyBlob, kBlobVersion, 0x00, 0x00});
    PutU32LE(blob, containerSpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN);
    PutU32LE(blob, kRsa1);
    PutU32LE(blob, length->bits);
    PutU32LE(blob, exponent);
    blob.insert(blob.end(), publicKey, publicKey + bytes);
    return blob;
}
