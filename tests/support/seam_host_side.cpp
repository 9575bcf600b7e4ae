// The host's half of the PC/SC seam for the programs whose card is a script: the module is handed
// its card, so there is no reader to list or connect to; reconnecting leaves the card as it is;
// the reader has one fixed name.
#include <cstring>

#include "channel/pcsc.h"

namespace pcsc {

DWORD ReaderName(SCARDHANDLE, char* reader, DWORD* readerLength) {
    static const char kName[] = "Test Reader 0";
    const DWORD room = *readerLength;
    *readerLength = sizeof kName;
    if (reader == nullptr) return SCARD_S_SUCCESS;
    if (room < sizeof kName) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(reader, kName, sizeof kName);
    return SCARD_S_SUCCESS;
}

DWORD Reconnect(SCARDHANDLE, DWORD, DWORD* protocol) {
    if (protocol != nullptr) *protocol = kProtocolT1;
    return SCARD_S_SUCCESS;
}
DWORD EstablishContext(SCARDCONTEXT* context) {
    *context = 1;
    return SCARD_S_SUCCESS;
}
DWORD ReleaseContext(SCARDCONTEXT) {
    return SCARD_S_SUCCESS;
}
DWORD ListReaders(SCARDCONTEXT, std::string* multiString) {
    multiString->clear();
    return SCARD_E_NO_READERS_AVAILABLE;
}
DWORD Connect(SCARDCONTEXT, const char*, SCARDHANDLE*, DWORD*) {
    return SCARD_E_NO_SMARTCARD;
}
DWORD Disconnect(SCARDHANDLE, DWORD) {
    return SCARD_S_SUCCESS;
}

}  // namespace pcsc
