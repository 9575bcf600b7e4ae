#include "allocation_failure.h"

#include <dlfcn.h>

#include <cstdlib>
#include <new>

namespace {

thread_local size_t t_countdown = 0;
thread_local bool t_failed = false;
thread_local int t_spared = 0;

using NewFunction = void* (*)(size_t);

NewFunction NextNew() {
    // The operator new this one stands in front of: the sanitizer's or the C++ library's.
    static const auto next = reinterpret_cast<NewFunction>(::dlsym(RTLD_NEXT, "_Znwm"));
    if (next == nullptr) std::abort();
    return next;
}

}  // namespace

void FailAllocation(size_t n) {
    t_countdown = n;
    t_failed = false;
}

bool AllocationFailed() {
    return t_failed;
}

AllocationsSpared::AllocationsSpared() {
    ++t_spared;
}

AllocationsSpared::~AllocationsSpared() {
    --t_spared;
}

void* operator new(size_t size) {
    if (t_countdown > 0 && t_spared == 0 && --t_countdown == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    return NextNew()(size);
}
