// Status codes as a person reads them.
#pragma once

#include <cstdint>
#include <string>

namespace mdhost {

// "0x8010001F".
std::string HexStatus(uint32_t code);
// The published name of a code the module or PC/SC answers, or "" for one not in the table.
const char* StatusName(uint32_t code);
// "0x8010001F SCARD_E_UNEXPECTED", or the number alone.
std::string StatusText(uint32_t code);

}  // namespace mdhost
