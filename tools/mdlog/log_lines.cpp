#include "mdlog/log_lines.h"

#include <cstring>

namespace mdlog {

namespace {

bool StartsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

// Decimal digits at `at`, at most `maxDigits`; moves `at` past them.
bool Decimal(const std::string& text, size_t& at, uint64_t& value, size_t maxDigits = 10) {
    value = 0;
    size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < maxDigits) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
        ++digits;
    }
    return digits > 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Hex(const std::string& text, size_t& at, uint64_t& value, size_t maxDigits) {
    value = 0;
    size_t digits = 0;
    while (at < text.size() && digits < maxDigits && HexDigit(text[at]) >= 0) {
        value = value << 4 | static_cast<uint64_t>(HexDigit(text[at]));
        ++at;
        ++digits;
    }
    return digits > 0;
}

bool Expect(const std::string& text, size_t& at, const char* literal) {
    if (!StartsWith(text, at, literal)) return false;
    at += std::strlen(literal);
    return true;
}

Line Unreadable(Line line, const std::string& problem) {
    line.kind = LineKind::Unreadable;
    line.problem = problem;
    return line;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// "Fri Dec  4 16:23:38 2026".
bool ParseTime(const std::string& t, int64_t& seconds) {
    static const char* const kDays[] = {"Sun ", "Mon ", "Tue ", "Wed ", "Thu ", "Fri ", "Sat "};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (t.size() < 24 || t.size() > 26) return false;
    bool day = false;
    for (const char* d : kDays) day = day || StartsWith(t, 0, d);
    unsigned month = 0;
    for (unsigned m = 0; m < 12; ++m)
        if (StartsWith(t, 4, kMonths[m])) month = m + 1;
    if (!day || month == 0 || t[7] != ' ') return false;
    size_t at = 8;
    while (at < 10 && t[at] == ' ') ++at;
    uint64_t mday = 0;
    uint64_t hour = 0;
    uint64_t minute = 0;
    uint64_t second = 0;
    uint64_t year = 0;
    if (!Decimal(t, at, mday, 2) || at != 10 || !Expect(t, at, " ") || !Decimal(t, at, hour, 2) ||
        !Expect(t, at, ":") || !Decimal(t, at, minute, 2) || !Expect(t, at, ":") ||
        !Decimal(t, at, second, 2) || !Expect(t, at, " ") || !Decimal(t, at, year, 4) || at != t.size())
        return false;
    if (mday < 1 || mday > 31 || hour > 23 || minute > 59 || second > 60) return false;
    seconds = DaysFromCivil(static_cast<int64_t>(year), month, static_cast<unsigned>(mday)) * 86400 +
              static_cast<int64_t>(hour * 3600 + minute * 60 + second);
    return true;
}

// The call prefixes: "<P:1; T:2: hSCardCtx:0x..; hScard:0x..>: ", the same with ";" after the
// thread, the one without "<" that ends in "> ", and "<ProcName: name P:..." of CardAcquireContext.
bool ParseCall(Line& line) {
    const std::string& t = line.text;
    size_t at = 0;
    if (StartsWith(t, 0, "<ProcName: ")) {
        const size_t thread = t.find("; T:");
        if (thread == std::string::npos) return false;
        const size_t p = t.rfind(" P:", thread);
        if (p == std::string::npos || p < 11) return false;
        line.name = t.substr(11, p - 11);
        line.kind = LineKind::ProcessName;
        at = p + 1;
    } else {
        if (t.compare(0, 1, "<") == 0) at = 1;
        line.kind = LineKind::Call;
    }
    uint64_t pid = 0;
    uint64_t tid = 0;
    uint64_t context = 0;
    uint64_t card = 0;
    if (!Expect(t, at, "P:") || !Decimal(t, at, pid) || !Expect(t, at, "; T:") || !Decimal(t, at, tid))
        return false;
    if (!Expect(t, at, ":") && !Expect(t, at, ";")) return false;
    if (!Expect(t, at, " hSCardCtx:0x") || !Hex(t, at, context, 8) || !Expect(t, at, "; hScard:0x") ||
        !Hex(t, at, card, 8))
        return false;
    if (!Expect(t, at, ">: ") && !Expect(t, at, "> ")) return false;
    line.pid = static_cast<uint32_t>(pid);
    line.tid = static_cast<uint32_t>(tid);
    line.context = static_cast<uint32_t>(context);
    line.card = static_cast<uint32_t>(card);
    const size_t open = t.find('(', at);
    const size_t close = t.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 1 != t.size())
        return false;
    const std::string name = t.substr(at, open - at);
    if (name.empty()) return false;
    for (const char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    if (line.kind == LineKind::Call) line.name = name;
    line.arguments = t.substr(open + 1, close - open - 1);
    return true;
}

// "TITLE (N bytes): xx xx ": N groups of two hex digits, each followed by a blank.
Line ParseDump(Line line, size_t titleEnd) {
    const std::string& t = line.text;
    const size_t bytesAt = t.find(" bytes): ", titleEnd);
    const size_t open = bytesAt == std::string::npos ? std::string::npos : t.rfind(" (", bytesAt);
    if (open == std::string::npos || open < titleEnd)
        return Unreadable(line, "a dump without its byte count");
    size_t at = open + 2;
    uint64_t count = 0;
    if (!Decimal(t, at, count) || at != bytesAt) return Unreadable(line, "a dump without its byte count");
    at = bytesAt + 9;
    const size_t held = (t.size() - at) / 3;
    if (count > held) {
        return Unreadable(
            line, "cut short: announces " + std::to_string(count) + " bytes, holds " + std::to_string(held));
    }
    if (t.size() - at != 3 * count) return Unreadable(line, "a dump longer than its byte count");
    line.bytes.reserve(count);
    for (size_t i = 0; i < count; ++i, at += 3) {
        // "xx": a byte that mdlog --redact hid.
        const bool hidden = t[at] == 'x' && t[at + 1] == 'x';
        const int high = hidden ? 0 : HexDigit(t[at]);
        const int low = hidden ? 0 : HexDigit(t[at + 1]);
        if (high < 0 || low < 0 || t[at + 2] != ' ')
            return Unreadable(line, "byte " + std::to_string(i + 1) + " of the dump is no hex pair");
        line.bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    line.title = t.substr(titleEnd, open - titleEnd);
    return line;
}

// "00 41 42 .AB": 1 to 16 upper-case hex pairs, then as many characters.
bool ParseTableRow(Line& line) {
    const std::string& t = line.text;
    const size_t n = t.size() / 4;
    if (n == 0 || n > 16 || t.size() != 4 * n) return false;
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) {
        const int high = HexDigit(t[3 * i]);
        const int low = HexDigit(t[3 * i + 1]);
        if (high < 0 || low < 0 || t[3 * i + 2] != ' ') return false;
        const auto b = static_cast<uint8_t>(high << 4 | low);
        const auto c = static_cast<unsigned char>(t[3 * n + i]);
        if (b >= 32 && b <= 127 ? c != b : c != '.') return false;
        bytes.push_back(b);
    }
    line.bytes = std::move(bytes);
    return true;
}

const char* const kTraces[] = {
    "Readed content from cmapfile",
    "Content for write to cmapfile",
    "Content for write to private key EF",
    "Create private key KO FID = 0x",
    "Create private key EF FID = 0x",
    "Generate asymmetric key pair",
    "m_ContIdx size = ",
};

}  // namespace

Line ParseLine(std::string text, uint64_t number) {
    Line line;
    line.number = number;
    line.text = std::move(text);
    const std::string& t = line.text;
    if (t.empty()) {
        line.kind = LineKind::Blank;
        return line;
    }
    if (ParseTime(t, line.seconds)) {
        line.kind = LineKind::Time;
        return line;
    }
    if (StartsWith(t, 0, "<") || StartsWith(t, 0, "P:")) {
        Line call = line;
        if (ParseCall(call)) return call;
        return Unreadable(line, "a call line that does not parse");
    }
    size_t at = 0;
    if (Expect(t, at, "Exception: ")) {
        uint64_t code = 0;
        if (!Hex(t, at, code, 16) || at != t.size()) return Unreadable(line, "an exception without its code");
        line.kind = LineKind::Exception;
        line.code = static_cast<uint32_t>(code);
        return line;
    }
    if (t == "Unknown failure.") {
        line.kind = LineKind::UnknownFailure;
        return line;
    }
    struct Title {
        const char* prefix;
        LineKind kind;
        CommandForm form;
    };
    static const Title kTitles[] = {
        {"CAPDU: ", LineKind::Command, CommandForm::Plain},
        {"CAPDU_6C: ", LineKind::Command, CommandForm::CorrectedLe},
        {"CAPDU_reqResponse: ", LineKind::Command, CommandForm::GetResponse},
        {"RAPDU: ", LineKind::Response, CommandForm::Plain},
        {"==> ", LineKind::Result, CommandForm::Plain},
    };
    for (const Title& title : kTitles) {
        if (!StartsWith(t, 0, title.prefix)) continue;
        line.kind = title.kind;
        line.form = title.form;
        return ParseDump(line, std::strlen(title.prefix));
    }
    if (StartsWith(t, 0, "SCardTransmit")) {
        const size_t eq = t.find(" error = 0x");
        at = eq + 11;
        uint64_t code = 0;
        if (eq == std::string::npos || !Hex(t, at, code, 8) || at != t.size())
            return Unreadable(line, "a transmission error without its code");
        line.kind = LineKind::TransmitError;
        line.code = static_cast<uint32_t>(code);
        return line;
    }
    for (const char* trace : kTraces) {
        if (StartsWith(t, 0, trace)) {
            line.kind = LineKind::Trace;
            return line;
        }
    }
    if (ParseTableRow(line)) {
        line.kind = LineKind::TableRow;
        return line;
    }
    return Unreadable(line, "not a line the module writes");
}

bool LineReader::Fill() {
    if (m_pos < m_end) return true;
    m_pos = 0;
    m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    return m_end > 0;
}

bool LineReader::Next(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    bool any = false;
    while (Fill()) {
        any = true;
        const char* start = m_buffer.data() + m_pos;
        const auto* newline = static_cast<const char*>(std::memchr(start, '\n', m_end - m_pos));
        const size_t n = newline != nullptr ? static_cast<size_t>(newline - start) : m_end - m_pos;
        if (line.size() + n <= kMaxLine) {
            line.append(start, n);
        } else {
            tooLong = true;
            line.append(start, kMaxLine > line.size() ? std::min(n, kMaxLine - line.size()) : 0);
        }
        m_pos += n;
        if (newline != nullptr) {
            ++m_pos;
            break;
        }
    }
    if (!any) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++m_number;
    return true;
}

std::string Printable(const std::string& text, size_t limit) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            static const char* const kDigits = "0123456789abcdef";
            out += "\\x";
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 0x0F]);
        }
    }
    if (text.size() > limit) out += "...";
    return out;
}

}  // namespace mdlog
