#include "log/mdlog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace mdlog {

namespace {

// Longest accepted path, terminating zero included.
constexpr size_t kMaxPath = 260;

// The log file path, or null when logging is off.
const char* LogPath() {
    const char* path = std::getenv("TQ_MD_LOG");  // NOLINT(concurrency-mt-unsafe): read-only use
    if (path == nullptr || path[0] == 0) return nullptr;
    if (std::strlen(path) + 1 > kMaxPath) return nullptr;
    return path;
}

// Appends one whole entry with a single write; a file that cannot be opened drops the entry.
void Append(const char* path, const std::string& text) noexcept {
    std::FILE* file = std::fopen(path, "a");  // NOLINT(cppcoreguidelines-owning-memory)
    if (file == nullptr) return;
    (void)std::fwrite(text.data(), 1, text.size(), file);
    (void)std::fflush(file);
    (void)std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory)
}

}  // namespace

std::string TimeLine(const std::tm& t) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = (t.tm_wday >= 0 && t.tm_wday < 7) ? kDays[t.tm_wday] : "???";
    const char* month = (t.tm_mon >= 0 && t.tm_mon < 12) ? kMonths[t.tm_mon] : "???";
    return Format("%s %s%3d %02d:%02d:%02d %d",
                  {day, month, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 1900 + t.tm_year});
}

void WriteEntry(const char* format, std::initializer_list<Arg> args, bool withTime) noexcept {
    try {
        const char* path = LogPath();
        if (path == nullptr) return;
        std::string text;
        if (withTime) text = Format("%s\n", {TimeLine(platform::LocalTime(std::time(nullptr)))});
        text += Format(format, args);
        text += "\n\n";
        Append(path, text);
    } catch (...) {
        // The log never fails a call.
    }
}

void AppendHexByte(std::string& out, BYTE b, const char* digits) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
}

std::string HexDumpText(const WCHAR* title, const BYTE* data, size_t length, bool arrow) {
    std::string text = Format(arrow ? "==> %ws (%d bytes): " : "%ws (%d bytes): ", {title, length});
    text.reserve(text.size() + 3 * length + 2);
    for (size_t i = 0; data != nullptr && i < length; ++i) {
        AppendHexByte(text, data[i], "0123456789abcdef");
        text.push_back(' ');
    }
    text += "\n\n";
    return text;
}

std::string HexTableText(const BYTE* data, size_t length) {
    std::string text;
    if (data == nullptr) return text;
    text.reserve((length / 16 + 1) * 66);
    std::string line;
    size_t lineStart = 0;
    for (size_t i = 0; i < length; ++i) {
        AppendHexByte(line, data[i], "0123456789ABCDEF");
        line.push_back(' ');
        if (i % 16 == 15 || i + 1 == length) {
            for (size_t j = lineStart; j <= i; ++j)
                line.push_back(data[j] >= 32 && data[j] <= 127 ? static_cast<char>(data[j]) : '.');
            text += line;
            text += '\n';
            line.clear();
            lineStart = i + 1;
        }
    }
    return text;
}

}  // namespace mdlog

void MdLogHex(const WCHAR* title, const BYTE* data, size_t length, HexHeader header) noexcept {
    try {
        const char* path = mdlog::LogPath();
        if (path == nullptr) return;
        mdlog::Append(path, mdlog::HexDumpText(title, data, length, header == HexHeader::Arrow));
    } catch (...) {
    }
}

void MdLogHexTable(const BYTE* data, size_t length) noexcept {
    try {
        const char* path = mdlog::LogPath();
        if (path == nullptr) return;
        mdlog::Append(path, mdlog::HexTableText(data, length));
    } catch (...) {
    }
}
