// The CNG hash and HMAC primitives that key derivation calls. Windows supplies them in bcrypt;
// elsewhere cng_posix.cpp implements the same functions over libgcrypt, with the Windows results
// for what the module asks of them: the providers of the seven hash names of the KDF parameters
// (those libgcrypt offers), the digest length property, one-shot hashes.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <bcrypt.h>
#else
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef void* BCRYPT_HANDLE;
typedef void* BCRYPT_ALG_HANDLE;
typedef void* BCRYPT_HASH_HANDLE;

#define BCRYPT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
#define MS_PRIMITIVE_PROVIDER HELIX_WTEXT("Microsoft Primitive Provider")
#define BCRYPT_HASH_LENGTH HELIX_WTEXT("HashDigestLength")
#define BCRYPT_ALG_HANDLE_HMAC_FLAG 0x00000008

extern "C" {
NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                     LPCWSTR pszImplementation, ULONG dwFlags);
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                           ULONG* pcbResult, ULONG dwFlags);
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash, PUCHAR pbHashObject,
                          ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags);
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags);
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags);
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash);
}
#endif
