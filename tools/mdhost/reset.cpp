#include "mdhost/reset.h"

#include "mdhost/status_names.h"

namespace mdhost {

ResetReport RunResetScenario(CMinidriverSession& session, ICardReader& reader) {
    ResetReport report;
    CARD_FREE_SPACE_INFO space{};
    report.before = session.QueryFreeSpace(space);
    report.reset = reader.ResetByAnotherApplication();
    report.afterReset = session.QueryFreeSpace(space);
    report.reconnect = session.Reconnect();
    report.afterReconnect = session.QueryFreeSpace(space);
    return report;
}

bool ResetBehaved(const ResetReport& report) {
    return report.before == SCARD_S_SUCCESS && report.reset == SCARD_S_SUCCESS &&
           report.afterReset != SCARD_S_SUCCESS && report.reconnect == SCARD_S_SUCCESS &&
           report.afterReconnect == SCARD_S_SUCCESS;
}

std::string ResetText(const ResetReport& report, const HostReport& host) {
    std::string text = HostHeading(host);
    text += "CardQueryFreeSpace before the reset:    " + StatusText(report.before) + "\n";
    text += "another application resets the card:   " + StatusText(report.reset) + "\n";
    text += "CardQueryFreeSpace after the reset:     " + StatusText(report.afterReset) + "\n";
    text += "the host reconnects (SCardReconnect):   " + StatusText(report.reconnect) + "\n";
    text += "CardQueryFreeSpace after reconnecting:  " + StatusText(report.afterReconnect) + "\n";
    text += ResetBehaved(report)
                ? "the module recovered after the reconnection\n"
                : "UNEXPECTED: the calls did not fail and recover as a reset should make them\n";
    return text + HostText(host);
}

std::string ResetJson(const ResetReport& report, const HostReport& host) {
    JsonWriter json;
    json.BeginObject();
    WriteHostHeading(json, host);
    json.String("before", HexStatus(report.before))
        .String("reset", HexStatus(report.reset))
        .String("after_reset", HexStatus(report.afterReset))
        .String("reconnect", HexStatus(report.reconnect))
        .String("after_reconnect", HexStatus(report.afterReconnect))
        .Bool("recovered", ResetBehaved(report));
    json.BeginObject("summary");
    WriteHostJson(json, host);
    json.EndObject().EndObject();
    return json.Text();
}

}  // namespace mdhost
