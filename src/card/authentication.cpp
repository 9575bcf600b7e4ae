// PIN roles and authentication. Only the re-presentation of the cached user PIN is offered by
// this build; the other operations answer that the feature is missing.
#include "card/card_context.h"
#include "libapdu/token/failure.h"

namespace {

// Authentication kind under which the user PIN must be selected before it is verified.
constexpr DWORD kBioPinFirst = 0x20;

}  // namespace

void CCardContext::ReverifyCachedPin() {
    if (!m_login->HasPin()) return;
    try {
        libapdu::IAppPin& pin = *Token().GetPin();
        if (m_biometricType == kBioPinFirst) pin.SelectPin(pin.GetUserPinRef());
        pin.VerifyPin(libapdu::ByteSpan(m_login->cachedPin.data(), m_login->cachedPin.size()));
    } catch (...) {
        ThrowStatus(SCARD_W_SECURITY_VIOLATION);
    }
}

void CCardContext::AuthenticatePin(PCARD_DATA, LPWSTR, PBYTE, DWORD, PDWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::GetChallenge(PCARD_DATA, PBYTE*, PDWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::AuthenticateChallenge(PCARD_DATA, PBYTE, DWORD, PDWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::UnblockPin(PCARD_DATA, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::ChangeAuthenticator(PCARD_DATA, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD, DWORD, PDWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::Deauthenticate(PCARD_DATA, LPWSTR, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::GetChallengeEx(PCARD_DATA, PIN_ID, PBYTE*, PDWORD, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::AuthenticateEx(PCARD_DATA, PIN_ID, DWORD, PBYTE, DWORD, PBYTE*, PDWORD, PDWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::ChangeAuthenticatorEx(PCARD_DATA, DWORD, PIN_ID, PBYTE, DWORD, PIN_ID, PBYTE, DWORD, DWORD,
                                         PDWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::DeauthenticateEx(PCARD_DATA, PIN_SET, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}
