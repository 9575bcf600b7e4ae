// Private-key operations. The keys stay on the card; the host side builds what the card signs (the
// DigestInfo, or the whole EMSA-PSS block) and turns byte order: RSA values cross the minidriver
// interface least significant byte first and the card most significant byte first.
#include <algorithm>
#include <optional>

#include "card/card_context.h"
#include "card/card_failure.h"
#include "card/key_references.h"
#include "libapdu/token/digest.h"
#include "libapdu/token/failure.h"

using libapdu::ByteSpan;
using libapdu::ByteVector;

namespace {

constexpr DWORD kSigningFlagsAllowed = 0x0000000F | CARD_BUFFER_SIZE_ONLY | CARD_PADDING_INFO_PRESENT;
constexpr uint32_t kKeyLengthMask = 0x1FFFFFFF;

struct HashAlgorithm {
    const char16_t* name = nullptr;
    ALG_ID id = 0;
    size_t digestLength = 0;
    size_t prefixLength = 0;  // of the DER DigestInfo in front of the digest
    std::optional<digest::DigestAlg> pss;
};

const HashAlgorithm kHashes[] = {
    {u"MD2", CALG_MD2, 16, 18, std::nullopt},
    {u"MD4", CALG_MD4, 16, 18, std::nullopt},
    {u"MD5", CALG_MD5, 16, 18, std::nullopt},
    {u"SHA1", CALG_SHA1, 20, 15, digest::DigestAlg::Sha1},
    {u"SHA256", CALG_SHA_256, 32, 19, digest::DigestAlg::Sha256},
    {u"SHA384", CALG_SHA_384, 48, 19, digest::DigestAlg::Sha384},
    {u"SHA512", CALG_SHA_512, 64, 19, digest::DigestAlg::Sha512},
};

bool SameName(LPCWSTR a, const char16_t* b) {
    for (; *a == *b; ++a, ++b) {
        if (*a == 0) return true;
    }
    return false;
}

const HashAlgorithm& HashNamed(LPCWSTR name) {
    if (name == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    for (const HashAlgorithm& hash : kHashes) {
        if (SameName(name, hash.name)) return hash;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

// nullptr for the algorithms signed without a hash identifier.
const HashAlgorithm* HashWithId(ALG_ID id) {
    if (id == 0 || id == CALG_SSL3_SHAMD5) return nullptr;
    for (const HashAlgorithm& hash : kHashes) {
        if (hash.id == id) return &hash;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

// How the digest is to be signed, from the hash algorithm and the optional padding information.
struct Padding {
    const HashAlgorithm* hash = nullptr;
    bool pss = false;
};

Padding PaddingOf(const CARD_SIGNING_INFO& info) {
    Padding padding;
    ALG_ID id = info.aiHashAlg;
    if (info.dwVersion == CARD_SIGNING_INFO_CURRENT_VERSION &&
        (info.dwSigningFlags & CARD_PADDING_INFO_PRESENT) != 0) {
        if (info.dwPaddingType != CARD_PADDING_PKCS1 && info.dwPaddingType != CARD_PADDING_PSS)
            ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
        if (info.pPaddingInfo == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        if (info.dwPaddingType == CARD_PADDING_PSS) {
            const auto& pss = *static_cast<const BCRYPT_PSS_PADDING_INFO*>(info.pPaddingInfo);
            const HashAlgorithm& hash = HashNamed(pss.pszAlgId);
            if (pss.cbSalt != hash.digestLength) ThrowStatus(SCARD_E_INVALID_PARAMETER);
            id = hash.id;
            padding.pss = true;
        } else {
            const auto& pkcs1 = *static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(info.pPaddingInfo);
            id = pkcs1.pszAlgId == nullptr ? CALG_SSL3_SHAMD5 : HashNamed(pkcs1.pszAlgId).id;
        }
    }
    padding.hash = HashWithId(id);
    return padding;
}

// Salt bytes from 1 to 255, each equally likely.
ByteVector Salt(size_t length) {
    ByteVector salt;
    salt.reserve(length);
    while (salt.size() < length) {
        uint8_t byte = 0;
        platform::RandomBytes(&byte, 1);
        if (byte != 0) salt.push_back(byte);
    }
    return salt;
}

// The block the card signs raw: EMSA-PSS over the key's whole length. Only the SHA family has an
// encoding here, and PSS is an RSA padding.
ByteVector PssBlock(const CARD_SIGNING_INFO& info, const HashAlgorithm* hash, uint32_t keyLength) {
    if (hash == nullptr || !hash->pss || !keyref::IsRsaSpec(info.dwKeySpec) ||
        info.cbData != hash->digestLength)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    return digest::PssEncode(*hash->pss, ByteSpan(info.pbData, info.cbData), Salt(hash->digestLength),
                             keyLength);
}

// The host formats the PKCS#1 block, least significant byte first: its first prefix + digest bytes
// are the DigestInfo reversed.
ByteVector DigestInfoFromHost(const CARD_DATA& data, CARD_SIGNING_INFO& info, size_t prefixLength,
                              uint32_t keyLength) {
    if (data.pfnCspPadData == nullptr) ThrowStatus(ERROR_NOT_ENOUGH_MEMORY);
    DWORD paddedLength = 0;
    PBYTE padded = nullptr;
    const auto width = static_cast<DWORD>(keyLength + prefixLength);
    const DWORD result = data.pfnCspPadData(&info, width, &paddedLength, &padded);
    const size_t wanted = prefixLength + info.cbData;
    ByteVector digestInfo;
    if (result == 0 && padded != nullptr && paddedLength >= wanted)
        digestInfo.assign(std::make_reverse_iterator(padded + wanted), std::make_reverse_iterator(padded));
    if (padded != nullptr && data.pfnCspFree != nullptr) data.pfnCspFree(padded);
    if (digestInfo.size() != wanted) ThrowStatus(ERROR_NOT_ENOUGH_MEMORY);
    return digestInfo;
}

// The card's big-endian result into the caller's buffer, least significant byte first; a shorter
// number keeps zero high bytes, which come last. The result is wiped either way.
void PutLittleEndian(ByteVector& block, CARD_RSA_DECRYPT_INFO& info) {
    const bool fits = block.size() <= info.cbData;
    if (fits) std::fill(std::copy(block.rbegin(), block.rend(), info.pbData), info.pbData + info.cbData, 0);
    libapdu::Wipe(block);
    if (!fits) ThrowStatus(SCARD_E_UNEXPECTED);
}

// The host removes the padding: its plaintext replaces the block at the start of pbData, and the
// rest of the block is cleared. Records before version 7 end before the unpadding callback.
void UnpadThroughHost(const CARD_DATA& data, CARD_RSA_DECRYPT_INFO& info) {
    const bool hasUnpad = data.dwVersion >= CARD_DATA_VERSION_SEVEN && data.pfnCspUnpadData != nullptr;
    DWORD length = 0;
    PBYTE plain = nullptr;
    const DWORD result = hasUnpad ? data.pfnCspUnpadData(&info, &length, &plain) : ERROR_NOT_ENOUGH_MEMORY;
    const bool fits = result == 0 && (plain != nullptr || length == 0) && length <= info.cbData;
    if (fits) {
        std::copy(plain, plain + length, info.pbData);
        std::fill(info.pbData + length, info.pbData + info.cbData, 0);
        info.cbData = length;
        if (plain != nullptr) platform::SecureWipe(plain, length);
    }
    if (plain != nullptr && data.pfnCspFree != nullptr) data.pfnCspFree(plain);
    if (!fits) ThrowStatus(ERROR_NOT_ENOUGH_MEMORY);
}

BYTE* HostBuffer(const CARD_DATA& data, size_t size) {
    auto* out = data.pfnCspAlloc == nullptr ? nullptr : static_cast<BYTE*>(data.pfnCspAlloc(size));
    if (out == nullptr) ThrowStatus(ERROR_NOT_ENOUGH_MEMORY);
    return out;
}

}  // namespace

// From the container list when it knows the key, else from the key's description on the card.
uint32_t CCardContext::KeyLength(PCARD_DATA pCardData, BYTE containerIndex, uint8_t reference) {
    if (containerIndex < m_ContIdx.size()) {
        const uint32_t known = m_ContIdx[containerIndex].keyLengthCode & kKeyLengthMask;
        if (known != 0) return known;
    }
    TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&] { Reselect(pCardData); });
    return TranslateCardFailures({}, SCARD_E_NO_KEY_CONTAINER,
                                 [&] { return keyref::DescribeKey(Token(), reference).size; });
}

void CCardContext::SignData(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo) {
    if (pInfo == nullptr || pInfo->pbData == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CARD_SIGNING_INFO& info = *pInfo;
    if (info.dwVersion != CARD_SIGNING_INFO_BASIC_VERSION &&
        info.dwVersion != CARD_SIGNING_INFO_CURRENT_VERSION)
        ThrowStatus(ERROR_REVISION_MISMATCH);
    if ((info.dwSigningFlags & ~kSigningFlagsAllowed) != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (info.dwKeySpec < AT_KEYEXCHANGE || info.dwKeySpec > AT_ECDHE_P521)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const uint8_t reference = keyref::Reference(info.bContainerIndex, info.dwKeySpec);
    const bool rsa = keyref::IsRsaSpec(info.dwKeySpec);

    const uint32_t keyLength = KeyLength(pCardData, info.bContainerIndex, reference);
    const Padding padding = PaddingOf(info);

    ByteVector toSign;
    if (padding.pss) {
        toSign = PssBlock(info, padding.hash, keyLength);
    } else {
        if (info.cbData > keyLength) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        if (rsa && (info.dwSigningFlags & CRYPT_NOHASHOID) == 0) {
            toSign = DigestInfoFromHost(*pCardData, info,
                                        padding.hash != nullptr ? padding.hash->prefixLength : 0, keyLength);
        } else {
            toSign.assign(info.pbData, info.pbData + info.cbData);
        }
    }

    TranslateCardFailures({{sw::kNotAllowed, SCARD_W_SECURITY_VIOLATION}}, SCARD_E_UNEXPECTED, [&] {
        ReselectWithPin(pCardData);
        // The raw operation works on the selected key object.
        if (padding.pss) Token().GetFS()->SelectPath(keyref::KeyObject(reference));
        ByteVector signature = Token().GetCrypto()->Sign(reference, {}, toSign, padding.pss);
        info.cbSignedData = static_cast<DWORD>(signature.size());
        if ((info.dwSigningFlags & CARD_BUFFER_SIZE_ONLY) != 0) return;
        if (rsa) std::reverse(signature.begin(), signature.end());
        info.pbSignedData = HostBuffer(*pCardData, signature.size());
        std::copy(signature.begin(), signature.end(), info.pbSignedData);
    });
}

void CCardContext::RSADecrypt(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo) {
    if (pInfo == nullptr || pInfo->pbData == nullptr || pInfo->dwKeySpec != AT_KEYEXCHANGE)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CARD_RSA_DECRYPT_INFO& info = *pInfo;
    if (info.dwVersion > CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO ||
        (info.dwVersion < CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO &&
         pCardData->dwVersion == CARD_DATA_VERSION_SEVEN))
        ThrowStatus(ERROR_REVISION_MISMATCH);
    const uint8_t reference = info.bContainerIndex;

    TranslateCardFailures(
        {{sw::kFileNotFound, SCARD_E_NO_KEY_CONTAINER}, {sw::kNotAllowed, SCARD_W_SECURITY_VIOLATION}},
        SCARD_E_UNEXPECTED, [&] {
            Reselect(pCardData);
            if (info.cbData < keyref::DescribeKey(Token(), reference).size)
                ThrowStatus(SCARD_E_INSUFFICIENT_BUFFER);
            ReselectWithPin(pCardData);
            const ByteVector cipher(std::make_reverse_iterator(info.pbData + info.cbData),
                                    std::make_reverse_iterator(info.pbData));
            Token().GetFS()->SelectPath(keyref::KeyObject(reference));
            ByteVector block = Token().GetCrypto()->Decipher(cipher);
            PutLittleEndian(block, info);
        });

    if (info.dwVersion == CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO && info.dwPaddingType != CARD_PADDING_NONE)
        UnpadThroughHost(*pCardData, info);
}
