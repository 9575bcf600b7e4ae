// What the fuzz targets share. FUZZ_REQUIRE: a broken invariant is said on stderr, then abort(),
// which libFuzzer reports as a finding and the replaying test as a failure. The host's allocation
// callbacks keep every live buffer and its size, so that a target can check that an output stays
// inside what was allocated for it and that nothing is left behind.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/minidriver.h"

namespace fuzzcheck {

[[noreturn]] inline void Broken(const char* file, int line, const char* condition) {
    (void)std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

}  // namespace fuzzcheck

#define FUZZ_REQUIRE(condition) ((condition) ? (void)0 : fuzzcheck::Broken(__FILE__, __LINE__, #condition))

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

// A record as the host fills it before CardAcquireContext, with these allocation callbacks.
inline CARD_DATA Record(std::vector<BYTE>& atr, SCARDCONTEXT context, SCARDHANDLE card) {
    static WCHAR cardName[] = u"Helix Card";
    CARD_DATA record{};
    record.dwVersion = CARD_DATA_VERSION_SEVEN;
    record.pbAtr = atr.data();
    record.cbAtr = static_cast<DWORD>(atr.size());
    record.pwszCardName = cardName;
    record.pfnCspAlloc = &Alloc;
    record.pfnCspReAlloc = &ReAlloc;
    record.pfnCspFree = &Free;
    record.hSCardCtx = context;
    record.hScard = card;
    return record;
}

// The P-256 base point as a BCRYPT_ECCKEY_BLOB: a valid peer for any P-256 key.
inline const std::vector<BYTE> kPeerBlob = {
    0x45, 0x43, 0x4B, 0x31, 0x20, 0x00, 0x00, 0x00, 0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42,
    0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2, 0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB,
    0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96, 0x4F, 0xE3, 0x42, 0xE2, 0xFE,
    0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16, 0x2B, 0xCE, 0x33, 0x57,
    0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};

}  // namespace fuzzhost
