#include "platform/platform.h"

#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace platform {

DWORD ProcessId() {
    return static_cast<DWORD>(::getpid());
}

DWORD ThreadId() {
    return static_cast<DWORD>(::syscall(SYS_gettid));
}

std::string ProcessName() noexcept {
    try {
        std::array<char, 4096> path{};
        const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
        if (length <= 0) return {};
        const std::string full(path.data(), static_cast<size_t>(length));
        return full.substr(full.rfind('/') + 1);
    } catch (...) {
        return {};
    }
}

std::tm LocalTime(std::time_t t) {
    std::tm out{};
    if (::localtime_r(&t, &out) == nullptr) return std::tm{};
    return out;
}

bool IsWindowHandle(ULONG_PTR /*handle*/) noexcept {
    return false;
}

void SecureWipe(void* data, size_t size) noexcept {
    if (data != nullptr && size != 0) ::explicit_bzero(data, size);
}

void RandomBytes(uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::getrandom(data + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw static_cast<int32_t>(SCARD_F_INTERNAL_ERROR);
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace platform
