#include <algorithm>
#include <cstddef>
#include <iterator>

#include "card/card_context.h"
#include "libapdu/token/failure.h"

namespace {

constexpr size_t kLongestAtr = 22;

struct AtrEntry {
    DWORD length;
    BYTE pattern[kLongestAtr];
    BYTE mask[kLongestAtr];
};

// The Helix card family: no two entries share a length, so at most one can match.
constexpr AtrEntry kRecognisedAtrs[] = {
    {22,
     {0x3B, 0xDC, 0x00, 0xFF, 0x80, 0x91, 0xFE, 0x1F, 0xC3, 0x80, 0x73, 0xC8, 0x21, 0x10, 0x66},
     {0xFF, 0xFF, 0x00, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF}},
    {15,
     {0x3B, 0xD5, 0x00, 0xFF, 0x80, 0x91, 0xFE, 0x1F, 0xC3, 0x80, 0x73, 0xC8, 0x21, 0x10, 0x00},
     {0xFF, 0xFF, 0x00, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x00}},
    {17,
     {0x3B, 0x8C, 0x80, 0x01, 0x80, 0x73, 0xC8, 0x21, 0x13, 0x66, 0x01, 0x06, 0x11, 0x59, 0x00, 0x01, 0x2C},
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {5, {0x3B, 0x80, 0x80, 0x01, 0x01}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
};

bool Matches(const AtrEntry& entry, const BYTE* atr, DWORD length) {
    if (length != entry.length) return false;
    for (DWORD i = 0; i < length; ++i) {
        if ((atr[i] & entry.mask[i]) != entry.pattern[i]) return false;
    }
    return true;
}

bool IsKnownAtrLength(DWORD length) {
    return std::any_of(std::begin(kRecognisedAtrs), std::end(kRecognisedAtrs),
                       [length](const AtrEntry& e) { return e.length == length; });
}

// Authentication kinds under which the card guards its application with a biometric object.
bool IsBiometricKind(uint32_t kind) {
    return kind == 32 || kind == 35 || kind == 36 || kind == 37;
}

constexpr DWORD kMinimumVersion = CARD_DATA_VERSION_FOUR;
constexpr DWORD kHighestVersion = CARD_DATA_VERSION_SEVEN;

void CheckRecord(const CARD_DATA& data) {
    if (data.pbAtr == nullptr || !IsKnownAtrLength(data.cbAtr) || data.pwszCardName == nullptr ||
        data.pfnCspAlloc == nullptr || data.pfnCspReAlloc == nullptr || data.pfnCspFree == nullptr) {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
}

}  // namespace

bool CCardContext::IsRecognisedAtr(const BYTE* atr, DWORD length) {
    if (atr == nullptr) return false;
    return std::any_of(std::begin(kRecognisedAtrs), std::end(kRecognisedAtrs),
                       [&](const AtrEntry& e) { return Matches(e, atr, length); });
}

void CCardContext::Initialise(PCARD_DATA pCardData) {
    if (pCardData == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CheckRecord(*pCardData);
    const libapdu::ByteVector atr(pCardData->pbAtr, pCardData->pbAtr + pCardData->cbAtr);
    if (!IsRecognisedAtr(atr.data(), static_cast<DWORD>(atr.size()))) ThrowStatus(SCARD_E_UNKNOWN_CARD);
    if (pCardData->dwVersion < kMinimumVersion) ThrowStatus(ERROR_REVISION_MISMATCH);
    pCardData->dwVersion = std::min(pCardData->dwVersion, kHighestVersion);

    CreateChannel(pCardData);
    const CTransactionGuard transaction(pCardData->hScard);
    try {
        m_token->Select(libapdu::kAppletHelix);
    } catch (...) {
        ThrowStatus(SCARD_E_UNKNOWN_CARD);
    }
    m_hSCardCtx = pCardData->hSCardCtx;
    m_hScard = pCardData->hScard;
    m_parentWindow = 0;
    m_biometricType = 0;
    try {
        const uint32_t kind = m_token->GetBio()->GetUserAuthKind();
        if (IsBiometricKind(kind)) m_biometricType = kind;
    } catch (...) {
        // A card that cannot say how it guards its application is treated as PIN-only.
    }
}
