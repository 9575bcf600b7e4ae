#include "mdhost/session_pins.h"

#include <memory>
#include <stdexcept>

#include "mdhost/hex.h"
#include "mdhost/host_os.h"

namespace mdhost {

namespace {

// What the stand-in library answers to tqauth_Auth.
constexpr const char* kAnswerSuccess = "0";
constexpr const char* kAnswerCancel = "1";
constexpr const char* kAnswerFailure = "2";

std::string Shown(const Bytes& sessionPin) {
    return sessionPin.empty() ? "" : std::to_string(sessionPin.size()) + "-byte session PIN";
}

}  // namespace

StepsReport RunSessionPinScenario(CMinidriverSession& session, const SessionPinOptions& options) {
    StepsReport report;
    const auto step = [&](const std::string& call, DWORD status, DWORD expected,
                          const std::string& shown = "") {
        report.steps.push_back({call, status, expected, shown});
    };
    const auto generate = [&](const std::string& call, DWORD expected, Bytes& sessionPin) {
        const DWORD rv = session.GenerateSessionPin(sessionPin);
        step("CardAuthenticateEx user, generate a session PIN, " + call, rv, expected, Shown(sessionPin));
        return rv;
    };

    Bytes strength;
    const DWORD read = session.GetProperty(CP_CARD_PIN_STRENGTH_VERIFY, ROLE_USER, sizeof(DWORD), strength);
    const bool offered = read == SCARD_S_SUCCESS && strength.size() == sizeof(DWORD) &&
                         (strength[0] & CARD_PIN_STRENGTH_SESSION_PIN) != 0;
    step("CardGetProperty CP_CARD_PIN_STRENGTH_VERIFY", read, SCARD_S_SUCCESS,
         offered ? "session PIN" : "no session PIN");
    Bytes sessionPin;
    if (!offered) {
        generate("a card without a biometric object", SCARD_E_UNSUPPORTED_FEATURE, sessionPin);
        return report;
    }

    os::SetEnv("TQAUTH_IDENTITY", options.pin);
    os::SetEnv("TQAUTH_KIND", options.kind);
    os::SetEnv("TQAUTH_RESULT", kAnswerSuccess);
    generate("the library missing", SCARD_E_UNEXPECTED, sessionPin);
    // Loaded by the host first, the module's own load by name finds it.
    std::unique_ptr<os::CLibrary> library;
    try {
        library = std::make_unique<os::CLibrary>(options.library);
    } catch (const std::runtime_error& e) {
        step("load " + options.library + ": " + e.what(), SCARD_E_FILE_NOT_FOUND, SCARD_S_SUCCESS);
        return report;
    }
    os::SetEnv("TQAUTH_RESULT", kAnswerCancel);
    generate("the user cancels", SCARD_W_CANCELLED_BY_USER, sessionPin);
    os::SetEnv("TQAUTH_RESULT", kAnswerFailure);
    generate("the library fails", SCARD_E_UNEXPECTED, sessionPin);
    os::SetEnv("TQAUTH_RESULT", kAnswerSuccess);
    generate("the user authenticated", SCARD_S_SUCCESS, sessionPin);

    Bytes cardid;
    step("CardReadFile cardid", session.ReadFile(nullptr, "cardid", cardid), SCARD_S_SUCCESS,
         HexBytes(cardid));
    step("CardWriteFile cardid as it was", session.WriteFile(nullptr, "cardid", cardid), SCARD_S_SUCCESS);
    step("CardDeleteContext", session.DeleteContext(), SCARD_S_SUCCESS);

    // Another process of the logon takes the card with the session PIN alone.
    step("CardAcquireContext, a new context", session.Acquire(), SCARD_S_SUCCESS);
    step("CardWriteFile cardid before the session PIN", session.WriteFile(nullptr, "cardid", cardid),
         SCARD_W_SECURITY_VIOLATION);
    step("CardAuthenticateEx user, the session PIN", session.AuthenticateSessionPin(sessionPin),
         SCARD_S_SUCCESS);
    step("CardWriteFile cardid as it was", session.WriteFile(nullptr, "cardid", cardid), SCARD_S_SUCCESS);
    step("CardDeauthenticate user", session.DeauthenticateUser(), SCARD_S_SUCCESS);
    Bytes altered = sessionPin;
    if (altered.size() > 3) altered[3] ^= 0x01;  // the first byte of the biometric value
    step("CardAuthenticateEx user, the session PIN altered", session.AuthenticateSessionPin(altered),
         SCARD_W_WRONG_CHV);
    // A right one again gives the card its tries back.
    step("CardAuthenticateEx user, the session PIN", session.AuthenticateSessionPin(sessionPin),
         SCARD_S_SUCCESS);
    step("CardDeauthenticate user", session.DeauthenticateUser(), SCARD_S_SUCCESS);
    for (const char* name : {"TQAUTH_IDENTITY", "TQAUTH_KIND", "TQAUTH_RESULT"}) os::UnsetEnv(name);
    return report;
}

}  // namespace mdhost
