// PIN roles and authentication. The user presents a PIN of 4 to 16 bytes; the administrator
// answers an 8-byte card challenge with a response the caller computes (the module never holds
// the administrator key). The user PIN's policy lives in card files (pin_policy.h).
#include <algorithm>
#include <ctime>
#include <string>

#include "card/auth_library.h"
#include "card/card_context.h"
#include "card/card_failure.h"
#include "card/card_io.h"
#include "card/pin_policy.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/digest.h"
#include "libapdu/token/text.h"
#include "libapdu/token/ticket.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::IAppPin;

// Authentication kind under which the user PIN must be selected before it is verified.
constexpr DWORD kBioPinFirst = 0x20;
constexpr DWORD kMinPin = 4;
constexpr DWORD kMaxPin = 16;
constexpr DWORD kMaxAuthenticatingData = 24;
constexpr DWORD kResponseSize = 8;
constexpr PIN_SET kHighestPinSet = 0xFF;

// "user" and "admin", exactly as written.
LoginRole RoleOf(LPCWSTR name) {
    if (name != nullptr) {
        const libapdu::WideView text(name);
        if (text == HELIX_WTEXT("user")) return kRoleUser;
        if (text == HELIX_WTEXT("admin")) return kRoleAdmin;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

// PIN changes and unblocks are for the user's PIN only.
void RequireUserTarget(LPCWSTR name) {
    if (RoleOf(name) == kRoleAdmin) ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

bool PinLengthAllowed(DWORD length) {
    return length >= kMinPin && length <= kMaxPin;
}

void ReportTries(IAppPin& pin, PDWORD attempts) {
    if (attempts != nullptr) *attempts = pin.GetPinState().triesLeft;
}

bool Blocked(const CAException& e) {
    const auto* apdu = dynamic_cast<const libapdu::CAPDUException*>(&e);
    return apdu != nullptr && apdu->StatusWord() == sw::kAuthenticationBlocked;
}

// A refused PIN or response: the tries left go to the caller, and no tries left means blocked.
[[noreturn]] void Refused(const CAException& e, IAppPin& pin, PDWORD attempts) {
    ReportTries(pin, attempts);
    if (Blocked(e) || pin.GetPinState().triesLeft == 0) ThrowStatus(SCARD_W_CHV_BLOCKED);
    ThrowStatus(SCARD_W_WRONG_CHV);
}

// The must-change flag and the maximum age, when the card keeps a state file of the module's
// making; a PIN that must be changed or has expired is refused before it reaches the card.
void CheckUserPolicy(libapdu::IToken& token, PDWORD attempts) {
    libapdu::IAppFS& fs = *token.GetFS();
    fs.SelectPath(pinpolicy::StatePath());
    if (fs.GetFileInfo().size != pinpolicy::kStateSize) return;
    ByteVector state(pinpolicy::kStateSize);
    fs.ReadFile(state, 0);
    const ByteVector mustChange = pinpolicy::Find(state, pinpolicy::kMustChange);
    const bool refused =
        (!mustChange.empty() && mustChange[0] == 1) ||
        pinpolicy::Expired(ReadWhole(fs, pinpolicy::PolicyPath()), state, std::time(nullptr));
    if (refused) {
        ReportTries(*token.GetPin(), attempts);
        ThrowStatus(SCARD_W_WRONG_CHV);
    }
}

void PresentUser(CCardContext& context, PCARD_DATA pCardData, ByteSpan pin, PDWORD attempts) {
    TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&] {
        context.CreateChannel(pCardData);
        context.Token().Select(libapdu::kAppletHelix);
        IAppPin& facet = *context.Token().GetPin();
        facet.SelectPin(facet.GetUserPinRef());
        CheckUserPolicy(context.Token(), attempts);
    });
    IAppPin& facet = *context.Token().GetPin();
    try {
        facet.VerifyPin(pin);
    } catch (const CAException& e) {
        Refused(e, facet, attempts);
    }
    context.Login().SetRole(kRoleUser);
    context.Login().StorePin(pin);
}

void PresentAdmin(CCardContext& context, ByteSpan response, PDWORD attempts) {
    IAppPin& facet = TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&]() -> IAppPin& {
        IAppPin& pin = *context.Token().GetPin();
        pin.SelectPin(pin.GetAdminKeyRef());
        return pin;
    });
    try {
        facet.ExternalAuthenticate(response);
    } catch (const CAException& e) {
        Refused(e, facet, attempts);
    }
    context.Login().SetRole(kRoleAdmin);
}

