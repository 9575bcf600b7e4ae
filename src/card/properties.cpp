// Card and container properties: not offered by this build yet.
#include "card/card_context.h"
#include "libapdu/token/failure.h"

void CCardContext::GetContainerProperty(PCARD_DATA, BYTE, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::GetProperty(PCARD_DATA, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::SetProperty(PCARD_DATA, LPCWSTR, PBYTE, DWORD, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}
