// The PC/SC seam over the Windows smart card service.
#include "channel/pcsc.h"

#include <winscard.h>

#include <cstring>
#include <vector>

namespace pcsc {

DWORD Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
               DWORD* recvLength) {
    const SCARD_IO_REQUEST* pci = protocol == kProtocolT0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    DWORD length = *recvLength;
    const DWORD rv = static_cast<DWORD>(::SCardTransmit(card, pci, send, sendLength, nullptr, recv, &length));
    *recvLength = rv == SCARD_S_SUCCESS ? length : 0;
    return rv;
}

DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    DWORD state = 0;
    DWORD proto = 0;
    BYTE buffer[36] = {};
    DWORD length = sizeof buffer;
    const DWORD rv =
        static_cast<DWORD>(::SCardStatusA(card, nullptr, nullptr, &state, &proto, buffer, &length));
    if (rv != SCARD_S_SUCCESS) return rv;
    if (protocol != nullptr) *protocol = proto;
    if (atr != nullptr && atrLength != nullptr) {
        const DWORD n = length < *atrLength ? length : *atrLength;
        std::memcpy(atr, buffer, n);
        *atrLength = n;
    }
    return rv;
}

DWORD ReaderName(SCARDHANDLE card, char* reader, DWORD* readerLength) {
    DWORD state = 0;
    DWORD proto = 0;
    BYTE atr[32] = {};
    DWORD atrLength = sizeof atr;
    return static_cast<DWORD>(::SCardStatusA(card, reader, readerLength, &state, &proto, atr, &atrLength));
}

DWORD BeginTransaction(SCARDHANDLE card) {
    return static_cast<DWORD>(::SCardBeginTransaction(card));
}

DWORD EndTransaction(SCARDHANDLE card, DWORD disposition) {
    return static_cast<DWORD>(::SCardEndTransaction(card, disposition));
}

DWORD Reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) {
    DWORD proto = 0;
    const DWORD rv = static_cast<DWORD>(::SCardReconnect(
        card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, initialization, &proto));
    if (protocol != nullptr) *protocol = proto;
    return rv;
}

DWORD EstablishContext(SCARDCONTEXT* context) {
    return static_cast<DWORD>(::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context));
}

DWORD ReleaseContext(SCARDCONTEXT context) {
    return static_cast<DWORD>(::SCardReleaseContext(context));
}

DWORD ListReaders(SCARDCONTEXT context, std::string* multiString) {
    DWORD length = 0;
    DWORD rv = static_cast<DWORD>(::SCardListReadersA(context, nullptr, nullptr, &length));
    if (rv != SCARD_S_SUCCESS) return rv;
    std::vector<char> names(length + 1, 0);
    rv = static_cast<DWORD>(::SCardListReadersA(context, nullptr, names.data(), &length));
    if (rv == SCARD_S_SUCCESS) multiString->assign(names.data(), length);
    return rv;
}

DWORD Connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol) {
    DWORD proto = 0;
    const DWORD rv = static_cast<DWORD>(::SCardConnectA(context, reader, SCARD_SHARE_SHARED,
                                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, &proto));
    if (protocol != nullptr) *protocol = proto;
    return rv;
}

DWORD Disconnect(SCARDHANDLE card, DWORD disposition) {
    return static_cast<DWORD>(::SCardDisconnect(card, disposition));
}

}  // namespace pcsc
