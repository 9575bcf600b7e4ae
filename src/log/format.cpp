#include "log/format.h"

#include <utf8.h>

#include <cstring>
#include <vector>

namespace mdlog {

namespace {

struct Conversion {
    bool left = false;
    bool zero = false;
    size_t width = 0;
    int bits = 32;      // integer width the conversion reads
    bool wide = false;  // string conversion takes UTF-16
};

std::string Digits(uint64_t value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return out;
}

uint64_t Truncate(uint64_t bits, int width) {
    return width >= 64 ? bits : bits & ((uint64_t{1} << width) - 1);
}

int64_t SignExtend(uint64_t bits, int width) {
    if (width >= 64) return static_cast<int64_t>(bits);
    const uint64_t value = Truncate(bits, width);
    const uint64_t sign = uint64_t{1} << (width - 1);
    return static_cast<int64_t>(value ^ sign) - static_cast<int64_t>(sign);
}

void Pad(std::string& out, std::string text, const Conversion& form, bool numeric) {
    if (text.size() < form.width) {
        const size_t fill = form.width - text.size();
        if (form.left) {
            text.append(fill, ' ');
        } else if (form.zero && numeric) {
            const size_t at = (!text.empty() && text[0] == '-') ? 1 : 0;
            text.insert(at, fill, '0');
        } else {
            text.insert(0, fill, ' ');
        }
    }
    out += text;
}

std::string IntegerText(char conv, const Arg* arg, const Conversion& form) {
    const uint64_t bits = (arg != nullptr && arg->GetKind() == Arg::Kind::Integer) ? arg->Bits() : 0;
    switch (conv) {
        case 'd':
        case 'i': {
            const int64_t v = SignExtend(bits, form.bits);
            const uint64_t magnitude =
                v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            return (v < 0 ? "-" : "") + Digits(magnitude, 10, false);
        }
        case 'u':
            return Digits(Truncate(bits, form.bits), 10, false);
        case 'x':
            return Digits(Truncate(bits, form.bits), 16, false);
        case 'X':
            return Digits(Truncate(bits, form.bits), 16, true);
        case 'c':
            return std::string(1, static_cast<char>(bits & 0xFF));
        default:
            return std::string();
    }
}

std::string StringText(const Arg* arg, bool wide) {
    if (arg == nullptr) return std::string();
    if (wide || arg->GetKind() == Arg::Kind::Wide) {
        return arg->GetKind() == Arg::Kind::Wide ? WideForLog(arg->Wide()) : std::string();
    }
    if (arg->GetKind() == Arg::Kind::Narrow && arg->Narrow() != nullptr) return arg->Narrow();
    return std::string();
}

}  // namespace

std::string WideForLog(const WCHAR* text) {
    if (text == nullptr) return std::string();
    size_t n = 0;
    while (text[n] != 0) ++n;
    std::string out;
    try {
        utf8::utf16to8(text, text + n, std::back_inserter(out));
    } catch (const utf8::exception&) {
        out.clear();
        for (size_t i = 0; i < n; ++i) out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    }
    return out;
}

std::string Format(const char* format, std::initializer_list<Arg> args) {
    std::string out;
    if (format == nullptr) return out;
    const Arg* next = args.begin();
    auto take = [&]() -> const Arg* { return next != args.end() ? next++ : nullptr; };

    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            continue;
        }
        Conversion form;
        for (; *p == '-' || *p == '0'; ++p) (*p == '-' ? form.left : form.zero) = true;
        for (; *p >= '0' && *p <= '9'; ++p) form.width = form.width * 10 + static_cast<size_t>(*p - '0');
        if (form.width > 4096) form.width = 4096;
        if (p[0] == 'h' && p[1] == 'h') {
            form.bits = 8;
            p += 2;
        } else if (*p == 'h') {
            form.bits = 16;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            form.bits = 64;
            p += 2;
        } else if (*p == 'l') {
            form.wide = true;  // "%ls" is wide; "%lu" stays 32-bit as on Windows
            ++p;
        } else if (*p == 'w') {
            form.wide = true;
            ++p;
        }
        switch (*p) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'c':
                Pad(out, IntegerText(*p, take(), form), form, *p != 'c');
                break;
            case 's':
                Pad(out, StringText(take(), form.wide), form, false);
                break;
            case 'S':
                Pad(out, StringText(take(), true), form, false);
                break;
            default:
                // Not a conversion we know: keep the text as written.
                out.append(start, static_cast<size_t>(p - start));
                if (*p == 0) return out;
                out.push_back(*p);
                break;
        }
    }
    return out;
}

}  // namespace mdlog
