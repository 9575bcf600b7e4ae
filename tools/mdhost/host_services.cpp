#include "mdhost/host_services.h"

#include "mdhost/key_checks.h"

#include <cstdlib>
#include <cstring>

namespace mdhost {

namespace {

WCHAR g_cardName[] = HELIX_WTEXT("Helix");

LPVOID WINAPI CspAlloc(SIZE_T size) {
    return CAllocationTracker::Instance().Alloc(size);
}

LPVOID WINAPI CspReAlloc(LPVOID block, SIZE_T size) {
    return CAllocationTracker::Instance().ReAlloc(block, size);
}

void WINAPI CspFree(LPVOID block) {
    CAllocationTracker::Instance().Free(block);
}

DWORD WINAPI CacheAddFile(PVOID context, LPWSTR tag, DWORD /*flags*/, PBYTE data, DWORD size) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    return static_cast<CHostCache*>(context)->Add(tag, data, size);
}

DWORD WINAPI CacheLookupFile(PVOID context, LPWSTR tag, DWORD /*flags*/, PBYTE* data, PDWORD size) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    return static_cast<const CHostCache*>(context)->Lookup(tag, data, size);
}

DWORD WINAPI CacheDeleteFile(PVOID context, LPWSTR tag, DWORD /*flags*/) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    return static_cast<CHostCache*>(context)->Delete(tag);
}

}  // namespace

CAllocationTracker& CAllocationTracker::Instance() {
    static CAllocationTracker tracker;
    return tracker;
}

// Zero-filled, and never null for a size of 0, as the Windows allocators behave.
void* CAllocationTracker::Alloc(size_t size) {
    void* block = std::calloc(size == 0 ? 1 : size, 1);
    if (block == nullptr) return nullptr;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_live[block] = size;
    ++m_stats.allocations;
    m_stats.bytes += size;
    ++m_stats.live;
    m_stats.liveBytes += size;
    return block;
}

void* CAllocationTracker::ReAlloc(void* block, size_t size) {
    if (block == nullptr) return Alloc(size);
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_live.find(block);
    if (it == m_live.end()) {
        ++m_stats.badFrees;
        return nullptr;
    }
    void* moved = std::realloc(block, size == 0 ? 1 : size);
    if (moved == nullptr) return nullptr;
    m_stats.liveBytes = m_stats.liveBytes - it->second + size;
    m_live.erase(it);
    m_live[moved] = size;
    ++m_stats.allocations;
    m_stats.bytes += size;
    return moved;
}

// A block the host does not know is counted and left alone rather than handed to free().
void CAllocationTracker::Free(void* block) {
    if (block == nullptr) return;
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_live.find(block);
    if (it == m_live.end()) {
        ++m_stats.badFrees;
        return;
    }
    --m_stats.live;
    m_stats.liveBytes -= it->second;
    m_live.erase(it);
    std::free(block);
}

AllocationStats CAllocationTracker::Stats() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

DWORD CHostCache::Add(const WCHAR* tag, const BYTE* data, DWORD size) {
    if (tag == nullptr || (data == nullptr && size != 0)) return SCARD_E_INVALID_PARAMETER;
    m_files[tag] = std::vector<BYTE>(data, data + size);
    return SCARD_S_SUCCESS;
}

DWORD CHostCache::Lookup(const WCHAR* tag, PBYTE* data, PDWORD size) const {
    if (tag == nullptr || data == nullptr || size == nullptr) return SCARD_E_INVALID_PARAMETER;
    const auto it = m_files.find(tag);
    if (it == m_files.end()) return SCARD_E_FILE_NOT_FOUND;
    auto* copy = static_cast<PBYTE>(CAllocationTracker::Instance().Alloc(it->second.size()));
    if (copy == nullptr) return SCARD_E_NO_MEMORY;
    if (!it->second.empty()) std::memcpy(copy, it->second.data(), it->second.size());
    *data = copy;
    *size = static_cast<DWORD>(it->second.size());
    return SCARD_S_SUCCESS;
}

DWORD CHostCache::Delete(const WCHAR* tag) {
    if (tag == nullptr) return SCARD_E_INVALID_PARAMETER;
    return m_files.erase(tag) == 0 ? SCARD_E_FILE_NOT_FOUND : SCARD_S_SUCCESS;
}

void FillHostServices(CARD_DATA& data, CHostCache& cache) {
    data.dwVersion = CARD_DATA_CURRENT_VERSION;
    data.pwszCardName = g_cardName;
    data.pfnCspAlloc = CspAlloc;
    data.pfnCspReAlloc = CspReAlloc;
    data.pfnCspFree = CspFree;
    data.pfnCspCacheAddFile = CacheAddFile;
    data.pfnCspCacheLookupFile = CacheLookupFile;
    data.pfnCspCacheDeleteFile = CacheDeleteFile;
    data.pvCacheContext = &cache;
    data.pfnCspPadData = PadSignature;
    data.pfnCspUnpadData = UnpadEncryption;
}

}  // namespace mdhost
