#include "mdlog/story.h"

#include <algorithm>
#include <iterator>

#include "libapdu/commands_helix.h"
#include "mdlog/commands.h"

namespace mdlog {

namespace {

constexpr uint32_t kUnsupportedFeature = 0x80100022;
constexpr uint32_t kGenFailure = 31;

// The operations the module answers SCARD_E_UNSUPPORTED_FEATURE right after their line.
bool AnswersUnsupported(const std::string& name) {
    static const char* const kNames[] = {
        "CardSetContainerProperty", "MDImportSessionKey", "MDEncryptData",
        "CardGetSharedKeyHandle",   "CardDestroyKey",     "CardGetAlgorithmProperty",
        "CardGetKeyProperty",       "CardSetKeyProperty", "CardImportSessionKey",
        "CardProcessEncryptedData",
    };
    return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* n) { return name == n; });
}

// A bounded note: long byte strings are cut in the story, never in the counts.
std::string BytesNote(const char* what, const Bytes& bytes) {
    constexpr size_t kShown = 64;
    std::string text = std::string(what) + " (" + std::to_string(bytes.size()) +
                       " bytes): " + HexText(bytes.data(), std::min(bytes.size(), kShown), "");
    if (bytes.size() > kShown) text += "...";
    return text;
}

void Note(Call& call, std::string note) {
    if (call.notes.size() < Call::kMaxNotes) {
        call.notes.push_back(std::move(note));
    } else {
        ++call.droppedNotes;
    }
}

const Bytes& SelectAppletCommand() {
    static const Bytes command = libapdu::helix::SelectApplet().Encode();
    return command;
}

}  // namespace

Call& Assembler::Current(bool outcome) {
    // An outcome goes to the holder only if it was still at work after the last call began.
    for (const auto& open : m_open) {
        if (m_holder != 0 && open->line == m_holder && (!outcome || m_holderBusy)) {
            m_holderBusy = m_holderBusy || !outcome;
            return *open;
        }
    }
    if (m_open.empty()) {
        auto outside = std::make_unique<Call>();
        outside->name = "(before any call)";
        if (m_time) {
            outside->start = outside->end = *m_time;
            outside->timed = true;
            outside->time = m_timeText;
        }
        m_open.push_back(std::move(outside));
    }
    return *m_open.back();
}

void Assembler::TakeCard() {
    for (const auto& open : m_open) {
        if (open->line != 0 && open->commands == 0) {
            m_holder = open->line;
            return;
        }
    }
    m_holder = m_open.empty() ? 0 : m_open.back()->line;
}

void Assembler::Close(size_t index) {
    std::unique_ptr<Call> call = std::move(m_open[index]);
    if (call->line == m_holder) m_holder = 0;
    m_open.erase(m_open.begin() + static_cast<std::ptrdiff_t>(index));
    if (!m_table.empty() && index == m_open.size()) {
        Note(*call, "record (" + std::to_string(m_tableBytes) + " bytes): " + m_table);
        m_table.clear();
        m_tableBytes = 0;
    }
    m_sink(*call);
}

void Assembler::Add(const Line& line) {
    if (line.kind != LineKind::TableRow && !m_table.empty() && !m_open.empty()) {
        Note(*m_open.back(), "record (" + std::to_string(m_tableBytes) + " bytes): " + m_table);
        m_table.clear();
        m_tableBytes = 0;
    }
    // A time line dates the entry after it; an entry also moves its call's end.
    const auto touch = [&](Call& call) {
        if (!m_time) return;
        if (!call.timed) {
            call.start = *m_time;
            call.time = m_timeText;
            call.timed = true;
        }
        call.end = *m_time;
    };
    switch (line.kind) {
        case LineKind::Blank:
        case LineKind::Unreadable:
            return;
        case LineKind::Time:
            m_time = line.seconds;
            m_timeText = line.text;
            return;
        case LineKind::Call: {
            for (size_t i = 0; i < m_open.size();) {
                Call& open = *m_open[i];
                if (open.line == 0 || open.pid == line.pid) {
                    touch(open);
                    Close(i);
                } else {
                    ++i;
                }
            }
            if (m_open.size() >= kMaxOpenCalls) Close(0);
            m_holderBusy = false;
            auto call = std::make_unique<Call>();
            call->line = line.number;
            call->pid = line.pid;
            call->tid = line.tid;
            call->context = line.context;
            call->card = line.card;
            call->name = line.name;
            call->arguments = line.arguments;
            if (const auto program = m_programs.find(line.pid); program != m_programs.end())
                call->process = program->second;
            touch(*call);
            m_time.reset();
            if (AnswersUnsupported(call->name)) {
                call->outcome = Outcome::Unsupported;
                call->code = kUnsupportedFeature;
                m_sink(*call);
                return;
            }
            m_open.push_back(std::move(call));
            return;
        }
        case LineKind::ProcessName:
            if (m_programs.size() < kMaxPrograms || m_programs.count(line.pid) != 0)
                m_programs[line.pid] = line.name;
            for (auto it = m_open.rbegin(); it != m_open.rend(); ++it) {
                if ((*it)->pid == line.pid && (*it)->line != 0) {
                    (*it)->process = line.name;
                    break;
                }
            }
            m_time.reset();
            return;
        case LineKind::Exception:
        case LineKind::UnknownFailure: {
            Call& call = Current(true);
            touch(call);
            m_time.reset();
            call.outcome = line.kind == LineKind::Exception ? Outcome::Failed : Outcome::Unknown;
            call.code = line.kind == LineKind::Exception ? line.code : kGenFailure;
            for (size_t i = 0; i < m_open.size(); ++i) {
                if (m_open[i].get() == &call) {
                    Close(i);
                    break;
                }
            }
            return;
        }
        case LineKind::Command: {
            if (line.bytes == SelectAppletCommand()) TakeCard();
            Call& call = Current();
            ++call.commands;
            call.bytesSent += line.bytes.size();
            if (call.exchanges.size() < Call::kMaxExchanges) {
                Exchange exchange;
                exchange.line = line.number;
                exchange.form = line.form;
                exchange.command = line.bytes;
                call.exchanges.push_back(std::move(exchange));
            } else {
                ++call.droppedExchanges;
            }
            return;
        }
        case LineKind::Response:
        case LineKind::TransmitError: {
            Call& call = Current();
            if (line.kind == LineKind::Response) call.bytesReceived += line.bytes.size();
            if (call.droppedExchanges != 0) return;
            if (call.exchanges.empty() || call.exchanges.back().response ||
                call.exchanges.back().transmitError) {
                Note(call, line.kind == LineKind::Response
                               ? BytesNote("an answer without its command", line.bytes)
                               : "a transmission error without its command");
                return;
            }
            if (line.kind == LineKind::Response) {
                call.exchanges.back().response = line.bytes;
            } else {
                call.exchanges.back().transmitError = line.code;
            }
            return;
        }
        case LineKind::Result:
            Note(Current(), BytesNote(("handed back " + line.title).c_str(), line.bytes));
            return;
        case LineKind::Trace: {
            Call& call = Current();
            touch(call);
            m_time.reset();
            Note(call, line.text);
            return;
        }
        case LineKind::TableRow:
            (void)Current();
            if (m_table.size() < 256) m_table += HexText(line.bytes, "");
            if (m_table.size() >= 256 && m_table.compare(m_table.size() - 3, 3, "...") != 0) m_table += "...";
            m_tableBytes += line.bytes.size();
            return;
    }
}

void Assembler::Finish() {
    while (!m_open.empty()) Close(0);
}

}  // namespace mdlog
