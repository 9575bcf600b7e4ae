#include "card/auth_library.h"

#include "platform/platform.h"

namespace {

constexpr char kLibraryName[] = "LibTqAuth.dll";

using GetTicketSizeFn = uint32_t(WINAPI*)(uint32_t* size);
using AuthFn = uint32_t(WINAPI*)(const char* reader, uint32_t readerLength, ULONG_PTR parentWindow,
                                 uint8_t* ticket, uint32_t ticketSize);

}  // namespace

CAuthLibrary::CAuthLibrary() : m_library(platform::LoadLibraryNamed(kLibraryName)) {}

CAuthLibrary::~CAuthLibrary() {
    Free();
}

void CAuthLibrary::Free() {
    platform::FreeLibraryHandle(m_library);
    m_library = nullptr;
}

void* CAuthLibrary::Function(const char* name) const {
    return platform::LibraryFunction(m_library, name);
}

uint32_t CAuthLibrary::TicketSize(uint32_t* size) {
    if (m_library == nullptr) return kMissingLibrary;
    void* function = Function("tqauth_GetTicketSize");
    if (function == nullptr) return kMissingFunction;
    return reinterpret_cast<GetTicketSizeFn>(function)(size);
}

uint32_t CAuthLibrary::Authenticate(const char* reader, uint32_t readerLength, ULONG_PTR parentWindow,
                                    uint8_t* ticket, uint32_t ticketSize) {
    if (m_library == nullptr) return kMissingLibrary;
    void* function = Function("tqauth_Auth");
    if (function == nullptr) return kMissingFunction;
    return reinterpret_cast<AuthFn>(function)(reader, readerLength, parentWindow, ticket, ticketSize);
}
