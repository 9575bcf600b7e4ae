#include "mdhost/key_checks.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "mdhost/host_services.h"

namespace mdhost {

namespace {

constexpr DWORD kRsa1 = 0x31415352;  // "RSA1"

struct Curve {
    ULONG signatureMagic;
    ULONG agreementMagic;
    ULONG coordinate;
    const char* name;
};
const Curve kCurves[] = {
    {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, BCRYPT_ECDH_PUBLIC_P256_MAGIC, 32, "P-256"},
    {BCRYPT_ECDSA_PUBLIC_P384_MAGIC, BCRYPT_ECDH_PUBLIC_P384_MAGIC, 48, "P-384"},
    {BCRYPT_ECDSA_PUBLIC_P521_MAGIC, BCRYPT_ECDH_PUBLIC_P521_MAGIC, 66, "P-521"},
};

// The DER prefixes of the DigestInfo of each hash (RFC 8017, 9.2, notes).
struct Prefixed {
    const char* name;
    uint8_t length;
    uint8_t prefix[19];
};
const Prefixed kPrefixes[] = {
    {"MD5",
     18,
     {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04,
      0x10}},
    {"SHA1", 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    {"SHA256",
     19,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
      0x04, 0x20}},
    {"SHA384",
     19,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00,
      0x04, 0x30}},
    {"SHA512",
     19,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00,
      0x04, 0x40}},
};

const HashName kHashes[] = {
    {"MD5", CALG_MD5, 16},        {"SHA1", CALG_SHA1, 20},      {"SHA256", CALG_SHA_256, 32},
    {"SHA384", CALG_SHA_384, 48}, {"SHA512", CALG_SHA_512, 64},
};

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::string Narrow(LPCWSTR wide) {
    std::string text;
    for (; wide != nullptr && *wide != 0; ++wide) text.push_back(static_cast<char>(*wide));
    return text;
}

// The hash a signing request names: the padding information's where it counts, else aiHashAlg.
std::optional<std::string> SigningHash(const CARD_SIGNING_INFO& info) {
    if (info.dwVersion >= CARD_SIGNING_INFO_CURRENT_VERSION &&
        (info.dwSigningFlags & CARD_PADDING_INFO_PRESENT) != 0 && info.dwPaddingType == CARD_PADDING_PKCS1) {
        const auto* padding = static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(info.pPaddingInfo);
        if (padding == nullptr || padding->pszAlgId == nullptr) return std::string();
        return Narrow(padding->pszAlgId);
    }
    if (info.aiHashAlg == 0 || info.aiHashAlg == CALG_SSL3_SHAMD5) return std::string();
    const HashName* hash = HashById(info.aiHashAlg);
    if (hash == nullptr) return std::nullopt;
    return std::string(hash->name);
}

PBYTE HandOver(const Bytes& bytes) {
    auto* block = static_cast<PBYTE>(CAllocationTracker::Instance().Alloc(bytes.size()));
    if (block != nullptr) std::copy(bytes.begin(), bytes.end(), block);
    return block;
}

}  // namespace

std::optional<Key> KeyFromBlob(const Bytes& blob) {
    if (blob.size() >= 8 + 12 && blob[0] == PUBLICKEYBLOB && Le32(blob, 8) == kRsa1) {
        const uint32_t bits = Le32(blob, 12);
        if (bits == 0 || bits % 8 != 0 || blob.size() != 20 + bits / 8) return std::nullopt;
        Bytes modulus(blob.begin() + 20, blob.end());
        std::reverse(modulus.begin(), modulus.end());
        Bytes exponent{blob[18], blob[17], blob[16]};
        return RsaPublicKey(modulus, exponent);
    }
    if (blob.size() < 8) return std::nullopt;
    const ULONG magic = Le32(blob, 0);
    const ULONG size = Le32(blob, 4);
    for (const Curve& curve : kCurves) {
        if ((magic != curve.signatureMagic && magic != curve.agreementMagic) || size != curve.coordinate)
            continue;
        if (blob.size() != 8 + 2 * size) return std::nullopt;
        Key key = EcPublicKey(curve.name, Bytes(blob.begin() + 8, blob.begin() + 8 + size),
                              Bytes(blob.begin() + 8 + size, blob.end()));
        if (!key) return std::nullopt;
        return key;
    }
    return std::nullopt;
}

