// Sees only the PC/SC headers, never the module's Windows types.
#include "mdhost/pcsc_client.h"

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#define HELIX_SCARD_CONNECT SCardConnectA
#define HELIX_SCARD_STATUS SCardStatusA
#else
#include <PCSC/winscard.h>
#define HELIX_SCARD_CONNECT SCardConnect
#define HELIX_SCARD_STATUS SCardStatus
#endif

namespace mdhost::pcscclient {

namespace {

uint32_t Result(LONG rv) {
    return static_cast<uint32_t>(static_cast<uint64_t>(rv));
}

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

}  // namespace

Opened EstablishContext() {
    SCARDCONTEXT context = 0;
    const uint32_t rv = Result(::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    return {rv, static_cast<uintptr_t>(context)};
}

uint32_t ReleaseContext(uintptr_t context) {
    return Result(::SCardReleaseContext(static_cast<SCARDCONTEXT>(context)));
}

Opened Connect(uintptr_t context, const std::string& reader) {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const uint32_t rv = Result(HELIX_SCARD_CONNECT(static_cast<SCARDCONTEXT>(context), reader.c_str(),
                                                   SCARD_SHARE_SHARED, kProtocols, &card, &protocol));
    return {rv, static_cast<uintptr_t>(card)};
}

uint32_t Reconnect(uintptr_t card, uint32_t initialization) {
    DWORD protocol = 0;
    return Result(::SCardReconnect(static_cast<SCARDHANDLE>(card), SCARD_SHARE_SHARED, kProtocols,
                                   initialization, &protocol));
}

uint32_t Disconnect(uintptr_t card, uint32_t disposition) {
    return Result(::SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition));
}

uint32_t BeginTransaction(uintptr_t card) {
    return Result(::SCardBeginTransaction(static_cast<SCARDHANDLE>(card)));
}

uint32_t EndTransaction(uintptr_t card, uint32_t disposition) {
    return Result(::SCardEndTransaction(static_cast<SCARDHANDLE>(card), disposition));
}

uint32_t Status(uintptr_t card, std::vector<uint8_t>& atr) {
    char reader[512];
    DWORD readerLength = sizeof reader;
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE buffer[64];
    DWORD length = sizeof buffer;
    const uint32_t rv = Result(HELIX_SCARD_STATUS(static_cast<SCARDHANDLE>(card), reader, &readerLength,
                                                  &state, &protocol, buffer, &length));
    if (rv == 0) atr.assign(buffer, buffer + (length < sizeof buffer ? length : sizeof buffer));
    return rv;
}

}  // namespace mdhost::pcscclient
