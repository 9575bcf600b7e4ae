// The "reset" scenario: another application resets the card while the user is logged on. The host
// reads the card identifier and presents the user PIN; then the card is reset, and a write that
// needs the user (the identifier written back as it was, which always goes to the card) fails
// with the module's answer to a reset card, while the host's own SCardStatus answers the reset code.
// The host reconnects as the Windows stack does, and the
// same write works again without a new logon: the module presents the cached PIN to the card,
// which forgot it in the reset.
#pragma once

#include <string>

#include "mdhost/scinfo.h"

namespace mdhost {

struct ResetReport {
    DWORD before = 0;          // the identifier read before the reset
    DWORD logon = 0;           // the user's PIN
    DWORD reset = 0;           // the other application's reset
    DWORD afterReset = 0;      // the write, the reset not yet seen by the host
    DWORD hostSees = 0;        // the host's SCardStatus on its handle
    DWORD reconnect = 0;       // the host's reconnection
    DWORD afterReconnect = 0;  // the same write once more
};

ResetReport RunResetScenario(CMinidriverSession& session, ICardReader& reader, const std::string& pin);
// Success up to the reset, a failure right after it and the reset code to the host, success after
// the reconnection.
bool ResetBehaved(const ResetReport& report);

std::string ResetText(const ResetReport& report, const HostReport& host);
std::string ResetJson(const ResetReport& report, const HostReport& host);

}  // namespace mdhost
