#include "mdhost/logon.h"

#include "mdhost/hex.h"

namespace mdhost {

StepsReport RunLogonScenario(CMinidriverSession& session, const std::string& pin) {
    StepsReport report;
    const Bytes right(pin.begin(), pin.end());
    Bytes wrong = right;
    if (!wrong.empty()) wrong.back() ^= 0x01;

    const auto logon = [&](const char* call, const Bytes& value, DWORD expected) {
        DWORD attempts = 0;
        const DWORD rv = session.AuthenticateUser(value, attempts);
        const bool refused = rv == SCARD_W_WRONG_CHV || rv == SCARD_W_CHV_BLOCKED;
        report.steps.push_back(
            {call, rv, expected, refused ? std::to_string(attempts) + " attempts remaining" : ""});
    };
    Bytes cardid;
    const DWORD read = session.ReadFile(nullptr, "cardid", cardid);
    report.steps.push_back({"CardReadFile cardid", read, SCARD_S_SUCCESS, HexBytes(cardid)});
    logon("CardAuthenticatePin user, the right PIN", right, SCARD_S_SUCCESS);
    report.steps.push_back({"CardWriteFile cardid as it was", session.WriteFile(nullptr, "cardid", cardid),
                            SCARD_S_SUCCESS, ""});
    logon("CardAuthenticatePin user, a wrong PIN", wrong, SCARD_W_WRONG_CHV);
    logon("CardAuthenticatePin user, the right PIN", right, SCARD_S_SUCCESS);
    report.steps.push_back({"CardDeauthenticate user", session.DeauthenticateUser(), SCARD_S_SUCCESS, ""});
    report.steps.push_back({"CardWriteFile cardid after it", session.WriteFile(nullptr, "cardid", cardid),
                            SCARD_W_SECURITY_VIOLATION, ""});
    return report;
}

}  // namespace mdhost
