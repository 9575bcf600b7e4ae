// Card properties: constants of this module, values from the login state and the card, and three
// answers delegated to the query methods.
#include <algorithm>
#include <cstring>

#include "card/card_context.h"
#include "card/card_failure.h"
#include "card/card_io.h"
#include "libapdu/token/text.h"

namespace {

using libapdu::ByteVector;

enum class Property {
    FreeSpace,
    Capabilities,
    KeySizes,
    ReadOnly,
    CacheMode,
    X509Enrollment,
    CardIdentifier,
    SerialNumber,
    PinInformation,
    PinList,
    AuthenticatedState,
    PinStrengthVerify,
    KeyImport,
    NothingToSay,
};

struct PropertyRow {
    LPCWSTR name;
    Property property;
    bool flagsMustBeZero;
    DWORD minimumSize;
};

// The card identifier's size is checked once the card has been read.
const PropertyRow kProperties[] = {
    {CP_CARD_FREE_SPACE, Property::FreeSpace, true, sizeof(CARD_FREE_SPACE_INFO)},
    {CP_CARD_CAPABILITIES, Property::Capabilities, true, sizeof(CARD_CAPABILITIES)},
    {CP_CARD_KEYSIZES, Property::KeySizes, false, sizeof(CARD_KEY_SIZES)},
    {CP_CARD_READ_ONLY, Property::ReadOnly, true, sizeof(DWORD)},
    {CP_CARD_CACHE_MODE, Property::CacheMode, true, sizeof(DWORD)},
    {CP_SUPPORTS_WIN_X509_ENROLLMENT, Property::X509Enrollment, true, sizeof(DWORD)},
    {CP_CARD_GUID, Property::CardIdentifier, true, 0},
    {CP_CARD_SERIAL_NO, Property::SerialNumber, false, 0},
    {CP_CARD_PIN_INFO, Property::PinInformation, false, sizeof(PIN_INFO)},
    {CP_CARD_LIST_PINS, Property::PinList, true, sizeof(DWORD)},
    {CP_CARD_AUTHENTICATED_STATE, Property::AuthenticatedState, true, sizeof(DWORD)},
    {CP_CARD_PIN_STRENGTH_VERIFY, Property::PinStrengthVerify, false, sizeof(DWORD)},
    {CP_KEY_IMPORT_SUPPORT, Property::KeyImport, true, sizeof(DWORD)},
    {CP_ENUM_ALGORITHMS, Property::NothingToSay, false, 0},
    {CP_PADDING_SCHEMES, Property::NothingToSay, false, 0},
    {CP_CHAINING_MODES, Property::NothingToSay, false, 0},
};

static_assert(sizeof(PIN_INFO) == 36, "PIN_INFO as the host lays it out");

constexpr PIN_SET kAllRoles = 0xFF;
constexpr DWORD kCardidBytes = 16;

const PropertyRow* Find(LPCWSTR name) {
    const libapdu::WideView wanted(name);
    const auto* row = std::find_if(std::begin(kProperties), std::end(kProperties),
                                   [&](const PropertyRow& r) { return wanted == r.name; });
    return row == std::end(kProperties) ? nullptr : row;
}

bool IsFingerprintKind(uint32_t kind) {
    return kind == 0x23 || kind == 0x24 || kind == 0x25;
}

void PutValue(PBYTE data, PDWORD length, DWORD value) {
    std::memcpy(data, &value, sizeof value);
    *length = sizeof value;
}

// The host's buffer need not be aligned for the record: the query works on a copy.
template <class Record, class Query>
void Delegate(PBYTE data, PDWORD length, Query&& query) {
    *length = sizeof(Record);
    Record record{};
    std::memcpy(&record, data, sizeof record);
    query(&record);
    std::memcpy(data, &record, sizeof record);
}

PIN_SET AuthenticatedSet(uint32_t roles) {
    switch (roles) {
        case kRoleUser | kRoleAdmin:
            return kAllRoles;
        case kRoleUser:
            return kPinSetUser;
        case kRoleAdmin:
            return kPinSetAdmin;
        default:
            return 0;
    }
}

}  // namespace

