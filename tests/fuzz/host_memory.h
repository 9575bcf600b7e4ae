// The host's allocation callbacks, with every live buffer and its size kept, so that a target can
// check that an output stays inside what was allocated for it and that nothing is left behind.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <map>

#include "fuzz_check.h"
#include "platform/minidriver.h"

namespace fuzzhost {

// NOLINTBEGIN(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
inline std::map<const void*, size_t>& Live() {
    static std::map<const void*, size_t> live;
    return live;
}
inline LPVOID WINAPI Alloc(SIZE_T size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    Live()[p] = size;
    return p;
}
inline LPVOID WINAPI ReAlloc(LPVOID address, SIZE_T size) {
    FUZZ_REQUIRE(address == nullptr || Live().erase(address) == 1);
    void* p = std::realloc(address, size == 0 ? 1 : size);
    Live()[p] = size;
    return p;
}
inline void WINAPI Free(LPVOID address) {
    if (address == nullptr) return;
    FUZZ_REQUIRE(Live().erase(address) == 1);
    std::free(address);
}
// NOLINTEND(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)

// An output of `size` bytes handed back in a buffer of the host's allocator.
inline void RequireInside(const void* buffer, size_t size) {
    FUZZ_REQUIRE(buffer != nullptr);
    const auto found = Live().find(buffer);
    FUZZ_REQUIRE(found != Live().end() && size <= found->second);
}

}  // namespace fuzzhost
