// The module's diagnostic log, one line at a time: what each line is, read from untrusted text.
// Nothing here holds more than one line, so a log of any size streams through.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace mdlog {

using Bytes = std::vector<uint8_t>;

enum class LineKind {
    Blank,
    Time,            // "Fri Dec  4 16:23:38 2026"
    Call,            // an entry point's line: process, thread, handles, name and arguments
    ProcessName,     // the second line of CardAcquireContext, with the program's name
    Exception,       // "Exception: 8010000d"
    UnknownFailure,  // "Unknown failure."
    Command,         // "CAPDU: ", "CAPDU_6C: ", "CAPDU_reqResponse: "
    Response,        // "RAPDU: "
    Result,          // "==> Property (n bytes): ", what a property call handed back
    TransmitError,   // "SCardTransmit error = 0x...": the reader failed the exchange
    Trace,           // the card module's notes on stored records and keys
    TableRow,        // a row of a stored record: up to 16 bytes and their characters
    Unreadable,
};

enum class CommandForm { Plain, CorrectedLe, GetResponse };

struct Line {
    LineKind kind = LineKind::Unreadable;
    uint64_t number = 0;  // from 1
    std::string text;     // the line as read
    // Call and ProcessName.
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint32_t context = 0;
    uint32_t card = 0;
    std::string name;       // call name, or the program's name
    std::string arguments;  // inside the parentheses
    // Time: seconds from an arbitrary origin, enough for differences.
    int64_t seconds = 0;
    // Exception and TransmitError.
    uint32_t code = 0;
    // Command, Response, Result and TableRow.
    CommandForm form = CommandForm::Plain;
    std::string title;  // Result: the property's name
    Bytes bytes;
    // Unreadable: why.
    std::string problem;
};

// What one line of the log is. `number` is kept for messages.
Line ParseLine(std::string text, uint64_t number);

// Lines from a stream, each at most kMaxLine bytes; a longer one is read past and returned
// as unreadable with its head only. A last line without its line feed is still a line.
class LineReader {
public:
    static constexpr size_t kMaxLine = 1U << 20;

    explicit LineReader(std::FILE* file) : m_file(file), m_buffer(1U << 16) {}

    // False at the end of the input.
    bool Next(std::string& line, bool& tooLong);
    uint64_t Number() const { return m_number; }

private:
    bool Fill();

    std::FILE* m_file;
    std::vector<char> m_buffer;
    size_t m_pos = 0;
    size_t m_end = 0;
    uint64_t m_number = 0;
};

// The printable form of a line's head, for a message: control and non-ASCII bytes as \xNN.
std::string Printable(const std::string& text, size_t limit = 60);

}  // namespace mdlog
