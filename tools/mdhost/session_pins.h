// The session-PIN scenario: what the logon screen does with a biometric card. A session PIN is
// generated through the outside authentication library (its test stand-in, told what to answer),
// then presented in a new context in place of the PIN; an altered one is refused.
#pragma once

#include <string>

#include "mdhost/session.h"
#include "mdhost/steps.h"

namespace mdhost {

struct SessionPinOptions {
    std::string library;  // the stand-in library's file; loaded after the step that runs without it
    std::string pin;      // the identity its tickets carry
    std::string kind;     // the biometric type its tickets carry, in hex
};

StepsReport RunSessionPinScenario(CMinidriverSession& session, const SessionPinOptions& options);

}  // namespace mdhost
