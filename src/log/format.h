// The log's own printf subset. Windows and C99 printf disagree on "%ws", "%S" and the width of
// "%lu", so the log formats itself and writes the same bytes on every platform.
//
// Conversions: d i u x X c s S ws ls %% with the flags '-' and '0', a width, and the length
// modifiers hh h l ll w. "l" is 32 bits as on Windows; "ll" is 64. "%s" takes a narrow string,
// "%S", "%ws" and "%ls" a wide (UTF-16) one, written as UTF-8. A null string prints as nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "platform/win32.h"

namespace mdlog {

class Arg {
public:
    template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
    Arg(T value)  // NOLINT: arguments convert implicitly, as they do for printf
        : m_kind(Kind::Integer), m_bits(Widen(value)) {}
    Arg(const char* s) : m_kind(Kind::Narrow), m_narrow(s) {}                 // NOLINT
    Arg(const std::string& s) : m_kind(Kind::Narrow), m_narrow(s.c_str()) {}  // NOLINT
    Arg(const WCHAR* s) : m_kind(Kind::Wide), m_wide(s) {}                    // NOLINT
    Arg(WCHAR* s) : m_kind(Kind::Wide), m_wide(s) {}                          // NOLINT
    Arg(char* s) : m_kind(Kind::Narrow), m_narrow(s) {}                       // NOLINT

    enum class Kind { Integer, Narrow, Wide };
    Kind GetKind() const { return m_kind; }
    uint64_t Bits() const { return m_bits; }
    const char* Narrow() const { return m_narrow; }
    const WCHAR* Wide() const { return m_wide; }

private:
    template <class T>
    static uint64_t Widen(T value) {
        if constexpr (std::is_enum_v<T>) {
            return Widen(static_cast<std::underlying_type_t<T>>(value));
        } else if constexpr (std::is_signed_v<T>) {
            return static_cast<uint64_t>(static_cast<int64_t>(value));
        } else {
            return static_cast<uint64_t>(value);
        }
    }

    Kind m_kind;
    uint64_t m_bits = 0;
    const char* m_narrow = nullptr;
    const WCHAR* m_wide = nullptr;
};

// Formats `format` with `args`. Never throws on a bad format or a missing argument: a conversion
// without its argument prints nothing, an unknown conversion is copied as written.
std::string Format(const char* format, std::initializer_list<Arg> args);

// UTF-16 to UTF-8 for log text; invalid code units show as '?'.
std::string WideForLog(const WCHAR* text);

}  // namespace mdlog
