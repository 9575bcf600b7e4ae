// Text between the host's UTF-16 strings and the card's byte strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "libapdu/token/bytes.h"
#include "libapdu/token/failure.h"
#include "platform/win32.h"

namespace libapdu {

using WideString = std::basic_string<WCHAR>;
using WideView = std::basic_string_view<WCHAR>;

// Text encodings a card reports for its PIN and identity texts.
enum TextEncoding : uint8_t {
    kTextNarrow = 2,  // the process's code page, by locale
    kTextUtf8 = 3,
};

// Text that is not valid UTF-16 or UTF-8 throws CAPDUException 0x6281.
std::string WideToUtf8(WideView text);
WideString Utf8ToWide(std::string_view text);

// By the process locale, which the first call sets to the user's default for all categories.
// Characters the locale cannot represent throw CAPDUException 0x6281.
std::string WideToNarrow(WideView text);
WideString NarrowToWide(std::string_view text);

// An encoding other than kTextNarrow and kTextUtf8 throws CAPDUException 0xFACE.
ByteVector EncodeText(WideView text, uint8_t encoding);
WideString DecodeText(ByteSpan bytes, uint8_t encoding);

}  // namespace libapdu
