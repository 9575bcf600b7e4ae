// Counting what the module exchanged with the card. The module writes every command and every
// response to its diagnostic log (TQ_MD_LOG) whatever reader it talks to, so the count is the
// same for the embedded card and for a real reader. When the caller has not asked for a log,
// the host points the module at a private file of its own and removes it at the end.
#pragma once

#include <cstdint>
#include <string>

namespace mdhost {

struct ApduCount {
    uint64_t commands = 0;  // command APDUs, retries with a corrected Le and GET RESPONSE included
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;  // responses, status words included
};

// Counts the command ("CAPDU...") and response ("RAPDU") entries of a piece of log text.
// Lines of any other shape are skipped.
ApduCount CountApdus(const std::string& logText);

class CApduLog {
public:
    CApduLog();
    ~CApduLog();
    CApduLog(const CApduLog&) = delete;
    CApduLog& operator=(const CApduLog&) = delete;

    const std::string& Path() const { return m_path; }
    bool Private() const { return m_private; }
    // The end of the log now; CountSince gives what was written after it.
    uint64_t Mark() const;
    ApduCount CountSince(uint64_t mark) const;

private:
    std::string m_path;
    bool m_private = false;
};

}  // namespace mdhost
