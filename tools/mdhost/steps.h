// Scenarios that are a sequence of calls, each with the status it should answer: what the host
// called, what came back, and what it showed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mdhost/apdu_log.h"
#include "mdhost/scinfo.h"

namespace mdhost {

struct Step {
    std::string call;
    DWORD status = 0;
    DWORD expected = 0;
    std::string shown;   // what the call handed back, in words or hex; empty when nothing
    bool agreed = true;  // what came back is what the scenario expected
    std::optional<ApduCount> apdus = std::nullopt;  // what the module exchanged with the card for this call
};

struct StepsReport {
    std::vector<Step> steps;
};

// Adds steps to a report, each with the APDUs the module logged since the step before.
class CStepRecorder {
public:
    CStepRecorder(StepsReport& report, const CApduLog& log)
        : m_report(report), m_log(log), m_mark(log.Mark()) {}
    const Step& Add(Step step);

private:
    StepsReport& m_report;
    const CApduLog& m_log;
    uint64_t m_mark;
};

// Every step answered as expected.
bool StepsBehaved(const StepsReport& report);

std::string StepsText(const StepsReport& report, const HostReport& host);
std::string StepsJson(const StepsReport& report, const HostReport& host);

}  // namespace mdhost
