// Failure objects. Everything below the entry wrappers fails by throwing one of three things:
// a bare status code (int32_t), a CAException carrying a 32-bit code, or the token library's
// CAPDUException carrying a 16-bit status word. The wrappers turn them into return codes.
// They live at the bottom of the token library because every layer above throws or catches them.
#pragma once

#include <cstdint>

#include "libapdu/token/status_words.h"
#include "platform/win32.h"

// A thrown status code: a Windows or PC/SC status thrown by value as a 32-bit signed integer.
using StatusCode = int32_t;

[[noreturn]] inline void ThrowStatus(DWORD code) {
    throw static_cast<StatusCode>(code);
}

class CAException {
public:
    // The source location is kept for a debugger's eyes only; it is never logged or returned.
    CAException(DWORD code, const char* file, const char* date, int line) noexcept;
    CAException(const CAException&) noexcept = default;
    CAException& operator=(const CAException&) noexcept = default;
    virtual ~CAException() = default;

    DWORD Code() const noexcept { return m_code; }
    const char* File() const noexcept { return m_file; }
    const char* Date() const noexcept { return m_date; }
    int Line() const noexcept { return m_line; }

private:
    // Fixed arrays keep copying noexcept: a failure object must never fail to travel.
    DWORD m_code;
    char m_file[96];
    char m_date[16];
    int m_line;
};

#define HELIX_THROW_CA(code) throw CAException((code), __FILE__, __DATE__, __LINE__)

namespace libapdu {

class IException {
public:
    virtual ~IException() = default;
    virtual uint16_t StatusWord() const noexcept = 0;

protected:
    IException() = default;
    IException(const IException&) = default;
    IException& operator=(const IException&) = default;
};

class CAPDUException final : public IException, public CAException {
public:
    CAPDUException(uint16_t sw, const char* file, const char* date, int line) noexcept
        // The base's construction, not an exception left unthrown.
        : CAException(sw, file, date, line) {}  // NOLINT(bugprone-throw-keyword-missing)

    uint16_t StatusWord() const noexcept override { return static_cast<uint16_t>(Code() & 0xFFFF); }
};

// Every failure raised inside the token library goes through here. `where` names the
// raising operation (for example u"IAppFS::CreateFile"); only the status word travels on.
[[noreturn]] void ThrowAPDUException(uint16_t sw, const char16_t* where, int line);

}  // namespace libapdu
