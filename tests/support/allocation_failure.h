// Exhausted memory on demand: the n-th operator new from now on, on this thread, throws
// std::bad_alloc; every other allocation goes to the allocator the program has anyway (the
// sanitizer's in the dev build), so its checks stay on.
#pragma once

#include <cstddef>

// 0 disarms.
void FailAllocation(size_t n);
// Whether the armed failure has been thrown since FailAllocation.
bool AllocationFailed();

// Allocations of the test's own bookkeeping (a scripted card's records) never fail while one lives.
class [[nodiscard]] AllocationsSpared {
public:
    AllocationsSpared();
    ~AllocationsSpared();
    AllocationsSpared(const AllocationsSpared&) = delete;
    AllocationsSpared& operator=(const AllocationsSpared&) = delete;
};
