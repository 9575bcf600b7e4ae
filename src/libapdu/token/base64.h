// Base64 with the RFC 4648 alphabet and padding, without line breaks.
#pragma once

#include <string>
#include <string_view>

#include "libapdu/token/bytes.h"

namespace libapdu {

std::string Base64Encode(ByteSpan bytes);

// Decoding stops at the first '=' or character outside the alphabet; a last group of k
// characters (1 to 3) gives k - 1 bytes. Nothing is ever rejected.
ByteVector Base64Decode(std::string_view text);
// The same for secrets: the result is allocated once and wipes itself.
SecretBytes Base64DecodeSecret(std::string_view text);

}  // namespace libapdu
