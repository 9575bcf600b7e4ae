#include "mdhost/host_services.h"

#include <gtest/gtest.h>

#include <cstring>

namespace mdhost {
namespace {

AllocationStats Stats() {
    return CAllocationTracker::Instance().Stats();
}

TEST(AllocationTracker, CountsABlockUntilItIsFreed) {
    const AllocationStats before = Stats();
    CARD_DATA data{};
    CHostCache cache;
    FillHostServices(data, cache);
    void* block = data.pfnCspAlloc(24);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(Stats().live, before.live + 1);
    EXPECT_EQ(Stats().liveBytes, before.liveBytes + 24);
    block = data.pfnCspReAlloc(block, 100);
    EXPECT_EQ(Stats().liveBytes, before.liveBytes + 100);
    data.pfnCspFree(block);
    EXPECT_EQ(Stats().live, before.live);
    EXPECT_EQ(Stats().allocations, before.allocations + 2);
}

TEST(AllocationTracker, HandsOutZeroedBlocksAndCountsASecondFreeAsBadInsteadOfFreeingAgain) {
    const AllocationStats before = Stats();
    void* block = CAllocationTracker::Instance().Alloc(8);
    CAllocationTracker::Instance().Free(block);
    CAllocationTracker::Instance().Free(block);
    EXPECT_EQ(Stats().badFrees, before.badFrees + 1);
    int onTheStack = 0;
    EXPECT_EQ(CAllocationTracker::Instance().ReAlloc(&onTheStack, 16), nullptr);
    EXPECT_EQ(Stats().badFrees, before.badFrees + 2);
    auto* zeroed = static_cast<uint8_t*>(CAllocationTracker::Instance().Alloc(16));
    EXPECT_EQ(std::count(zeroed, zeroed + 16, 0), 16);
    void* empty = CAllocationTracker::Instance().Alloc(0);
    EXPECT_NE(empty, nullptr);
    CAllocationTracker::Instance().Free(zeroed);
    CAllocationTracker::Instance().Free(empty);
}

TEST(HostCache, GivesACopyOfAFileInAHostBlockUntilItIsDeleted) {
    CARD_DATA data{};
    CHostCache cache;
    FillHostServices(data, cache);
    WCHAR tag[] = HELIX_WTEXT("cardcf");
    BYTE content[] = {1, 2, 3};
    ASSERT_EQ(data.pfnCspCacheAddFile(data.pvCacheContext, tag, 0, content, sizeof content), SCARD_S_SUCCESS);
    const uint64_t live = Stats().live;
    PBYTE copy = nullptr;
    DWORD size = 0;
    ASSERT_EQ(data.pfnCspCacheLookupFile(data.pvCacheContext, tag, 0, &copy, &size), SCARD_S_SUCCESS);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(copy, content, 3), 0);
    EXPECT_EQ(Stats().live, live + 1);
    data.pfnCspFree(copy);
    EXPECT_EQ(data.pfnCspCacheDeleteFile(data.pvCacheContext, tag, 0), SCARD_S_SUCCESS);
    EXPECT_EQ(data.pfnCspCacheLookupFile(data.pvCacheContext, tag, 0, &copy, &size), SCARD_E_FILE_NOT_FOUND);
    EXPECT_EQ(data.pfnCspCacheDeleteFile(data.pvCacheContext, tag, 0), SCARD_E_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace mdhost
