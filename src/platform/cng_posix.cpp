// The CNG hash primitives over libgcrypt, for the module outside Windows. Handles are objects of
// this file, told apart by a tag so that a handle of the wrong kind fails as Windows fails it.
#include <gcrypt.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/cng.h"

namespace {

constexpr NTSTATUS kSuccess = 0;
constexpr auto kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr auto kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr auto kNoMemory = static_cast<NTSTATUS>(0xC0000017);
constexpr auto kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr auto kNotSupported = static_cast<NTSTATUS>(0xC00000BB);
constexpr auto kNotFound = static_cast<NTSTATUS>(0xC0000225);

enum class Kind : uint32_t { Algorithm = 0x616C6731, Hash = 0x68736831 };

struct Algorithm {
    Kind kind = Kind::Algorithm;
    int md = 0;
    bool hmac = false;
};

struct Hash {
    Kind kind = Kind::Hash;
    gcry_md_hd_t md = nullptr;
    bool finished = false;

    Hash() = default;
    ~Hash() { gcry_md_close(md); }  // wipes its state, key included
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
};

bool Equal(LPCWSTR a, LPCWSTR b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

int HashNamed(LPCWSTR name) {
    static const struct {
        LPCWSTR name;
        int md;
    } kHashes[] = {{HELIX_WTEXT("MD2"), GCRY_MD_MD2},       {HELIX_WTEXT("MD4"), GCRY_MD_MD4},
                   {HELIX_WTEXT("MD5"), GCRY_MD_MD5},       {HELIX_WTEXT("SHA1"), GCRY_MD_SHA1},
                   {HELIX_WTEXT("SHA256"), GCRY_MD_SHA256}, {HELIX_WTEXT("SHA384"), GCRY_MD_SHA384},
                   {HELIX_WTEXT("SHA512"), GCRY_MD_SHA512}};
    for (const auto& h : kHashes) {
        if (Equal(name, h.name)) return h.md;
    }
    return 0;
}

bool GcryptReady() {
    static const bool ready = [] {
        if (gcry_check_version(nullptr) == nullptr) return false;
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

Algorithm* AlgorithmOf(void* handle) {
    auto* a = static_cast<Algorithm*>(handle);
    return a != nullptr && a->kind == Kind::Algorithm ? a : nullptr;
}

Hash* HashOf(void* handle) {
    auto* h = static_cast<Hash*>(handle);
    return h != nullptr && h->kind == Kind::Hash ? h : nullptr;
}

}  // namespace

extern "C" {

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                     LPCWSTR pszImplementation, ULONG dwFlags) {
    if (phAlgorithm == nullptr || pszAlgId == nullptr || (dwFlags & ~ULONG{BCRYPT_ALG_HANDLE_HMAC_FLAG}) != 0)
        return kInvalidParameter;
    if (pszImplementation != nullptr && !Equal(pszImplementation, MS_PRIMITIVE_PROVIDER)) return kNotFound;
    const int md = HashNamed(pszAlgId);
    // libgcrypt lacks MD2: that provider is missing here as an unknown one would be.
    if (md == 0 || !GcryptReady() || gcry_md_test_algo(md) != 0) return kNotFound;
    try {
        auto algorithm = std::make_unique<Algorithm>();
        algorithm->md = md;
        algorithm->hmac = (dwFlags & BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0;
        *phAlgorithm = algorithm.release();
        return kSuccess;
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG /*dwFlags*/) {
    Algorithm* algorithm = AlgorithmOf(hAlgorithm);
    if (algorithm == nullptr) return kInvalidHandle;
    const std::unique_ptr<Algorithm> owned(algorithm);
    return kSuccess;
}

NTSTATUS BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                           ULONG* pcbResult, ULONG /*dwFlags*/) {
    int md = 0;
    if (const Algorithm* algorithm = AlgorithmOf(hObject)) md = algorithm->md;
    if (const Hash* hash = HashOf(hObject)) md = gcry_md_get_algo(hash->md);
    if (md == 0) return kInvalidHandle;
    if (pszProperty == nullptr || pcbResult == nullptr) return kInvalidParameter;
    if (!Equal(pszProperty, BCRYPT_HASH_LENGTH)) return kNotSupported;
    const auto length = static_cast<DWORD>(gcry_md_get_algo_dlen(md));
    *pcbResult = sizeof length;
    if (pbOutput == nullptr) return kSuccess;
    if (cbOutput < sizeof length) return kBufferTooSmall;
    std::memcpy(pbOutput, &length, sizeof length);
    return kSuccess;
}

// The hash object buffer is not needed: libgcrypt keeps its own state, as Windows does when
// given none.
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash, PUCHAR /*pbHashObject*/,
                          ULONG /*cbHashObject*/, PUCHAR pbSecret,  // NOLINT(readability-non-const-parameter)
                          ULONG cbSecret, ULONG dwFlags) {
    const Algorithm* algorithm = AlgorithmOf(hAlgorithm);
    if (algorithm == nullptr) return kInvalidHandle;
    if (phHash == nullptr || dwFlags != 0 || (pbSecret == nullptr && cbSecret != 0)) return kInvalidParameter;
    try {
        auto hash = std::make_unique<Hash>();
        if (gcry_md_open(&hash->md, algorithm->md, algorithm->hmac ? GCRY_MD_FLAG_HMAC : 0) != 0)
            return kNoMemory;
        if (algorithm->hmac) {
            // HMAC pads its key with zero bytes to the block length: an empty key is one zero
            // byte, which libgcrypt takes where it refuses a key of no bytes.
            static const UCHAR kZero = 0;
            const UCHAR* key = cbSecret != 0 ? pbSecret : &kZero;
            if (gcry_md_setkey(hash->md, key, cbSecret != 0 ? cbSecret : 1) != 0) return kInvalidParameter;
        }
        *phHash = hash.release();
        return kSuccess;
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags) {
    Hash* hash = HashOf(hHash);
    if (hash == nullptr) return kInvalidHandle;
    if (hash->finished || dwFlags != 0 || (pbInput == nullptr && cbInput != 0)) return kInvalidParameter;
    if (cbInput != 0) gcry_md_write(hash->md, pbInput, cbInput);
    return kSuccess;
}

// The output must be exactly the digest length, and the object is spent afterwards.
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags) {
    Hash* hash = HashOf(hHash);
    if (hash == nullptr) return kInvalidHandle;
    const int md = gcry_md_get_algo(hash->md);
    if (hash->finished || dwFlags != 0 || pbOutput == nullptr || cbOutput != gcry_md_get_algo_dlen(md))
        return kInvalidParameter;
    const unsigned char* digest = gcry_md_read(hash->md, md);
    if (digest == nullptr) return kInvalidParameter;
    std::memcpy(pbOutput, digest, cbOutput);
    hash->finished = true;
    return kSuccess;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
    Hash* hash = HashOf(hHash);
    if (hash == nullptr) return kInvalidHandle;
    const std::unique_ptr<Hash> owned(hash);
    return kSuccess;
}

}  // extern "C"
