#include "mdlog/render.h"

#include <algorithm>
#include <iomanip>
#include <ostream>

#include "mdhost/json.h"
#include "mdhost/status_names.h"
#include "mdlog/commands.h"

namespace mdlog {

namespace {

using mdhost::JsonQuote;

// Chained pieces carry the chaining bit until the last, which has the same instruction
// without it; GET RESPONSE and corrected retries in between do not break a chain.
std::vector<std::pair<size_t, size_t>> ChainPositions(const std::vector<CommandInfo>& infos,
                                                      const std::vector<Exchange>& exchanges) {
    std::vector<std::pair<size_t, size_t>> positions(infos.size(), {0, 0});
    std::vector<size_t> run;
    const auto settle = [&](size_t total) {
        for (size_t k = 0; k < run.size(); ++k) positions[run[k]] = {k + 1, total};
        run.clear();
    };
    for (size_t i = 0; i < infos.size(); ++i) {
        if (exchanges[i].form != CommandForm::Plain) continue;
        if (!run.empty() && infos[i].ins != infos[run.front()].ins) settle(0);
        if (infos[i].chained) {
            run.push_back(i);
        } else if (!run.empty()) {
            run.push_back(i);
            settle(run.size());
        }
    }
    settle(0);
    return positions;
}

}  // namespace

bool Filter::Accepts(const Call& c) const {
    if (pid && c.pid != *pid) return false;
    if (call && c.name != *call) return false;
    if (failedOnly && !c.Failed()) return false;
    return true;
}

std::vector<ExchangeView> Describe(const Call& call) {
    std::vector<CommandInfo> infos;
    infos.reserve(call.exchanges.size());
    for (const Exchange& e : call.exchanges) infos.push_back(DescribeCommand(e.command));
    const auto positions = ChainPositions(infos, call.exchanges);

    std::vector<ExchangeView> views;
    uint8_t origin = 0;  // the instruction whose answer GET RESPONSE fetches
    for (size_t i = 0; i < call.exchanges.size(); ++i) {
        const Exchange& e = call.exchanges[i];
        const CommandInfo& info = infos[i];
        ExchangeView view;
        view.known = info.known;
        view.name = info.name;
        if (e.form == CommandForm::CorrectedLe) view.name += " (sent again with the card's Le)";
        if (positions[i].first != 0) {
            view.name += positions[i].second != 0 ? ", chained piece " + std::to_string(positions[i].first) +
                                                        " of " + std::to_string(positions[i].second)
                                                  : ", chained piece " + std::to_string(positions[i].first) +
                                                        " of a chain that does not end";
        }
        if (info.ins != kInsGetResponse) origin = info.ins;
        view.command = HexText(e.command);
        if (e.response) {
            view.response = HexText(*e.response);
            view.answer = DescribeResponse(origin, *e.response);
        } else if (e.transmitError) {
            view.answer = "the reader failed the exchange: " + mdhost::StatusText(*e.transmitError);
        } else {
            view.answer = "no answer in the log";
        }
        views.push_back(std::move(view));
    }
    return views;
}

std::string OutcomeText(const Call& call) {
    switch (call.outcome) {
        case Outcome::Success:
            return call.line == 0 ? "" : "success";
        case Outcome::Unknown:
            return "Unknown failure.: " + mdhost::StatusText(call.code);
        case Outcome::Unsupported:
            return "not offered: " + mdhost::StatusText(call.code);
        case Outcome::Failed:
        default:
            return "Exception: " + mdhost::StatusText(call.code);
    }
}

void PrintStory(const Call& call, std::ostream& out) {
    std::string head = call.time.empty() ? "" : call.time + "  ";
    if (call.line != 0) {
        head += "P:" + std::to_string(call.pid) + " T:" + std::to_string(call.tid);
        if (!call.process.empty()) head += " (" + call.process + ")";
        head += "  " + call.name + "(" + call.arguments + ")";
    } else {
        head += call.name;
    }
    out << head << "  [line " << call.line << "]\n";
    for (const ExchangeView& v : Describe(call)) {
        out << "  > " << v.name << "\n      " << v.command << "\n  < " << v.answer << "\n";
        if (!v.response.empty()) out << "      " << v.response << "\n";
    }
    if (call.droppedExchanges != 0) out << "  ... " << call.droppedExchanges << " more commands not shown\n";
    for (const std::string& note : call.notes) out << "  * " << note << "\n";
    if (call.droppedNotes != 0) out << "  ... " << call.droppedNotes << " more notes not shown\n";
    const std::string outcome = OutcomeText(call);
    if (!outcome.empty()) out << "  = " << outcome << "\n";
    out << "\n";
}

void JsonStory::Print(const Call& call) {
    std::string text = m_first ? "[\n" : ",\n";
    m_first = false;
    text += "{\"line\":" + std::to_string(call.line) + ",\"time\":" + JsonQuote(call.time) +
            ",\"pid\":" + std::to_string(call.pid) + ",\"tid\":" + std::to_string(call.tid) +
            ",\"process\":" + JsonQuote(call.process) + ",\"call\":" + JsonQuote(call.name) +
            ",\"arguments\":" + JsonQuote(call.arguments) +
            ",\"status\":" + JsonQuote(mdhost::HexStatus(call.code)) +
            ",\"status_name\":" + JsonQuote(mdhost::StatusName(call.code)) +
            ",\"apdus\":" + std::to_string(call.commands) +
            ",\"bytes_sent\":" + std::to_string(call.bytesSent) +
            ",\"bytes_received\":" + std::to_string(call.bytesReceived) +
            ",\"commands_not_shown\":" + std::to_string(call.droppedExchanges) + ",\"commands\":[";
    bool first = true;
    for (const ExchangeView& v : Describe(call)) {
        text += first ? "" : ",";
        first = false;
        text += "{\"name\":" + JsonQuote(v.name) + ",\"known\":" + (v.known ? "true" : "false") +
                ",\"command\":" + JsonQuote(v.command) + ",\"response\":" + JsonQuote(v.response) +
                ",\"answer\":" + JsonQuote(v.answer) + "}";
    }
    text += "],\"notes\":[";
    for (size_t i = 0; i < call.notes.size(); ++i) text += (i == 0 ? "" : ",") + JsonQuote(call.notes[i]);
    text += "]}";
    m_out << text;
}

void JsonStory::Finish() {
    m_out << (m_first ? "[]\n" : "\n]\n");
}

void Summary::Add(const Call& call) {
    ++m_calls;
    const auto found = m_names.find(call.name);
    if (found != m_names.end() || m_names.size() < kMaxNames) {
        PerName& n = m_names[call.name];
        ++n.count;
        n.failures += call.Failed() ? 1 : 0;
        n.commands += call.commands;
        n.bytes += call.bytesSent + call.bytesReceived;
    } else {
        ++m_otherNames;
    }
    const Noted noted{call.end - call.start, call.time, call.name + "(" + call.arguments + ")", call.line};
    if (call.line != 0) {
        m_slowest.push_back(noted);
        std::stable_sort(m_slowest.begin(), m_slowest.end(),
                         [](const Noted& a, const Noted& b) { return a.seconds > b.seconds; });
        if (m_slowest.size() > 5) m_slowest.pop_back();
    }
    if (call.Failed()) {
        ++m_failures;
        if (m_failing.size() < kMaxListed) {
            Noted failing = noted;
            failing.text += " -> " + mdhost::StatusText(call.code);
            m_failing.push_back(std::move(failing));
        }
    }
    if (call.line != 0) {
        const auto process = m_processes.find(call.pid);
        if (process != m_processes.end() || m_processes.size() < kMaxProcesses) {
            auto& entry = m_processes[call.pid];
            if (!call.process.empty()) entry.first = call.process;
            if (entry.second.size() < kMaxThreads) entry.second.insert(call.tid);
        }
    }
    // What the applet says of itself: its selection, its data objects and capabilities.
    const std::vector<ExchangeView> views = Describe(call);
    for (size_t i = 0; i < views.size() && m_appletAnswers.size() < kMaxListed; ++i) {
        const ExchangeView& v = views[i];
        const bool aboutApplet = v.name.rfind("SELECT of the Helix applet", 0) == 0 ||
                                 v.name.rfind("GET DATA", 0) == 0 || v.name.rfind("capability query", 0) == 0;
        if (!aboutApplet || v.response.empty()) continue;
        const std::pair<std::string, std::string> answer{v.name, v.response};
        if (std::find(m_appletAnswers.begin(), m_appletAnswers.end(), answer) == m_appletAnswers.end())
            m_appletAnswers.push_back(answer);
    }
}

void Summary::Print(std::ostream& out, bool json) const {
    if (json) {
        std::string text = "{\"calls\":" + std::to_string(m_calls) +
                           ",\"failures\":" + std::to_string(m_failures) + ",\"per_call\":[";
        bool first = true;
        for (const auto& [name, n] : m_names) {
            text += std::string(first ? "" : ",") + "{\"call\":" + JsonQuote(name) +
                    ",\"count\":" + std::to_string(n.count) + ",\"failures\":" + std::to_string(n.failures) +
                    ",\"apdus\":" + std::to_string(n.commands) + ",\"bytes\":" + std::to_string(n.bytes) +
                    "}";
            first = false;
        }
        const auto list = [&](const char* key, const std::vector<Noted>& items) {
            text += std::string(",\"") + key + "\":[";
            for (size_t i = 0; i < items.size(); ++i)
                text += std::string(i == 0 ? "" : ",") + "{\"line\":" + std::to_string(items[i].line) +
                        ",\"time\":" + JsonQuote(items[i].time) +
                        ",\"seconds\":" + std::to_string(items[i].seconds) +
                        ",\"call\":" + JsonQuote(items[i].text) + "}";
            text += "]";
        };
        text += "]";
        list("slowest", m_slowest);
        list("failing", m_failing);
        text += ",\"processes\":[";
        first = true;
        for (const auto& [pid, p] : m_processes) {
            text += std::string(first ? "" : ",") + "{\"pid\":" + std::to_string(pid) +
                    ",\"name\":" + JsonQuote(p.first) + ",\"threads\":[";
            first = false;
            bool firstThread = true;
            for (const uint32_t tid : p.second) {
                text += (firstThread ? "" : ",") + std::to_string(tid);
                firstThread = false;
            }
            text += "]}";
        }
        text += R"(],"atr":null,"applet_answers":[)";
        for (size_t i = 0; i < m_appletAnswers.size(); ++i)
            text += std::string(i == 0 ? "" : ",") + "{\"command\":" + JsonQuote(m_appletAnswers[i].first) +
                    ",\"response\":" + JsonQuote(m_appletAnswers[i].second) + "}";
        text += "]}\n";
        out << text;
        return;
    }
    out << m_calls << " calls, " << m_failures << " failed\n\n";
    out << std::left << std::setw(32) << "call" << std::right << std::setw(9) << "count" << std::setw(9)
        << "failed" << std::setw(9) << "APDUs" << std::setw(11) << "bytes"
        << "\n";
    for (const auto& [name, n] : m_names) {
        out << std::left << std::setw(32) << name << std::right << std::setw(9) << n.count << std::setw(9)
            << n.failures << std::setw(9) << n.commands << std::setw(11) << n.bytes << "\n";
    }
    if (m_otherNames != 0) out << "(" << m_otherNames << " calls of further names not counted by name)\n";
    out << "\nslowest calls (seconds, from the time lines):\n";
    for (const Noted& n : m_slowest)
        out << "  " << std::setw(3) << n.seconds << "  " << n.time << "  " << n.text << "  [line " << n.line
            << "]\n";
    out << "\nfailed calls:\n";
    for (const Noted& n : m_failing) out << "  " << n.time << "  " << n.text << "  [line " << n.line << "]\n";
    if (m_failures > m_failing.size()) out << "  ... and " << m_failures - m_failing.size() << " more\n";
    out << "\nprocesses:\n";
    for (const auto& [pid, p] : m_processes) {
        out << "  P:" << pid << (p.first.empty() ? "" : " (" + p.first + ")") << " threads:";
        for (const uint32_t tid : p.second) out << " " << tid;
        out << "\n";
    }
    out << "\nATR: not written to the log by the module\n";
    out << "\nthe applet's answers:\n";
    for (const auto& [command, response] : m_appletAnswers)
        out << "  " << command << "\n    " << response << "\n";
}

}  // namespace mdlog