// "Container Info" is CardGetContainerInfo's record (24 bytes in the 32-bit module, 40 in the
// 64-bit one: the record holds two pointers); "PIN Identifier" is the user's for any container
// with a key on the card.
void CCardContext::GetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                        PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags) {
    if (dwFlags != 0 || pbData == nullptr || pdwDataLen == nullptr || wszProperty == nullptr)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const libapdu::WideView name(wszProperty);
    if (name == libapdu::WideView(CCP_CONTAINER_INFO)) {
        *pdwDataLen = sizeof(CONTAINER_INFO);
        if (cbData < sizeof(CONTAINER_INFO)) ThrowStatus(SCARD_E_INSUFFICIENT_BUFFER);
        Delegate<CONTAINER_INFO>(pbData, pdwDataLen, [&](CONTAINER_INFO* info) {
            GetContainerInfo(pCardData, bContainerIndex, 0, info);
        });
        return;
    }
    if (name != libapdu::WideView(CCP_PIN_IDENTIFIER)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    *pdwDataLen = sizeof(PIN_ID);
    if (cbData < sizeof(PIN_ID)) ThrowStatus(SCARD_E_INSUFFICIENT_BUFFER);
    Reselect(pCardData);
    libapdu::IAppFS& fs = *Token().GetFS();
    const auto keyFile = [&](uint16_t id) -> libapdu::CardPath { return {0x3F00, 0x3000, 0x3002, id}; };
    try {
        fs.SelectPath(keyFile(static_cast<uint16_t>(0x0200 | bContainerIndex)));
    } catch (const CAException&) {
        try {
            fs.SelectPath(keyFile(static_cast<uint16_t>(0x0220 | bContainerIndex)));
        } catch (const CAException&) {
            ThrowStatus(SCARD_E_NO_KEY_CONTAINER);
        }
    }
    PutValue(pbData, pdwDataLen, ROLE_USER);
}

void CCardContext::GetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                               PDWORD pdwDataLen, DWORD dwFlags) {
    if (wszProperty == nullptr || pbData == nullptr || pdwDataLen == nullptr)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const PropertyRow* row = Find(wszProperty);
    if (row == nullptr || row->property == Property::SerialNumber) ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
    if (row->property == Property::NothingToSay) return;
    if (row->flagsMustBeZero && dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (row->property == Property::AuthenticatedState) *pdwDataLen = sizeof(DWORD);
    if (cbData < row->minimumSize) ThrowStatus(SCARD_E_INSUFFICIENT_BUFFER);

    switch (row->property) {
        case Property::FreeSpace:
            Delegate<CARD_FREE_SPACE_INFO>(pbData, pdwDataLen, [&](PCARD_FREE_SPACE_INFO info) {
                QueryFreeSpace(pCardData, dwFlags, info);
            });
            return;
        case Property::Capabilities:
            Delegate<CARD_CAPABILITIES>(pbData, pdwDataLen,
                                        [&](PCARD_CAPABILITIES caps) { QueryCapabilities(pCardData, caps); });
            return;
        case Property::KeySizes:
            Delegate<CARD_KEY_SIZES>(pbData, pdwDataLen, [&](PCARD_KEY_SIZES sizes) {
                QueryKeySizes(pCardData, dwFlags, 0, sizes);
            });
            return;
        case Property::ReadOnly:
            PutValue(pbData, pdwDataLen, FALSE);
            return;
        case Property::CacheMode:
            PutValue(pbData, pdwDataLen, CP_CACHE_MODE_NO_CACHE);
            return;
        case Property::X509Enrollment:
            PutValue(pbData, pdwDataLen, TRUE);
            return;
        case Property::CardIdentifier:
            ReadCardIdentifier(pCardData, pbData, cbData, pdwDataLen);
            return;
        case Property::PinInformation:
            ReadPinInformation(pCardData, pbData, pdwDataLen, dwFlags);
            return;
        case Property::PinList:
            PutValue(pbData, pdwDataLen, kPinSetUser | kPinSetAdmin);
            return;
        case Property::AuthenticatedState:
            PutValue(pbData, pdwDataLen, AuthenticatedSet(m_login->roles));
            return;
        case Property::PinStrengthVerify:
            if (dwFlags != ROLE_USER && dwFlags != ROLE_ADMIN) ThrowStatus(SCARD_E_INVALID_PARAMETER);
            *pdwDataLen = sizeof(DWORD);
            // The administrator's strength is left as the caller's buffer holds it.
            if (dwFlags == ROLE_USER) {
                PutValue(pbData, pdwDataLen,
                         IsFingerprintKind(UserAuthKind(pCardData)) ? CARD_PIN_STRENGTH_SESSION_PIN
                                                                    : CARD_PIN_STRENGTH_PLAINTEXT);
            }
            return;
        case Property::KeyImport:
            PutValue(pbData, pdwDataLen, CARD_KEY_IMPORT_RSA_KEYEST | CARD_KEY_IMPORT_ECC_KEYEST);
            return;
        case Property::SerialNumber:
        case Property::NothingToSay:
            return;
    }
}

// The kind of object that guards the user's keys: as recognised with the card, or asked now
// when recognition could not tell.
uint32_t CCardContext::UserAuthKind(PCARD_DATA pCardData) {
    if (m_biometricType != 0) return m_biometricType;
    Reselect(pCardData);
    return Token().GetBio()->GetUserAuthKind();
}

void CCardContext::ReadCardIdentifier(PCARD_DATA pCardData, PBYTE pbData, DWORD cbData, PDWORD pdwDataLen) {
    Reselect(pCardData);
    const ByteVector file =
        TranslateCardFailures({{sw::kFileNotFound, SCARD_E_FILE_NOT_FOUND}}, SCARD_E_UNEXPECTED,
                              [&] { return ReadWhole(*Token().GetFS(), CardidPath()); });
    if (file.size() != kCardidBytes + 2 || (file[0] << 8 | file[1]) != kCardidBytes)
        ThrowStatus(SCARD_E_UNEXPECTED);
    if (cbData < kCardidBytes) ThrowStatus(SCARD_E_INSUFFICIENT_BUFFER);
    const ByteVector identifier(file.begin() + 2, file.end());
    // Another card, or this one personalised again: nothing cached from before still holds.
    if (identifier != m_cardid) {
        m_cardid.clear();
        m_cardcf.clear();
        m_ContIdx.clear();
        m_cardid = identifier;
    }
    std::memcpy(pbData, m_cardid.data(), kCardidBytes);
    *pdwDataLen = kCardidBytes;
}

void CCardContext::ReadPinInformation(PCARD_DATA pCardData, PBYTE pbData, PDWORD pdwDataLen, DWORD pinId) {
    PIN_INFO info{};
    info.dwVersion = PIN_INFO_CURRENT_VERSION;
    std::memcpy(pbData, &info.dwVersion, sizeof info.dwVersion);
    if (pinId == ROLE_USER) {
        uint32_t kind = 0;
        try {
            kind = UserAuthKind(pCardData);
        } catch (...) {
            // A card that cannot say is taken for a PIN card.
        }
        info.PinType = IsFingerprintKind(kind) ? ExternalPinType : AlphaNumericPinType;
        info.PinPurpose = AuthenticationPin;
        info.dwChangePermission = kPinSetUser;
        info.dwUnblockPermission = kPinSetAdmin;
    } else if (pinId == ROLE_ADMIN) {
        info.PinType = ChallengeResponsePinType;
        info.PinPurpose = AdministratorPin;
    } else {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    info.PinCachePolicy.dwVersion = PIN_CACHE_POLICY_CURRENT_VERSION;
    info.PinCachePolicy.PinCachePolicyType = PinCacheNormal;
    std::memcpy(pbData, &info, sizeof info);
    *pdwDataLen = sizeof info;
}

void CCardContext::SetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                               DWORD dwFlags) {
    if (wszProperty == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const libapdu::WideView name(wszProperty);
    // The host may name what a PIN is asked for; this module never asks.
    if (name == CP_PIN_CONTEXT_STRING) return;
    if (pbData == nullptr || cbDataLen == 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (name == CP_PARENT_WINDOW) {
        if (dwFlags != 0 || cbDataLen != sizeof(uint32_t)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        uint32_t handle = 0;
        std::memcpy(&handle, pbData, sizeof handle);
        m_parentWindow = handle;
        if (handle != 0 && !platform::IsWindowHandle(handle)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        return;
    }
    if (name == CP_CARD_CACHE_MODE || name == CP_SUPPORTS_WIN_X509_ENROLLMENT) {
        if (dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
    }
    if (name == CP_CARD_GUID) {
        char cardid[] = "cardid";
        WriteFile(pCardData, nullptr, cardid, 0, pbData, cbDataLen);
        return;
    }
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}
