// The module's PC/SC seam over the simulated readers: every call goes to the process's registry.
#include "channel/pcsc.h"

#include "pcsc/sim_readers.h"

namespace pcsc {

using helixsim::Readers;

DWORD Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
               DWORD* recvLength) {
    return Readers::Instance().Transmit(card, protocol, send, sendLength, recv, recvLength);
}

DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    return Readers::Instance().Status(card, protocol, atr, atrLength);
}

DWORD ReaderName(SCARDHANDLE card, char* reader, DWORD* readerLength) {
    return Readers::Instance().ReaderName(card, reader, readerLength);
}

DWORD BeginTransaction(SCARDHANDLE card) {
    return Readers::Instance().BeginTransaction(card);
}

DWORD EndTransaction(SCARDHANDLE card, DWORD disposition) {
    return Readers::Instance().EndTransaction(card, disposition);
}

DWORD Reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) {
    return Readers::Instance().Reconnect(card, initialization, protocol);
}

DWORD EstablishContext(SCARDCONTEXT* context) {
    return Readers::Instance().EstablishContext(context);
}

DWORD ReleaseContext(SCARDCONTEXT context) {
    return Readers::Instance().ReleaseContext(context);
}

DWORD ListReaders(SCARDCONTEXT context, std::string* multiString) {
    return Readers::Instance().ListReaders(context, multiString);
}

DWORD Connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol) {
    return Readers::Instance().Connect(context, reader, card, protocol);
}

DWORD Disconnect(SCARDHANDLE card, DWORD disposition) {
    return Readers::Instance().Disconnect(card, disposition);
}

}  // namespace pcsc
