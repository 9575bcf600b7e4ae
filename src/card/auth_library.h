// The outside authentication library ("LibTqAuth.dll"): it authenticates the user on its own,
// talking to the reader and the user as it likes, and hands back a ticket. Loaded for one call
// and freed right after it; nothing is raised while loading.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class CAuthLibrary {
public:
    // The library's answers the caller relies on; any other is a failure.
    static constexpr uint32_t kSuccess = 0;
    static constexpr uint32_t kCancelled = 1;
    // The loader's own answers: no library, no such function.
    static constexpr uint32_t kMissingLibrary = 3;
    static constexpr uint32_t kMissingFunction = 4;

    CAuthLibrary();
    ~CAuthLibrary();
    CAuthLibrary(const CAuthLibrary&) = delete;
    CAuthLibrary& operator=(const CAuthLibrary&) = delete;

    // tqauth_GetTicketSize: *size receives the size of the ticket buffer to hand to Authenticate.
    uint32_t TicketSize(uint32_t* size);
    // tqauth_Auth, for the reader of that name (length in characters, terminators included).
    uint32_t Authenticate(const char* reader, uint32_t readerLength, ULONG_PTR parentWindow, uint8_t* ticket,
                          uint32_t ticketSize);
    void Free();

private:
    void* Function(const char* name) const;

    void* m_library;
};
