#include "platform/platform.h"

#include <bcrypt.h>
#include <objbase.h>

#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>

#include <memory>
#include <type_traits>

namespace platform {

DWORD ProcessId() {
    return ::GetCurrentProcessId();
}

DWORD ThreadId() {
    return ::GetCurrentThreadId();
}

std::string ProcessName() noexcept {
    try {
        // Query-information and read-memory access: what enumerating the modules needs.
        const std::unique_ptr<std::remove_pointer_t<HANDLE>, decltype(&::CloseHandle)> process(
            ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::GetCurrentProcessId()),
            &::CloseHandle);
        if (!process) return {};
        // The first module is the executable; one handle is all that is asked for.
        HMODULE first = nullptr;
        DWORD needed = 0;
        if (!::K32EnumProcessModules(process.get(), &first, sizeof first, &needed)) return {};
        char name[260] = {};
        if (::K32GetModuleBaseNameA(process.get(), first, name, sizeof name) == 0) return {};
        return name;
    } catch (...) {
        return {};
    }
}

std::tm LocalTime(std::time_t t) {
    std::tm out{};
    if (::localtime_s(&out, &t) != 0) return std::tm{};
    return out;
}

bool IsWindowHandle(ULONG_PTR handle) noexcept {
    return ::IsWindow(reinterpret_cast<HWND>(handle)) != FALSE;
}

void* LoadLibraryNamed(const char* name) noexcept {
    return reinterpret_cast<void*>(::LoadLibraryA(name));
}

void* LibraryFunction(void* library, const char* name) noexcept {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeLibraryHandle(void* library) noexcept {
    if (library != nullptr) ::FreeLibrary(static_cast<HMODULE>(library));
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

GUID NewGuid() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) throw static_cast<int32_t>(SCARD_F_INTERNAL_ERROR);
    return guid;
}

}  // namespace platform
