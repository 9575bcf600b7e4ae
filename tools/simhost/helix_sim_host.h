// What the module built with an embedded card (helixmd-sim) offers its host besides
// CardAcquireContext: a card in an in-process reader, reached with the same handles the module
// then uses, and what a host needs around it (status, reconnection, a reset by another
// application, the card's command count). One embedded card per process.
//
// Every function answers a PC/SC or Windows status code and never throws; after a failure,
// HelixSimLastError tells what went wrong in words.
#pragma once

#include "platform/win32.h"

#ifdef __cplusplus
extern "C" {
#endif

// Puts a card in the embedded reader and connects to it: the card saved in `imagePath` when
// that file exists, otherwise a new card of `profile` (null or empty: "default").
DWORD HelixSimOpenCard(const char* profile, const char* imagePath, SCARDCONTEXT* context, SCARDHANDLE* card);

// Disconnects, releases the context and takes the card out; saves it first when `imagePath`
// is not null.
DWORD HelixSimCloseCard(SCARDCONTEXT context, SCARDHANDLE card, const char* imagePath);

// SCardStatus: the card's ATR (up to 36 bytes) and the active protocol.
DWORD HelixSimStatus(SCARDHANDLE card, BYTE* atr, DWORD* atrLength, DWORD* protocol);

// SCardReconnect in shared mode, T=0 or T=1.
DWORD HelixSimReconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol);

// A power cycle that none of the host's handles asked for, as when another application resets
// the card: every handle answers SCARD_W_RESET_CARD until it reconnects.
DWORD HelixSimResetCard(void);

// Commands the card has received since it was opened, GET RESPONSE included.
DWORD HelixSimCommandCount(DWORD* count);

// Adds a fault to the embedded card, spelled as helix-sim's --fault has it: KIND:N with KIND
// reset-before, reset-after, remove-before or remove-after; sw:N:XXXX or tear:N:BYTES. N counts
// from now: 1 is the next command the card receives, GET RESPONSE included. A removed card stays
// out of the reader until HelixSimCloseCard (the handles answer SCARD_W_REMOVED_CARD, then
// SCARD_E_NO_SMARTCARD once reconnected). SCARD_E_INVALID_PARAMETER for a fault wrongly spelt.
DWORD HelixSimAddFault(const char* fault);

// The words of the calling thread's last failure, or "" after a success.
const char* HelixSimLastError(void);

typedef DWORD (*PFN_HELIX_SIM_OPEN_CARD)(const char*, const char*, SCARDCONTEXT*, SCARDHANDLE*);
typedef DWORD (*PFN_HELIX_SIM_CLOSE_CARD)(SCARDCONTEXT, SCARDHANDLE, const char*);
typedef DWORD (*PFN_HELIX_SIM_STATUS)(SCARDHANDLE, BYTE*, DWORD*, DWORD*);
typedef DWORD (*PFN_HELIX_SIM_RECONNECT)(SCARDHANDLE, DWORD, DWORD*);
typedef DWORD (*PFN_HELIX_SIM_RESET_CARD)(void);
typedef DWORD (*PFN_HELIX_SIM_COMMAND_COUNT)(DWORD*);
typedef DWORD (*PFN_HELIX_SIM_ADD_FAULT)(const char*);
typedef const char* (*PFN_HELIX_SIM_LAST_ERROR)(void);

#ifdef __cplusplus
}
#endif