const HashName* HashByName(const std::string& name) {
    for (const HashName& hash : kHashes)
        if (name == hash.name) return &hash;
    return nullptr;
}

const HashName* HashById(ALG_ID id) {
    for (const HashName& hash : kHashes)
        if (id == hash.id) return &hash;
    return nullptr;
}

Bytes AgreementBlob(HostKey* key) {
    const Bytes point = EcPublicPoint(key);
    const auto coordinate = static_cast<ULONG>(point.size() / 2);
    const auto* curve = std::find_if(std::begin(kCurves), std::end(kCurves),
                                     [&](const Curve& c) { return c.coordinate == coordinate; });
    if (curve == std::end(kCurves)) throw std::runtime_error("an EC key of another curve");
    Bytes blob;
    for (const ULONG value : {curve->agreementMagic, coordinate})
        for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<uint8_t>(value >> shift));
    blob.insert(blob.end(), point.begin(), point.end());
    return blob;
}

Bytes EncryptionBlock(size_t size, const Bytes& message) {
    if (message.size() + 11 > size) throw std::runtime_error("message too long for the key");
    Bytes block(size, 0);
    block[1] = 0x02;
    const size_t filler = size - 3 - message.size();
    for (size_t i = 0; i < filler; ++i) {
        do {
            RandomBytes(&block[2 + i], 1);
        } while (block[2 + i] == 0);
    }
    std::copy(message.begin(), message.end(), block.begin() + static_cast<std::ptrdiff_t>(3 + filler));
    return block;
}

DWORD WINAPI PadSignature(PCARD_SIGNING_INFO info, DWORD width, DWORD* paddedSize, PBYTE* padded) {
    if (info == nullptr || paddedSize == nullptr || padded == nullptr || info->pbData == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    const std::optional<std::string> hash = SigningHash(*info);
    if (!hash) return SCARD_E_INVALID_PARAMETER;
    Bytes digestInfo;
    if (!hash->empty()) {
        const auto* entry = std::find_if(std::begin(kPrefixes), std::end(kPrefixes),
                                         [&](const Prefixed& p) { return *hash == p.name; });
        if (entry == std::end(kPrefixes)) return SCARD_E_INVALID_PARAMETER;
        digestInfo.assign(entry->prefix, entry->prefix + entry->length);
    }
    digestInfo.insert(digestInfo.end(), info->pbData, info->pbData + info->cbData);
    if (digestInfo.size() + 11 > width) return SCARD_E_INVALID_PARAMETER;
    Bytes block(width, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[width - digestInfo.size() - 1] = 0x00;
    std::copy(digestInfo.begin(), digestInfo.end(),
              block.end() - static_cast<std::ptrdiff_t>(digestInfo.size()));
    std::reverse(block.begin(), block.end());
    *padded = HandOver(block);
    if (*padded == nullptr) return SCARD_E_NO_MEMORY;
    *paddedSize = width;
    return SCARD_S_SUCCESS;
}

DWORD WINAPI UnpadEncryption(PCARD_RSA_DECRYPT_INFO info, DWORD* unpaddedSize, PBYTE* unpadded) {
    if (info == nullptr || info->pbData == nullptr || unpaddedSize == nullptr || unpadded == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    if (info->dwPaddingType != CARD_PADDING_PKCS1) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes block(info->pbData, info->pbData + info->cbData);
    std::reverse(block.begin(), block.end());
    if (block.size() < 11 || block[0] != 0x00 || block[1] != 0x02) return SCARD_E_INVALID_PARAMETER;
    const auto end = std::find(block.begin() + 2, block.end(), uint8_t{0});
    if (end == block.end() || end - block.begin() < 10) return SCARD_E_INVALID_PARAMETER;
    const Bytes message(end + 1, block.end());
    *unpadded = HandOver(message);
    if (*unpadded == nullptr && !message.empty()) return SCARD_E_NO_MEMORY;
    *unpaddedSize = static_cast<DWORD>(message.size());
    return SCARD_S_SUCCESS;
}

}  // namespace mdhost