void Present(CCardContext& context, PCARD_DATA pCardData, LoginRole role, const BYTE* data, DWORD size,
             PDWORD attempts) {
    if (data == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const ByteSpan bytes(data, size);
    if (role == kRoleUser) {
        if (!PinLengthAllowed(size)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        PresentUser(context, pCardData, bytes, attempts);
    } else {
        if (size < kResponseSize) ThrowStatus(SCARD_W_WRONG_CHV);
        PresentAdmin(context, bytes, attempts);
    }
}

ByteVector PolicyFile(libapdu::IToken& token) {
    return ReadWhole(*token.GetFS(), pinpolicy::PolicyPath());
}

// The administrator's challenge-response, allowed only where the policy file opens with the
// record that enables it.
void AnswerChallenge(libapdu::IToken& token, ByteSpan response) {
    if (!pinpolicy::AdminChallengeLeads(PolicyFile(token))) ThrowStatus(SCARD_W_WRONG_CHV);
    IAppPin& pin = *token.GetPin();
    pin.SelectPin(pin.GetAdminKeyRef());
    pin.ExternalAuthenticate(response);
}

// An unblock may oblige the user to choose a new PIN before the next logon.
void ApplyChangeAfterUnblock(libapdu::IToken& token) {
    const ByteVector flag = pinpolicy::Find(PolicyFile(token), pinpolicy::kChangeAfterUnblock);
    if (flag.size() != 1 || flag[0] != 1) return;
    libapdu::IAppFS& fs = *token.GetFS();
    ByteVector state = ReadWhole(fs, pinpolicy::StatePath());
    const uint8_t mustChange = 1;
    pinpolicy::Update(state, pinpolicy::kMustChange, ByteSpan(&mustChange, 1));
    fs.WriteFile(state, 0);
}

libapdu::SecretBytes PinDigest(ByteSpan pin) {
    ByteVector value = digest::Digest(digest::DigestAlg::Sha1, pin);
    libapdu::SecretBytes kept(value.begin(), value.end());
    libapdu::Wipe(value);
    return kept;
}

// The history is written before the card's PIN changes: a change the card then refuses still
// leaves the new PIN remembered.
void ChangeUserPin(libapdu::IToken& token, ByteSpan newPin) {
    libapdu::IAppFS& fs = *token.GetFS();
    const uint8_t depth = pinpolicy::HistoryDepth(PolicyFile(token));
    if (depth != 0) {
        ByteVector history = ReadWhole(fs, pinpolicy::HistoryPath());
        const libapdu::SecretBytes digest = PinDigest(newPin);
        pinpolicy::Remember(history, depth, ByteSpan(digest.data(), digest.size()));
        fs.WriteFile(history, 0);
    }
    IAppPin& pin = *token.GetPin();
    pin.SelectPin(pin.GetUserPinRef());
    pin.ChangePin(newPin);
    fs.SelectPath(pinpolicy::StatePath());
    fs.WriteFile(pinpolicy::StateAfterChange(platform::LocalTime(std::time(nullptr))), 0);
}

// A session PIN: record 0090 (the biometric value) and record 0080 (the user's identity text).
constexpr uint16_t kSessionValueTag = 0x0090;
constexpr uint16_t kSessionIdentityTag = 0x0080;
constexpr size_t kSessionValueSize = 20;
constexpr size_t kIdentityOffset = 24;
// A ticket's record names the user in 16 characters; a generated session PIN is 42 bytes.
constexpr size_t kTicketIdentityChars = 16;
constexpr size_t kSessionPinSize = 3 + kSessionValueSize + 3 + kTicketIdentityChars;

// The card takes a session PIN as a session verify record behind its check value, in Base64.
libapdu::SecretBytes SessionVerifyText(libapdu::IToken& token, ByteSpan sessionPin) {
    const ByteVector value = pinpolicy::Find(sessionPin, kSessionValueTag);
    const ByteVector identity = pinpolicy::Find(sessionPin, kSessionIdentityTag);
    IAppPin& pin = *token.GetPin();
    const libapdu::WideString text = TranslateCardFailures({}, SCARD_E_INVALID_PARAMETER, [&] {
        return libapdu::DecodeText(ByteSpan(identity.data(), identity.size()), pin.GetPinParameter());
    });
    if (value.size() > kSessionValueSize || kIdentityOffset + 2 * text.size() > libapdu::kSessionRecordSize)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);

    const uint32_t kind = token.GetBio()->GetUserAuthKind();
    libapdu::SecretBytes data(libapdu::kCheckValueSize + 2 + libapdu::kSessionRecordSize, 0);
    uint8_t* checked = data.data() + libapdu::kCheckValueSize;
    checked[0] = 0x01;
    checked[1] = 0x81;
    uint8_t* record = checked + 2;
    for (size_t i = 0; i < 4; ++i) record[i] = static_cast<uint8_t>(kind >> (8 * i));
    std::copy(value.begin(), value.end(), record + 4);
    for (size_t i = 0; i < text.size(); ++i) {
        record[kIdentityOffset + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        record[kIdentityOffset + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    libapdu::DeriveKey24(ByteSpan(checked, data.size() - libapdu::kCheckValueSize), data.data(),
                         libapdu::kCheckValueSize);
    std::string encoded = libapdu::Base64Encode(ByteSpan(data.data(), data.size()));
    libapdu::SecretBytes verifyText(encoded.begin(), encoded.end());
    platform::SecureWipe(encoded.data(), encoded.size());
    return verifyText;
}

void PresentSessionPin(CCardContext& context, PCARD_DATA pCardData, ByteSpan sessionPin) {
    context.CreateChannel(pCardData);
    const CTransactionGuard transaction(pCardData->hScard);
    libapdu::SecretBytes verifyText;
    TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&] {
        context.Token().Select(libapdu::kAppletHelix);
        verifyText = SessionVerifyText(context.Token(), sessionPin);
    });
    const ByteSpan text(verifyText.data(), verifyText.size());
    TranslateCardFailures({{sw::kVerificationFailed, SCARD_W_WRONG_CHV},
                           {sw::kNotAllowed, SCARD_W_WRONG_CHV},
                           {sw::kAuthenticationBlocked, SCARD_W_CHV_BLOCKED}},
                          SCARD_E_UNEXPECTED, [&] { context.Token().GetPin()->VerifyPin(text); });
    context.Login().SetRole(kRoleUser);
    context.Login().StorePin(text);
}

// The biggest ticket buffer the module lends the outside library; a larger size is a failure.
constexpr uint32_t kLargestTicket = 0x10000;

// The outside library's authentication: its answer, the ticket in `ticket`.
uint32_t AuthenticateOutside(const char* reader, DWORD readerLength, ULONG_PTR parentWindow,
                             libapdu::SecretBytes& ticket) noexcept {
    try {
        CAuthLibrary library;
        uint32_t size = 0;
        (void)library.TicketSize(&size);
        if (size > kLargestTicket) return ~0u;
        ticket.assign(size, 0);
        const uint32_t result = library.Authenticate(reader, readerLength, parentWindow, ticket.data(), size);
        library.Free();
        return result;
    } catch (...) {
        return ~0u;
    }
}

// 00 90 14, the biometric value; 00 80 10, the identity's 16 characters narrowed to their low bytes.
libapdu::SecretBytes SessionPinOf(const libapdu::SecretBytes& record) {
    libapdu::SecretBytes pin;
    pin.reserve(kSessionPinSize);
    pin.insert(pin.end(), {0x00, 0x90, static_cast<uint8_t>(kSessionValueSize)});
    pin.insert(pin.end(), record.begin() + 4, record.begin() + 4 + kSessionValueSize);
    pin.insert(pin.end(), {0x00, 0x80, static_cast<uint8_t>(kTicketIdentityChars)});
    for (size_t i = 0; i < kTicketIdentityChars; ++i) pin.push_back(record[kIdentityOffset + 2 * i]);
    return pin;
}

}  // namespace

void CCardContext::GenerateSessionPin(PCARD_DATA pCardData, PBYTE* ppbSessionPin, PDWORD pcbSessionPin) {
    if (ppbSessionPin == nullptr || pcbSessionPin == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (m_biometricType == 0 || m_biometricType == kBioPinFirst) ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
    libapdu::SecretBytes ticket;
    HandOverCard(pCardData->hScard, [&](const char* reader, DWORD readerLength) {
        return AuthenticateOutside(reader, readerLength, m_parentWindow, ticket);
    });
    // Read before it is presented: a ticket that cannot be read costs no PIN try. The decoder's
    // failures include a bare 0 (no element 01), which must not reach the host as success.
    libapdu::SecretBytes record;
    try {
        record = libapdu::DecodeTicket(ByteSpan(ticket.data(), ticket.size()));
    } catch (...) {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    CreateChannel(pCardData);
    TranslateCardFailures(
        {{sw::kVerificationFailed, SCARD_W_WRONG_CHV}, {sw::kAuthenticationBlocked, SCARD_W_CHV_BLOCKED}},
        SCARD_E_UNEXPECTED, [&] {
            m_token->Select(libapdu::kAppletHelix);
            m_token->GetPin()->VerifyPin(ByteSpan(ticket.data(), ticket.size()));
        });
    m_login->SetRole(kRoleUser);
    m_login->StorePin(ByteSpan(ticket.data(), ticket.size()));
    const libapdu::SecretBytes sessionPin = SessionPinOf(record);
    *ppbSessionPin = CopyOut(*pCardData, ByteSpan(sessionPin.data(), sessionPin.size()));
    *pcbSessionPin = static_cast<DWORD>(sessionPin.size());
}

void CCardContext::ReverifyCachedPin() {
    if (!m_login->HasPin()) return;
    try {
        IAppPin& pin = *Token().GetPin();
        if (m_biometricType == kBioPinFirst) pin.SelectPin(pin.GetUserPinRef());
        pin.VerifyPin(ByteSpan(m_login->cachedPin.data(), m_login->cachedPin.size()));
    } catch (...) {
        ThrowStatus(SCARD_W_SECURITY_VIOLATION);
    }
}

void CCardContext::AuthenticatePin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin, DWORD cbPin,
                                   PDWORD pcAttemptsRemaining) {
    Present(*this, pCardData, RoleOf(pwszUserId), pbPin, cbPin, pcAttemptsRemaining);
}

void CCardContext::GetChallenge(PCARD_DATA pCardData, PBYTE* ppbChallengeData, PDWORD pcbChallengeData) {
    if (ppbChallengeData == nullptr || pcbChallengeData == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&] {
        const auto transaction = SelectHeld(pCardData);
        if (!pinpolicy::AdminChallengeRecordEnabled(PolicyFile(Token()))) ThrowStatus(SCARD_F_INTERNAL_ERROR);
        const ByteVector challenge = Token().GetPin()->GetChallenge();
        *ppbChallengeData = CopyOut(*pCardData, ByteSpan(challenge.data(), challenge.size()));
        *pcbChallengeData = static_cast<DWORD>(challenge.size());
    });
    // A new challenge ends any administrator login.
    m_login->ClearRole(kRoleAdmin);
}

void CCardContext::GetChallengeEx(PCARD_DATA pCardData, PIN_ID PinId, PBYTE* ppbChallengeData,
                                  PDWORD pcbChallengeData, DWORD dwFlags) {
    if (ppbChallengeData == nullptr || pcbChallengeData == nullptr || dwFlags != 0 || PinId != ROLE_ADMIN)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    GetChallenge(pCardData, ppbChallengeData, pcbChallengeData);
}

void CCardContext::AuthenticateChallenge(PCARD_DATA pCardData, PBYTE pbResponseData, DWORD cbResponseData,
                                         PDWORD pcAttemptsRemaining) {
    if (pbResponseData == nullptr || cbResponseData < kResponseSize) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const CTransactionGuard transaction(pCardData->hScard);
    try {
        AnswerChallenge(Token(), ByteSpan(pbResponseData, cbResponseData));
    } catch (const CAException&) {
        ReportTries(*Token().GetPin(), pcAttemptsRemaining);
        ThrowStatus(SCARD_W_WRONG_CHV);
    }
    m_login->SetRole(kRoleAdmin);
}

void CCardContext::UnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                              DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                              DWORD cRetryCount, DWORD dwFlags) {
    if (pwszUserId == nullptr || pbAuthenticationData == nullptr || pbNewPinData == nullptr ||
        cRetryCount != 0 || cbAuthenticationData < kResponseSize || cbNewPinData == 0 ||
        dwFlags != CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE) {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    RequireUserTarget(pwszUserId);
    TranslateCardFailures({}, SCARD_W_WRONG_CHV, [&] {
        const CTransactionGuard transaction(pCardData->hScard);
        AnswerChallenge(Token(), ByteSpan(pbAuthenticationData, cbAuthenticationData));
        IAppPin& pin = *Token().GetPin();
        pin.SelectPin(pin.GetUserPinRef());
        pin.UnblockPin(ByteSpan(pbNewPinData, cbNewPinData));
        m_login->ClearRole(kRoleUser);
        ApplyChangeAfterUnblock(Token());
    });
}

void CCardContext::ChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                                       DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                       DWORD cbNewAuthenticator, DWORD cRetryCount, DWORD dwFlags,
                                       PDWORD pcAttemptsRemaining) {
    if (pwszUserId == nullptr || pbCurrentAuthenticator == nullptr || pbNewAuthenticator == nullptr ||
        cRetryCount != 0) {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    RequireUserTarget(pwszUserId);
    if ((dwFlags != CARD_AUTHENTICATE_PIN_PIN && dwFlags != CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE) ||
        !PinLengthAllowed(cbCurrentAuthenticator) || !PinLengthAllowed(cbNewAuthenticator)) {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    const ByteSpan current(pbCurrentAuthenticator, cbCurrentAuthenticator);
    if (dwFlags == CARD_AUTHENTICATE_PIN_PIN) {
        IAppPin* pin = nullptr;
        try {
            const auto transaction = SelectHeld(pCardData);
            pin = Token().GetPin();
            pin->SelectPin(pin->GetUserPinRef());
            pin->VerifyPin(current);
        } catch (const CAException& e) {
            if (pin != nullptr) ReportTries(*pin, pcAttemptsRemaining);
            ThrowStatus(Blocked(e) ? SCARD_W_CHV_BLOCKED : SCARD_W_WRONG_CHV);
        }
        m_login->SetRole(kRoleUser);
    } else {
        try {
            const CTransactionGuard transaction(pCardData->hScard);
            AnswerChallenge(Token(), current);
        } catch (const CAException&) {
            ReportTries(*Token().GetPin(), pcAttemptsRemaining);
            ThrowStatus(SCARD_W_WRONG_CHV);
        }
        m_login->SetRole(kRoleAdmin);
    }
    TranslateCardFailures({}, SCARD_E_UNEXPECTED,
                          [&] { ChangeUserPin(Token(), ByteSpan(pbNewAuthenticator, cbNewAuthenticator)); });
}

void CCardContext::ChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                                         PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                                         PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                                         DWORD cRetryCount, PDWORD pcAttemptsRemaining) {
    if (cRetryCount != 0 || (dwAuthenticatingPinId != ROLE_USER && dwAuthenticatingPinId != ROLE_ADMIN) ||
        dwTargetPinId != ROLE_USER || pbAuthenticatingPinData == nullptr || pbTargetData == nullptr ||
        (dwFlags != PIN_CHANGE_FLAG_CHANGEPIN && dwFlags != PIN_CHANGE_FLAG_UNBLOCK) ||
        !PinLengthAllowed(cbTargetData) || cbAuthenticatingPinData < kMinPin ||
        cbAuthenticatingPinData > kMaxAuthenticatingData) {
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    WCHAR user[] = HELIX_WTEXT("user");
    if (dwFlags == PIN_CHANGE_FLAG_CHANGEPIN) {
        const DWORD how = dwAuthenticatingPinId == ROLE_USER ? CARD_AUTHENTICATE_PIN_PIN
                                                             : CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE;
        ChangeAuthenticator(pCardData, user, pbAuthenticatingPinData, cbAuthenticatingPinData, pbTargetData,
                            cbTargetData, cRetryCount, how, pcAttemptsRemaining);
        return;
    }
    if (dwAuthenticatingPinId != ROLE_ADMIN) ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
    const bool enabled = TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&] {
        const CTransactionGuard transaction(pCardData->hScard);
        return pinpolicy::AdminChallengeLeads(PolicyFile(Token()));
    });
    if (!enabled) ThrowStatus(SCARD_F_INTERNAL_ERROR);
    UnblockPin(pCardData, user, pbAuthenticatingPinData, cbAuthenticatingPinData, pbTargetData, cbTargetData,
               0, CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
}

void CCardContext::Deauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags) {
    if (dwFlags != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const LoginRole role = RoleOf(pwszUserId);
    try {
        const auto transaction = SelectHeld(pCardData);
        IAppPin& pin = *Token().GetPin();
        pin.SelectPin(role == kRoleUser ? pin.GetUserPinRef() : pin.GetAdminKeyRef());
        pin.Logout();
    } catch (...) {
        // The host forgets the login whatever the card says.
    }
    m_login->ClearRole(role);
}

void CCardContext::DeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags) {
    if (PinId < 1 || PinId > kHighestPinSet) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    WCHAR user[] = HELIX_WTEXT("user");
    WCHAR admin[] = HELIX_WTEXT("admin");
    if ((PinId & kPinSetUser) != 0) Deauthenticate(pCardData, user, dwFlags);
    if ((PinId & kPinSetAdmin) != 0) Deauthenticate(pCardData, admin, dwFlags);
}

