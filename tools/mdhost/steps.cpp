#include "mdhost/steps.h"

#include <algorithm>
#include <utility>

#include "mdhost/status_names.h"

namespace mdhost {

const Step& CStepRecorder::Add(Step step) {
    step.apdus = m_log.CountSince(m_mark);
    m_mark = m_log.Mark();
    m_report.steps.push_back(std::move(step));
    return m_report.steps.back();
}

bool StepsBehaved(const StepsReport& report) {
    return std::all_of(report.steps.begin(), report.steps.end(),
                       [](const Step& s) { return s.status == s.expected && s.agreed; });
}

std::string StepsText(const StepsReport& report, const HostReport& host) {
    std::string text = HostHeading(host);
    size_t width = 0;
    for (const Step& s : report.steps) width = std::max(width, s.call.size());
    for (const Step& s : report.steps) {
        text += s.call + std::string(width - s.call.size() + 2, ' ') + StatusText(s.status);
        if (!s.shown.empty()) text += "  " + s.shown;
        if (s.status != s.expected) text += "  UNEXPECTED: should be " + StatusText(s.expected);
        if (!s.agreed) text += "  UNEXPECTED";
        text += "\n";
    }
    return text + HostText(host);
}

std::string StepsJson(const StepsReport& report, const HostReport& host) {
    JsonWriter json;
    json.BeginObject();
    WriteHostHeading(json, host);
    json.BeginArray("steps");
    for (const Step& s : report.steps) {
        json.BeginObject()
            .String("call", s.call)
            .String("status", HexStatus(s.status))
            .String("expected", HexStatus(s.expected))
            .String("shown", s.shown)
            .Bool("agreed", s.agreed);
        if (s.apdus) {
            json.Number("apdus", s.apdus->commands)
                .Number("bytes_sent", s.apdus->bytesSent)
                .Number("bytes_received", s.apdus->bytesReceived);
        }
        json.EndObject();
    }
    json.EndArray().Bool("as_expected", StepsBehaved(report));
    json.BeginObject("summary");
    WriteHostJson(json, host);
    json.EndObject().EndObject();
    return json.Text();
}

}  // namespace mdhost
