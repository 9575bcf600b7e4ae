// The "logon" scenario: the user's PIN right, a wrong one (the tries left shown), the right one
// again, deauthentication, and a write that needs the user refused after it. The write puts
// cardid back as it was read, so the card is left unchanged.
#pragma once

#include <string>

#include "mdhost/session.h"
#include "mdhost/steps.h"

namespace mdhost {

StepsReport RunLogonScenario(CMinidriverSession& session, const std::string& pin);

}  // namespace mdhost
