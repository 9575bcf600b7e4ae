// Container lifecycle: not offered by this build yet.
#include "card/card_context.h"
#include "libapdu/token/failure.h"

void CCardContext::CreateContainer(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::DeleteContainer(PCARD_DATA, BYTE, DWORD) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}

void CCardContext::GetContainerInfo(PCARD_DATA, BYTE, DWORD, PCONTAINER_INFO) {
    ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
}
