#include "libapdu/token/text.h"

#include <utf8.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <iterator>

#include "libapdu/token/failure.h"
#include "platform/platform.h"

namespace libapdu {

namespace {

[[noreturn]] void BadText(const char16_t* where, int line) {
    ThrowAPDUException(sw::kCorruptedData, where, line);
}

void UseUserLocale() {
    static const bool done = [] {
        std::setlocale(LC_ALL, "");
        return true;
    }();
    (void)done;
}

// Where wchar_t is UTF-16 it is the host's own type; elsewhere it holds code points.
std::wstring ToCrtWide(WideView text) {
    if constexpr (sizeof(wchar_t) == sizeof(WCHAR)) {
        return std::wstring(text.begin(), text.end());
    } else {
        std::wstring out;
        try {
            const std::string utf8 = WideToUtf8(text);
            utf8::utf8to32(utf8.begin(), utf8.end(), std::back_inserter(out));
        } catch (const utf8::exception&) {
            BadText(u"WideToNarrow", __LINE__);
        }
        return out;
    }
}

WideString FromCrtWide(const std::wstring& text) {
    if constexpr (sizeof(wchar_t) == sizeof(WCHAR)) {
        return WideString(text.begin(), text.end());
    } else {
        try {
            std::string utf8;
            utf8::utf32to8(text.begin(), text.end(), std::back_inserter(utf8));
            return Utf8ToWide(utf8);
        } catch (const utf8::exception&) {
            BadText(u"NarrowToWide", __LINE__);
        }
    }
}

}  // namespace

// Conversions reserve their worst case up front: PIN texts pass through here, and a
// reallocation would leave a copy behind that nobody wipes.
std::string WideToUtf8(WideView text) {
    std::string out;
    out.reserve(3 * text.size());
    try {
        utf8::utf16to8(text.begin(), text.end(), std::back_inserter(out));
    } catch (const utf8::exception&) {
        BadText(u"WideToUtf8", __LINE__);
    }
    return out;
}

WideString Utf8ToWide(std::string_view text) {
    WideString out;
    out.reserve(text.size());
    try {
        utf8::utf8to16(text.begin(), text.end(), std::back_inserter(out));
    } catch (const utf8::exception&) {
        BadText(u"Utf8ToWide", __LINE__);
    }
    return out;
}

std::string WideToNarrow(WideView text) {
    UseUserLocale();
    const std::wstring wide = ToCrtWide(text);
    std::string out;
    out.reserve(MB_CUR_MAX * wide.size());
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (wchar_t c : wide) {
        const size_t n = std::wcrtomb(bytes, c, &state);
        if (n == static_cast<size_t>(-1)) BadText(u"WideToNarrow", __LINE__);
        out.append(bytes, n);
    }
    return out;
}

WideString NarrowToWide(std::string_view text) {
    UseUserLocale();
    std::wstring wide;
    wide.reserve(text.size());
    std::mbstate_t state{};
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        wchar_t c = 0;
        size_t n = std::mbrtowc(&c, p, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) BadText(u"NarrowToWide", __LINE__);
        if (n == 0) n = 1;  // an embedded NUL is a character like any other
        wide.push_back(c);
        p += n;
        left -= n;
    }
    return FromCrtWide(wide);
}

ByteVector EncodeText(WideView text, uint8_t encoding) {
    std::string bytes;
    if (encoding == kTextNarrow) {
        bytes = WideToNarrow(text);
    } else if (encoding == kTextUtf8) {
        bytes = WideToUtf8(text);
    } else {
        ThrowAPDUException(sw::kNotSupported, u"EncodeText", __LINE__);
    }
    ByteVector out(bytes.begin(), bytes.end());
    platform::SecureWipe(bytes.data(), bytes.size());
    return out;
}

WideString DecodeText(ByteSpan bytes, uint8_t encoding) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data), bytes.size);
    if (encoding == kTextNarrow) return NarrowToWide(text);
    if (encoding == kTextUtf8) return Utf8ToWide(text);
    ThrowAPDUException(sw::kNotSupported, u"DecodeText", __LINE__);
}

}  // namespace libapdu
