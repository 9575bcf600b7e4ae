// The "pin" scenario: the user's PIN changed and changed back, the administrator's
// challenge-response, the PIN blocked with wrong PINs and unblocked by the administrator; on a card
// with a PIN policy, the history refusing a recent PIN and the change demanded after an unblock;
// on a card whose PIN has expired, the logon refused without a try spent. Every run leaves the
// card with the PIN it started with and its tries full, so runs can follow one another.
#pragma once

#include <string>

#include "mdhost/apdu_log.h"
#include "mdhost/session.h"
#include "mdhost/steps.h"

namespace mdhost {

// The card's PIN policy: none; a history, a maximum age not reached and a change demanded after
// an unblock; or the same with the last change older than the maximum age.
enum class PinPolicy { kNone, kOn, kExpired };

struct PinScenario {
    std::string pin;
    Bytes adminKey;
    PinPolicy policy = PinPolicy::kNone;
};

// Stops at the first step that does not answer as expected, so a card that is not the one the
// scenario was told of is not driven into a blocked PIN.
StepsReport RunPinScenario(CMinidriverSession& session, const PinScenario& scenario, const CApduLog& log);

// The administrator's response: 3DES-ECB of the challenge under the 24-byte key; empty when the
// key or the challenge has the wrong length.
Bytes AdminResponse(const Bytes& key, const Bytes& challenge);

}  // namespace mdhost
