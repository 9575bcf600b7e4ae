#include "platform/win32.h"

// Loading and unloading do no work of their own: the call lock is static, and every context
// comes from CardAcquireContext.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
