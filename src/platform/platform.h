// The few operating-system services the module needs beyond PC/SC, one declaration for every
// platform; platform_windows.cpp and platform_posix.cpp implement them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/win32.h"

namespace platform {

DWORD ProcessId();
DWORD ThreadId();

// Base name of the executable the module runs in; empty when it cannot be learned.
std::string ProcessName() noexcept;

// Local calendar time of the given moment; a zeroed record if the conversion fails.
std::tm LocalTime(std::time_t t);

// True when the handle names a window of this desktop; outside Windows there are none.
bool IsWindowHandle(ULONG_PTR handle) noexcept;

// A library loaded by name as LoadLibraryA loads it; null when it cannot be loaded. Outside
// Windows "Name.dll" stands for the shared library "libname.so" ("LibName.dll" too), found by
// the dynamic loader.
void* LoadLibraryNamed(const char* name) noexcept;
// An exported function of a loaded library; null when it has none of that name.
void* LibraryFunction(void* library, const char* name) noexcept;
void FreeLibraryHandle(void* library) noexcept;

// Overwrites memory in a way the optimiser may not drop.
void SecureWipe(void* data, size_t size) noexcept;

// Fills the buffer from the operating system's random generator; throws SCARD_F_INTERNAL_ERROR
// (as a status code) if the generator fails.
void RandomBytes(uint8_t* data, size_t size);

// A new globally unique identifier, as CoCreateGuid makes one (random, version 4); throws
// SCARD_F_INTERNAL_ERROR (as a status code) if none can be made.
GUID NewGuid();

}  // namespace platform
