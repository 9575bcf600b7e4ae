#include "mdhost/reset.h"

#include "mdhost/status_names.h"

namespace mdhost {

ResetReport RunResetScenario(CMinidriverSession& session, ICardReader& reader, const std::string& pin) {
    ResetReport report;
    Bytes cardid;
    report.before = session.ReadFile(nullptr, "cardid", cardid);
    DWORD attempts = 0;
    report.logon = session.AuthenticateUser(Bytes(pin.begin(), pin.end()), attempts);
    report.reset = reader.ResetByAnotherApplication();
    report.afterReset = session.WriteFile(nullptr, "cardid", cardid);
    Bytes atr;
    report.hostSees = reader.Atr(atr);
    report.reconnect = session.Reconnect();
    report.afterReconnect = session.WriteFile(nullptr, "cardid", cardid);
    return report;
}

bool ResetBehaved(const ResetReport& report) {
    return report.before == SCARD_S_SUCCESS && report.logon == SCARD_S_SUCCESS &&
           report.reset == SCARD_S_SUCCESS && report.afterReset != SCARD_S_SUCCESS &&
           report.hostSees == SCARD_W_RESET_CARD && report.reconnect == SCARD_S_SUCCESS &&
           report.afterReconnect == SCARD_S_SUCCESS;
}

std::string ResetText(const ResetReport& report, const HostReport& host) {
    std::string text = HostHeading(host);
    text += "CardReadFile cardid before the reset:        " + StatusText(report.before) + "\n";
    text += "CardAuthenticatePin user:                    " + StatusText(report.logon) + "\n";
    text += "another application resets the card:        " + StatusText(report.reset) + "\n";
    text += "CardWriteFile cardid after the reset:        " + StatusText(report.afterReset) + "\n";
    text += "the host's SCardStatus:                      " + StatusText(report.hostSees) + "\n";
    text += "the host reconnects (SCardReconnect):        " + StatusText(report.reconnect) + "\n";
    text += "CardWriteFile cardid after reconnecting:     " + StatusText(report.afterReconnect) + "\n";
    text += ResetBehaved(report)
                ? "the module recovered after the reconnection, the user still logged on\n"
                : "UNEXPECTED: the calls did not fail and recover as a reset should make them\n";
    return text + HostText(host);
}

std::string ResetJson(const ResetReport& report, const HostReport& host) {
    JsonWriter json;
    json.BeginObject();
    WriteHostHeading(json, host);
    json.String("before", HexStatus(report.before))
        .String("logon", HexStatus(report.logon))
        .String("reset", HexStatus(report.reset))
        .String("after_reset", HexStatus(report.afterReset))
        .String("host_sees", HexStatus(report.hostSees))
        .String("reconnect", HexStatus(report.reconnect))
        .String("after_reconnect", HexStatus(report.afterReconnect))
        .Bool("recovered", ResetBehaved(report));
    json.BeginObject("summary");
    WriteHostJson(json, host);
    json.EndObject().EndObject();
    return json.Text();
}

}  // namespace mdhost
