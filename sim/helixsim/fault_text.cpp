#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "helixsim/fault.h"

namespace helixsim {

namespace {

uint32_t ParseNumber(const std::string& text, uint32_t min, uint32_t max, int base = 10) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
        throw std::invalid_argument("wants a number from " + std::to_string(min) + " to " +
                                    std::to_string(max) + ", not \"" + text + "\"");
    }
    return value;
}

}  // namespace

Fault ParseFault(const std::string& text) {
    using Kind = Fault::Kind;
    static const std::pair<const char*, Kind> kKinds[] = {
        {"sw", Kind::StatusWord},
        {"reset-before", Kind::ResetBefore},
        {"reset-after", Kind::ResetAfter},
        {"remove-before", Kind::RemoveBefore},
        {"remove-after", Kind::RemoveAfter},
        {"tear", Kind::Tear},
    };
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    Fault fault;
    const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                   [&](const auto& k) { return parts[0] == k.first; });
    const bool withValue =
        kind != std::end(kKinds) && (kind->second == Kind::StatusWord || kind->second == Kind::Tear);
    if (kind == std::end(kKinds) || parts.size() != (withValue ? 3u : 2u))
        throw std::invalid_argument("wants KIND:N, sw:N:XXXX or tear:N:BYTES, not \"" + text + "\"");
    fault.kind = kind->second;
    fault.command = ParseNumber(parts[1], 1, std::numeric_limits<uint32_t>::max());
    if (fault.kind == Kind::StatusWord)
        fault.sw = static_cast<uint16_t>(ParseNumber(parts[2], 0, 0xFFFF, 16));
    if (fault.kind == Kind::Tear) fault.tearBytes = ParseNumber(parts[2], 0, 65535);
    return fault;
}

}  // namespace helixsim
