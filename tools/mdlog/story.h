// The log as calls: each entry point's line with the commands, answers and notes that follow
// it, and how it ended. Within a process the call lock lets one call run at a time, so a
// process's next call ends its previous one. Lines without a process id (commands, answers,
// exceptions) belong to the call that holds the card: each call's transaction begins by
// selecting the applet, so that select passes the card to the oldest open call that has sent
// nothing yet. An exception goes to the holder when it exchanged with the card after the last
// call line, else to the call that started last; so do lines when nothing holds the card. Memory stays
// bounded: a call keeps at most kMaxExchanges commands and kMaxNotes notes, and counts the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mdlog/log_lines.h"

namespace mdlog {

struct Exchange {
    uint64_t line = 0;
    CommandForm form = CommandForm::Plain;
    Bytes command;
    std::optional<Bytes> response;
    std::optional<uint32_t> transmitError;
};

enum class Outcome {
    Success,     // no failure logged before the call ended
    Failed,      // "Exception: ...": the code the host got
    Unknown,     // "Unknown failure.": ERROR_GEN_FAILURE
    Unsupported  // an operation the module answers SCARD_E_UNSUPPORTED_FEATURE without a line
};

struct Call {
    static constexpr size_t kMaxExchanges = 4096;
    static constexpr size_t kMaxNotes = 512;

    uint64_t line = 0;  // 0: lines before any call
    std::string time;   // the time line before the call line
    int64_t start = 0;
    int64_t end = 0;
    bool timed = false;
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint32_t context = 0;
    uint32_t card = 0;
    std::string process;  // program name, when CardAcquireContext logged it
    std::string name;
    std::string arguments;
    std::vector<Exchange> exchanges;
    std::vector<std::string> notes;
    uint64_t commands = 0;  // all, kept or not
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t droppedExchanges = 0;
    uint64_t droppedNotes = 0;
    Outcome outcome = Outcome::Success;
    uint32_t code = 0;  // what the host got

    bool Failed() const { return code != 0; }
};

class Assembler {
public:
    using Sink = std::function<void(const Call&)>;
    static constexpr size_t kMaxOpenCalls = 64;
    static constexpr size_t kMaxPrograms = 1024;

    explicit Assembler(Sink sink) : m_sink(std::move(sink)) {}

    void Add(const Line& line);
    // Ends every open call: the end of the log.
    void Finish();

private:
    Call& Current(bool outcome = false);
    void Close(size_t index);
    void TakeCard();

    Sink m_sink;
    std::vector<std::unique_ptr<Call>> m_open;  // in the order they started
    std::optional<int64_t> m_time;
    std::string m_timeText;
    uint64_t m_holder = 0;                       // the line of the call that holds the card, 0 for none
    bool m_holderBusy = false;                   // the holder sent or received since the last call line
    std::map<uint32_t, std::string> m_programs;  // process id to name, as CardAcquireContext logs it
    std::string m_table;                         // rows of a stored record being read
    uint64_t m_tableBytes = 0;
};

}  // namespace mdlog
