// Windows base types and status codes, the same names and widths on every platform.
// On Windows they come from the system headers; elsewhere this header declares them with the
// Windows x64 data model (32-bit DWORD/LONG, 16-bit UTF-16 WCHAR, pointer-sized handles), so
// that the minidriver interface has one layout whatever the host.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The token library has CreateFile and DeleteFile operations of its own; the module never calls
// the Win32 functions of those names.
#undef CreateFile
#undef DeleteFile
#define HELIX_WTEXT(s) L##s
#else
#define WINAPI
#define HELIX_WTEXT(s) u##s

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef uint32_t UINT;
typedef char16_t WCHAR;
typedef char CHAR;
typedef int32_t HRESULT;
typedef int32_t NTSTATUS;
typedef LONG SECURITY_STATUS;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef void* PVOID;
typedef void* LPVOID;
typedef void* HANDLE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#endif

typedef ULONG_PTR SCARDCONTEXT;
typedef ULONG_PTR SCARDHANDLE;

// Status codes used by the module, typed as DWORD everywhere. The Windows headers declare some
// of them as signed HRESULTs; redefining them keeps comparisons with DWORD results exact.
#include "platform/status_codes.h"
