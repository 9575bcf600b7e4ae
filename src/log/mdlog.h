// The diagnostic log. Off unless TQ_MD_LOG names a file; every writer looks at the variable anew,
// opens the file for appending, writes one whole entry, and closes it, so an entry is on disk as
// soon as the call that wrote it returns and several processes can share one file. No writer
// throws and none keeps state between calls.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "log/format.h"
#include "platform/win32.h"

namespace mdlog {

void WriteEntry(const char* format, std::initializer_list<Arg> args, bool withTime) noexcept;

// The 24-character local-time form, "Fri Dec  4 16:23:38 2026".
std::string TimeLine(const std::tm& t);

// The text of a hex dump entry; `arrow` selects the "==> " header of the entry wrappers.
std::string HexDumpText(const WCHAR* title, const BYTE* data, size_t length, bool arrow);

// The text of a table dump: 16 bytes a line with a character column.
std::string HexTableText(const BYTE* data, size_t length);

}  // namespace mdlog

// Time line, message, blank line.
template <class... A>
void MdLog(const char* format, const A&... args) noexcept {
    mdlog::WriteEntry(format, {mdlog::Arg(args)...}, true);
}

// Message, blank line: transmission errors of the card channel.
template <class... A>
void MdLogRaw(const char* format, const A&... args) noexcept {
    mdlog::WriteEntry(format, {mdlog::Arg(args)...}, false);
}

enum class HexHeader {
    Plain,  // "%s (%d bytes): ", the card channel's commands and responses
    Arrow,  // "==> %s (%d bytes): ", results handed back to the host
};

// One line of hexadecimal bytes, then a blank line.
void MdLogHex(const WCHAR* title, const BYTE* data, size_t length,
              HexHeader header = HexHeader::Plain) noexcept;

// Stored records: 16 bytes a line with a character column.
void MdLogHexTable(const BYTE* data, size_t length) noexcept;
