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

TEST(AllocationTracker, CountsASecondFreeAsBadInsteadOfFreeingAgain) {
    const AllocationStats before = Stats();
    void* block = CAllocationTracker::Instance().Alloc(8);
    CAllocationTracker::Instance().Free(block);
    CAllocationTracker::Instance().Free(block);
    EXPECT_EQ(Stats().badFrees, before.badFrees + 1);
    int onTheStack = 0;
    EXPECT_EQ(CAllocationTracker::Instance().ReAlloc(&onTheStack, 16), nullptr);
    EXPECT_EQ(Stats().badFrees, before.badFrees + 2);
}

TEST(AllocationTracker, HandsOutZeroedBlocksEvenOfSizeZero) {
    auto* block = static_cast<uint8_t*>(CAllocationTracker::Instance().Alloc(16));
    EXPECT_EQ(std::count(block, block + 16, 0), 16);
    void* empty = CAllocationTracker::Instance().Alloc(0);
    EXPECT_NE(empty, nullptr);
    CAllocationTracker::Instance().Free(block);
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

TEST(HostServices, FillCardDataAsTheWindowsStackDoes) {
    CARD_DATA data{};
    CHostCache cache;
    FillHostServices(data, cache);
    EXPECT_EQ(data.dwVersion, 7u);
    EXPECT_EQ(std::basic_string<WCHAR>(data.pwszCardName), HELIX_WTEXT("Helix"));
    EXPECT_EQ(data.pvCacheContext, &cache);
    EXPECT_NE(data.pfnCspPadData, nullptr);
    EXPECT_NE(data.pfnCspUnpadData, nullptr);
}

}  // namespace
}  // namespace mdhost
