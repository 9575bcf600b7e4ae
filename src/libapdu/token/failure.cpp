#include "libapdu/token/failure.h"

#include <cstddef>

namespace {

template <size_t N>
void CopyTruncated(char (&out)[N], const char* in) noexcept {
    size_t i = 0;
    for (; in != nullptr && in[i] != 0 && i + 1 < N; ++i) out[i] = in[i];
    out[i] = 0;
}

}  // namespace

CAException::CAException(DWORD code, const char* file, const char* date, int line) noexcept
    : m_code(code), m_file{}, m_date{}, m_line(line) {
    CopyTruncated(m_file, file);
    CopyTruncated(m_date, date);
}

namespace libapdu {

void ThrowAPDUException(uint16_t sw, const char16_t* where, int line) {
    // The raising place is an ASCII interface and operation name; anything else shows as '?'.
    char place[96] = {};
    size_t i = 0;
    for (; where != nullptr && where[i] != 0 && i + 1 < sizeof place; ++i)
        place[i] = where[i] < 0x80 ? static_cast<char>(where[i]) : '?';
    throw CAPDUException(sw, place, __DATE__, line);
}

}  // namespace libapdu
