#include "platform/platform.h"

#include <dlfcn.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
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

void* LoadLibraryNamed(const char* name) noexcept {
    try {
        std::string file(name);
        const std::string suffix = ".dll";
        if (file.size() > suffix.size() &&
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
            file.resize(file.size() - suffix.size());
            std::transform(file.begin(), file.end(), file.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (file.rfind("lib", 0) != 0) file.insert(0, "lib");
            file += ".so";
        }
        return ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    } catch (...) {
        return nullptr;
    }
}

void* LibraryFunction(void* library, const char* name) noexcept {
    return ::dlsym(library, name);
}

void FreeLibraryHandle(void* library) noexcept {
    if (library != nullptr) ::dlclose(library);
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

// RFC 4122 version 4: random but for the version nibble and the variant bits.
GUID NewGuid() {
    uint8_t bytes[16];
    RandomBytes(bytes, sizeof bytes);
    GUID guid{};
    guid.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                 static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<uint16_t>((bytes[6] & 0x0F) << 8 | bytes[7] | 0x4000);
    std::memcpy(guid.Data4, bytes + 8, sizeof guid.Data4);
    guid.Data4[0] = static_cast<uint8_t>((guid.Data4[0] & 0x3F) | 0x80);
    return guid;
}

}  // namespace platform
