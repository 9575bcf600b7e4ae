#include "platform/platform.h"

#include <bcrypt.h>

namespace platform {

DWORD ProcessId() {
    return ::GetCurrentProcessId();
}

DWORD ThreadId() {
    return ::GetCurrentThreadId();
}

std::tm LocalTime(std::time_t t) {
    std::tm out{};
    if (::localtime_s(&out, &t) != 0) return std::tm{};
    return out;
}

void SecureWipe(void* data, size_t size) noexcept {
    if (data != nullptr && size != 0) ::SecureZeroMemory(data, size);
}

void RandomBytes(uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ULONG piece = static_cast<ULONG>(size - done > 0x10000000 ? 0x10000000 : size - done);
        if (::BCryptGenRandom(nullptr, data + done, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            throw static_cast<int32_t>(SCARD_F_INTERNAL_ERROR);
        done += piece;
    }
}

}  // namespace platform
