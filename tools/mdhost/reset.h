// The "reset" scenario: another application resets the card between two calls of the host.
// The call after the reset fails with the module's answer to a reset card; the host then
// reconnects as the Windows stack does, and the same call works again. Each call is one that
// always goes to the card (free space), so no cache can hide the reset.
#pragma once

#include <string>

#include "mdhost/scinfo.h"

namespace mdhost {

struct ResetReport {
    DWORD before = 0;          // the call before the reset
    DWORD reset = 0;           // the other application's reset
    DWORD afterReset = 0;      // the same call, the reset not yet seen by the host
    DWORD reconnect = 0;       // the host's reconnection
    DWORD afterReconnect = 0;  // the same call once more
};

ResetReport RunResetScenario(CMinidriverSession& session, ICardReader& reader);
// Success before, a failure right after the reset, success after the reconnection.
bool ResetBehaved(const ResetReport& report);

std::string ResetText(const ResetReport& report, const HostReport& host);
std::string ResetJson(const ResetReport& report, const HostReport& host);

}  // namespace mdhost
