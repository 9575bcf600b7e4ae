// The PC/SC calls the module makes, with the Windows data model on every platform. This is the
// link-time seam to the reader: the module links one implementation of these functions
// (winscard on Windows, pcsc-lite elsewhere, or an in-process simulated card), chosen when the
// binary is linked, never at run time. Results are PC/SC status codes (SCARD_S_SUCCESS = 0).
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace pcsc {

// Active protocol values as PC/SC reports them.
constexpr DWORD kProtocolT0 = 1;
constexpr DWORD kProtocolT1 = 2;

// SCardEndTransaction / SCardReconnect dispositions.
constexpr DWORD kLeaveCard = 0;
constexpr DWORD kResetCard = 1;
constexpr DWORD kUnpowerCard = 2;

// Share modes for Connect.
constexpr DWORD kShareShared = 2;

// SCardTransmit with the T=0 protocol control information when protocol is kProtocolT0,
// T=1 otherwise. *recvLength holds the buffer size on entry and the received length on return.
DWORD Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
               DWORD* recvLength);

// SCardStatusA: the active protocol and the ATR (atr holds up to 36 bytes).
DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength);

// SCardStatusA asked for the reader's name, with an ATR buffer of 32 bytes. A null `reader` asks
// for the length only; *readerLength holds the buffer's length in characters on entry and the
// name's, terminating characters included, on return.
DWORD ReaderName(SCARDHANDLE card, char* reader, DWORD* readerLength);

DWORD BeginTransaction(SCARDHANDLE card);
DWORD EndTransaction(SCARDHANDLE card, DWORD disposition);

// SCardReconnect, shared mode, T=0 or T=1; *protocol receives the active protocol.
DWORD Reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol);

// The host side: what a program that drives the module (and the tests) needs to reach a card.
DWORD EstablishContext(SCARDCONTEXT* context);
DWORD ReleaseContext(SCARDCONTEXT context);
// Reader names, as a list of single strings.
DWORD ListReaders(SCARDCONTEXT context, std::string* multiString);
DWORD Connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol);
DWORD Disconnect(SCARDHANDLE card, DWORD disposition);

}  // namespace pcsc
