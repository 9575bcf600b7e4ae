// The "properties" scenario: every card property read as a certificate tool lists them, then each
// settable one written; the card identifier is written as it was read (as the user) and read back.
#pragma once

#include <string>

#include "mdhost/session.h"
#include "mdhost/steps.h"

namespace mdhost {

StepsReport RunPropertiesScenario(CMinidriverSession& session, const std::string& pin);

}  // namespace mdhost
