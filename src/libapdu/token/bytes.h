// Byte containers shared by the token library, the channel and the card module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace libapdu {

using ByteVector = std::vector<uint8_t>;

// A read-only view of bytes owned elsewhere.
struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;

    ByteSpan() = default;
    ByteSpan(const uint8_t* d, size_t n) : data(d), size(n) {}
    ByteSpan(const ByteVector& v) : data(v.data()), size(v.size()) {}  // NOLINT: views convert implicitly

    const uint8_t* begin() const { return data; }
    const uint8_t* end() const { return data + size; }
    bool empty() const { return size == 0; }
    uint8_t operator[](size_t i) const { return data[i]; }
    ByteVector ToVector() const { return ByteVector(begin(), end()); }
};

// Allocator that wipes what it held before giving it back, so that secrets in a vector do not
// survive a reallocation or the vector's end.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) noexcept {
        platform::SecureWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const noexcept {
        return false;
    }
};

// PINs, tickets, session keys and agreed secrets live in these.
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

inline SecretBytes ToSecret(ByteSpan s) {
    return SecretBytes(s.begin(), s.end());
}

// Wipes a plain vector in place (for values that passed through an interface taking ByteVector).
inline void Wipe(ByteVector& v) noexcept {
    platform::SecureWipe(v.data(), v.size());
    v.clear();
}

}  // namespace libapdu
