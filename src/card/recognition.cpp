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

constexpr BYTE HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<BYTE>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<BYTE>(c - 'A' + 10);
    throw "not an upper-case hexadecimal digit";  // in a constant expression: a build error
}

template <size_t PatternSize, size_t MaskSize>
constexpr AtrEntry Entry(const char (&pattern)[PatternSize], const char (&mask)[MaskSize]) {
    static_assert(PatternSize == MaskSize, "an ATR pattern and its mask have one length");
    static_assert(PatternSize % 2 == 1 && (PatternSize - 1) / 2 <= kLongestAtr, "an ATR of whole bytes");
    AtrEntry entry{};
    entry.length = static_cast<DWORD>((PatternSize - 1) / 2);
    for (size_t i = 0; i < entry.length; ++i) {
        entry.pattern[i] = static_cast<BYTE>(HexDigit(pattern[2 * i]) << 4 | HexDigit(pattern[2 * i + 1]));
        entry.mask[i] = static_cast<BYTE>(HexDigit(mask[2 * i]) << 4 | HexDigit(mask[2 * i + 1]));
    }
    return entry;
}

constexpr AtrEntry kRecognisedAtrs[] = {
#define HELIX_ATR(name, pattern, mask) Entry(pattern, mask),
#include "card/recognised_atrs.inc"
#undef HELIX_ATR
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
