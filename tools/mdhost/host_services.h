// The services a host lends the module through CARD_DATA: memory (every block counted, so that a
// block the module forgets or frees twice shows), the data cache keyed by tag, and padding.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/minidriver.h"

namespace mdhost {

struct AllocationStats {
    uint64_t allocations = 0;  // blocks handed out by alloc and realloc
    uint64_t bytes = 0;        // bytes handed out in all
    uint64_t live = 0;         // blocks not given back yet
    uint64_t liveBytes = 0;
    uint64_t badFrees = 0;  // blocks given back that the host never handed out (or twice)
};

// pfnCspAlloc has no context argument: one tracker serves the whole process.
class CAllocationTracker {
public:
    static CAllocationTracker& Instance();

    void* Alloc(size_t size);
    void* ReAlloc(void* block, size_t size);
    void Free(void* block);
    AllocationStats Stats() const;

private:
    CAllocationTracker() = default;

    mutable std::mutex m_mutex;
    std::map<void*, size_t> m_live;
    AllocationStats m_stats;
};

// The host's data cache (pfnCspCacheAddFile and its kin), one per CARD_DATA.
class CHostCache {
public:
    DWORD Add(const WCHAR* tag, const BYTE* data, DWORD size);
    // The copy handed out is allocated with the host's allocator; the caller frees it.
    DWORD Lookup(const WCHAR* tag, PBYTE* data, PDWORD size) const;
    DWORD Delete(const WCHAR* tag);
    size_t Entries() const { return m_files.size(); }

private:
    std::map<std::basic_string<WCHAR>, std::vector<BYTE>> m_files;
};

// Sets the version, the allocator, the cache and padding callbacks and the card name.
void FillHostServices(CARD_DATA& data, CHostCache& cache);

}  // namespace mdhost
