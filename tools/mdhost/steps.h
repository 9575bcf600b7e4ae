// Scenarios that are a sequence of calls, each with the status it should answer: what the host
// called, what came back, and what it showed.
#pragma once

#include <string>
#include <vector>

#include "mdhost/scinfo.h"

namespace mdhost {

struct Step {
    std::string call;
    DWORD status = 0;
    DWORD expected = 0;
    std::string shown;   // what the call handed back, in words or hex; empty when nothing
    bool agreed = true;  // what came back is what the scenario expected
};

struct StepsReport {
    std::vector<Step> steps;
};

// Every step answered as expected.
bool StepsBehaved(const StepsReport& report);

std::string StepsText(const StepsReport& report, const HostReport& host);
std::string StepsJson(const StepsReport& report, const HostReport& host);

}  // namespace mdhost