void CCardContext::AuthenticateEx(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags, PBYTE pbPinData,
                                  DWORD cbPinData, PBYTE* ppbSessionPin, PDWORD pcbSessionPin,
                                  PDWORD pcAttemptsRemaining) {
    if (PinId != ROLE_USER && PinId != ROLE_ADMIN) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    switch (dwFlags) {
        case 0:
        case CARD_PIN_SILENT_CONTEXT:
        case CARD_AUTHENTICATE_GENERATE_SESSION_PIN:
            break;
        case CARD_AUTHENTICATE_SESSION_PIN:
            if (pbPinData == nullptr || cbPinData == 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
            break;
        default:
            ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }
    if (PinId == ROLE_ADMIN) {
        Present(*this, pCardData, kRoleAdmin, pbPinData, cbPinData, pcAttemptsRemaining);
    } else if (dwFlags == 0 || dwFlags == CARD_PIN_SILENT_CONTEXT) {
        Present(*this, pCardData, kRoleUser, pbPinData, cbPinData, pcAttemptsRemaining);
    } else if (dwFlags == CARD_AUTHENTICATE_SESSION_PIN) {
        PresentSessionPin(*this, pCardData, ByteSpan(pbPinData, cbPinData));
    } else {
        GenerateSessionPin(pCardData, ppbSessionPin, pcbSessionPin);
    }
}
