#include "mdhost/apdu_log.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "mdhost/host_os.h"

namespace mdhost {

namespace {

const char* const kLogVariable = "TQ_MD_LOG";
// The module ignores a longer path.
constexpr size_t kMaxLogPath = 259;

bool StartsWith(const std::string& line, const char* prefix) {
    return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The N of "... (N bytes): ", or nothing when the line has no such field.
bool ByteCount(const std::string& line, uint64_t& count) {
    const size_t open = line.find(" (");
    if (open == std::string::npos) return false;
    size_t at = open + 2;
    uint64_t value = 0;
    size_t digits = 0;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 10) {
        value = value * 10 + static_cast<uint64_t>(line[at] - '0');
        ++at;
        ++digits;
    }
    if (digits == 0 || line.compare(at, 7, " bytes)") != 0) return false;
    count = value;
    return true;
}

}  // namespace

ApduCount CountApdus(const std::string& logText) {
    ApduCount count;
    size_t start = 0;
    while (start < logText.size()) {
        size_t end = logText.find('\n', start);
        if (end == std::string::npos) end = logText.size();
        const std::string line = logText.substr(start, end - start);
        start = end + 1;
        uint64_t bytes = 0;
        if (StartsWith(line, "CAPDU") && ByteCount(line, bytes)) {
            ++count.commands;
            count.bytesSent += bytes;
        } else if (StartsWith(line, "RAPDU") && ByteCount(line, bytes)) {
            count.bytesReceived += bytes;
        }
    }
    return count;
}

CApduLog::CApduLog() {
    const std::string given = os::GetEnv(kLogVariable);
    if (!given.empty() && given.size() <= kMaxLogPath) {
        m_path = given;
        return;
    }
    m_path = os::CreateTempFile("mdhost-", ".log");
    if (m_path.size() > kMaxLogPath) {
        os::RemoveFile(m_path);
        throw std::runtime_error("the temporary directory's path is too long for the module's log");
    }
    m_private = true;
    os::SetEnv(kLogVariable, m_path);
}

CApduLog::~CApduLog() {
    if (!m_private) return;
    os::UnsetEnv(kLogVariable);
    os::RemoveFile(m_path);
}

uint64_t CApduLog::Mark() const {
    std::ifstream file(m_path, std::ios::binary | std::ios::ate);
    if (!file) return 0;
    const std::streamoff end = file.tellg();
    return end > 0 ? static_cast<uint64_t>(end) : 0;
}

ApduCount CApduLog::CountSince(uint64_t mark) const {
    std::ifstream file(m_path, std::ios::binary);
    if (!file) return {};
    file.seekg(static_cast<std::streamoff>(mark));
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return CountApdus(text);
}

}  // namespace mdhost
