// Elliptic-curve Diffie-Hellman: the card agrees on a secret with the host's peer key, the
// context keeps it under a one-byte index, and keys are derived from it on the host with the
// CNG hash providers.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>

#include "card/card_context.h"
#include "card/card_failure.h"
#include "card/key_references.h"
#include "platform/cng.h"

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::SecretBytes;

namespace {

constexpr DWORD kDeriveFlags =
    CARD_BUFFER_SIZE_ONLY | CARD_RETURN_KEY_HANDLE | KDF_USE_SECRET_AS_HMAC_KEY_FLAG;

// Far beyond any cipher or MAC key; a host asking for gigabits would otherwise hold the call for
// minutes and half a gigabyte of secret memory.
constexpr uint64_t kLongestDerivedKey = 0x10000;

// 1 for an empty table, else one past the largest; once 255 is taken, the smallest free index
// from 1. 0 when every index is taken.
uint8_t FreeIndex(const std::map<uint8_t, SecretBytes>& table) {
    if (table.empty()) return 1;
    const unsigned largest = table.rbegin()->first;
    if (largest < 0xFF) return static_cast<uint8_t>(largest + 1);
    for (unsigned index = 1; index <= 0xFF; ++index) {
        if (table.count(static_cast<uint8_t>(index)) == 0) return static_cast<uint8_t>(index);
    }
    return 0;
}

bool IsNotFound(const libapdu::CAPDUException& e) {
    return e.StatusWord() == sw::kFileNotFound;
}

// The container must hold an elliptic-curve key-exchange key. A container with only a signature
// key is the caller's mistake; card failures other than a missing object are left for the
// agreement itself to meet.
void CheckAgreementKey(libapdu::IAppCrypto& crypto, uint8_t container) {
    try {
        crypto.SelectKeyObject(keyref::PrivateKeyFile(keyref::Reference(container, AT_KEYEXCHANGE)));
        if (crypto.GetKeyObjectInfo().algorithm != libapdu::kAlgEc) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        return;
    } catch (const libapdu::CAPDUException& e) {
        if (!IsNotFound(e)) return;
    } catch (const CAException&) {
        return;
    }
    try {
        crypto.SelectKeyObject(keyref::PrivateKeyFile(keyref::Reference(container, AT_SIGNATURE)));
    } catch (const libapdu::CAPDUException& e) {
        if (IsNotFound(e)) ThrowStatus(SCARD_E_NO_KEY_CONTAINER);
        return;
    } catch (const CAException&) {
        return;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

bool SameText(LPCWSTR a, LPCWSTR b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

LPCWSTR const kHashNames[] = {BCRYPT_SHA1_ALGORITHM,   BCRYPT_SHA256_ALGORITHM, BCRYPT_SHA384_ALGORITHM,
                              BCRYPT_SHA512_ALGORITHM, BCRYPT_MD2_ALGORITHM,    BCRYPT_MD4_ALGORITHM,
                              BCRYPT_MD5_ALGORITHM};

// A hash name as the buffer holds it: UTF-16 up to its terminator or the buffer's end.
LPCWSTR HashNamed(ByteSpan buffer) {
    std::basic_string<WCHAR> name(buffer.size / sizeof(WCHAR), 0);
    if (!name.empty()) std::memcpy(name.data(), buffer.data, name.size() * sizeof(WCHAR));
    name.resize(std::min(name.size(), name.find(WCHAR{0})));
    for (LPCWSTR known : kHashNames) {
        if (SameText(name.c_str(), known)) return known;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

void Append(SecretBytes& to, ByteSpan bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

struct KdfParameters {
    LPCWSTR hash = nullptr;
    SecretBytes prepend;
    SecretBytes append;
    SecretBytes hmacKey;
    SecretBytes algorithmId;
    SecretBytes partyUInfo;
    SecretBytes partyVInfo;
    SecretBytes suppPubInfo;
    SecretBytes suppPrivInfo;
    uint32_t keyBits = 0;
};

KdfParameters ReadParameters(const void* list) {
    KdfParameters p;
    if (list == nullptr) return p;
    const auto& desc = *static_cast<const BCryptBufferDesc*>(list);
    if (desc.cBuffers != 0 && desc.pBuffers == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    for (ULONG n = 0; n < desc.cBuffers; ++n) {
        const BCryptBuffer& buffer = desc.pBuffers[n];
        if (buffer.cbBuffer != 0 && buffer.pvBuffer == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        const ByteSpan bytes(static_cast<const uint8_t*>(buffer.pvBuffer), buffer.cbBuffer);
        switch (buffer.BufferType) {
            case KDF_HASH_ALGORITHM:
                p.hash = HashNamed(bytes);
                break;
            case KDF_SECRET_PREPEND:
                Append(p.prepend, bytes);
                break;
            case KDF_SECRET_APPEND:
                Append(p.append, bytes);
                break;
            case KDF_HMAC_KEY:
                p.hmacKey = libapdu::ToSecret(bytes);
                break;
            case KDF_ALGORITHMID:
                p.algorithmId = libapdu::ToSecret(bytes);
                break;
            case KDF_PARTYUINFO:
                p.partyUInfo = libapdu::ToSecret(bytes);
                break;
            case KDF_PARTYVINFO:
                p.partyVInfo = libapdu::ToSecret(bytes);
                break;
            case KDF_SUPPPUBINFO:
                p.suppPubInfo = libapdu::ToSecret(bytes);
                break;
            case KDF_SUPPPRIVINFO:
                p.suppPrivInfo = libapdu::ToSecret(bytes);
                break;
            case KDF_KEYBITLENGTH:
                if (bytes.size != sizeof p.keyBits) ThrowStatus(SCARD_E_INVALID_PARAMETER);
                std::memcpy(&p.keyBits, bytes.data, sizeof p.keyBits);
                break;
            default:
                ThrowStatus(SCARD_E_INVALID_PARAMETER);
        }
    }
    return p;
}

// Every CNG failure of a derivation is the caller's: a hash the platform lacks, a bad parameter.
void Check(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

class HashProvider {
public:
    HashProvider(LPCWSTR name, bool hmac) {
        Check(BCryptOpenAlgorithmProvider(&m_provider.handle, name, MS_PRIMITIVE_PROVIDER,
                                          hmac ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0));
        ULONG written = 0;
        Check(BCryptGetProperty(m_provider.handle, BCRYPT_HASH_LENGTH,
                                reinterpret_cast<PUCHAR>(&m_digestLength), sizeof m_digestLength, &written,
                                0));
        if (written != sizeof m_digestLength || m_digestLength == 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    }

    DWORD DigestLength() const { return m_digestLength; }

    // One digest (an HMAC when a key is given) of the parts in order.
    SecretBytes Digest(ByteSpan key, std::initializer_list<ByteSpan> parts) const {
        Hash hash(m_provider.handle, key);
        for (const ByteSpan& part : parts) hash.Feed(part);
        SecretBytes out(m_digestLength);
        Check(BCryptFinishHash(hash.handle, out.data(), static_cast<ULONG>(out.size()), 0));
        return out;
    }

private:
    // CNG takes the bytes through non-const pointers; it only reads them.
    struct Hash {
        Hash(BCRYPT_ALG_HANDLE algorithm, ByteSpan key) {
            Check(BCryptCreateHash(algorithm, &handle, nullptr, 0, const_cast<PUCHAR>(key.data),  // NOLINT
                                   static_cast<ULONG>(key.size), 0));
        }
        ~Hash() { BCryptDestroyHash(handle); }
        Hash(const Hash&) = delete;
        Hash& operator=(const Hash&) = delete;
        void Feed(ByteSpan bytes) const {
            if (bytes.empty()) return;
            Check(BCryptHashData(handle, const_cast<PUCHAR>(bytes.data),  // NOLINT(*-const-cast)
                                 static_cast<ULONG>(bytes.size), 0));
        }
        BCRYPT_HASH_HANDLE handle = nullptr;
    };

    // A member, so that the provider is closed also when the constructor fails after opening it.
    struct Provider {
        Provider() = default;
        ~Provider() {
            if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
        }
        Provider(const Provider&) = delete;
        Provider& operator=(const Provider&) = delete;
        BCRYPT_ALG_HANDLE handle = nullptr;
    };

    Provider m_provider;
    DWORD m_digestLength = 0;
};

enum class Kdf { Hash, Hmac, Concat };

Kdf KdfNamed(LPCWSTR name) {
    if (SameText(name, BCRYPT_KDF_HASH)) return Kdf::Hash;
    if (SameText(name, BCRYPT_KDF_HMAC)) return Kdf::Hmac;
    if (SameText(name, BCRYPT_KDF_SP80056A_CONCAT)) return Kdf::Concat;
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

// The concatenation KDF's default follows the secret: the coordinate length of P-256, P-384, P-521.
LPCWSTR ConcatDefaultHash(size_t secretLength) {
    switch (secretLength) {
        case 32:
            return BCRYPT_SHA256_ALGORITHM;
        case 48:
            return BCRYPT_SHA384_ALGORITHM;
        case 66:
            return BCRYPT_SHA512_ALGORITHM;
        default:
            return BCRYPT_SHA1_ALGORITHM;
    }
}

ByteSpan Span(const SecretBytes& bytes) {
    return {bytes.data(), bytes.size()};
}

}  // namespace

void CCardContext::ConstructDHAgreement(PCARD_DATA pCardData, PCARD_DH_AGREEMENT_INFO pAgreementInfo) {
    if (pAgreementInfo == nullptr || pAgreementInfo->pbPublicKey == nullptr)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CARD_DH_AGREEMENT_INFO& info = *pAgreementInfo;
    if (info.dwVersion != CARD_DH_AGREEMENT_INFO_VERSION) ThrowStatus(ERROR_REVISION_MISMATCH);
    if (info.dwFlags != 0 || info.dwPublicKey < sizeof(BCRYPT_ECCKEY_BLOB))
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (m_login->roles == kRoleAdmin) ThrowStatus(SCARD_W_SECURITY_VIOLATION);
    const uint8_t index = FreeIndex(m_agreements);
    if (index == 0) ThrowStatus(SCARD_E_NO_MEMORY);
    // X and Y as the host gives them, after the blob header.
    const ByteVector point(info.pbPublicKey + sizeof(BCRYPT_ECCKEY_BLOB),
                           info.pbPublicKey + info.dwPublicKey);

    SecretBytes secret = TranslateCardFailures({}, SCARD_E_UNEXPECTED, [&] {
        const auto transaction = SelectHeld(pCardData);
        libapdu::IAppCrypto& crypto = *Token().GetCrypto();
        CheckAgreementKey(crypto, info.bContainerIndex);
        ReverifyCachedPin();
        return TranslateCardFailures(
            {{sw::kFileNotFound, SCARD_E_NO_KEY_CONTAINER}, {sw::kNotAllowed, SCARD_W_SECURITY_VIOLATION}},
            SCARD_E_UNEXPECTED, [&] { return crypto.AgreeKey(point, {}, info.bContainerIndex, false); });
    });
    m_agreements.emplace(index, std::move(secret));
    info.bSecretAgreementIndex = index;
}

void CCardContext::DeriveKey(PCARD_DATA pCardData, PCARD_DERIVE_KEY pAgreementInfo) {
    if (pAgreementInfo == nullptr || pAgreementInfo->pwszKDF == nullptr)
        ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CARD_DERIVE_KEY& info = *pAgreementInfo;
    if (info.dwVersion != CARD_DERIVE_KEY_VERSION && info.dwVersion != CARD_DERIVE_KEY_VERSION_TWO)
        ThrowStatus(ERROR_REVISION_MISMATCH);
    if ((info.dwFlags & ~kDeriveFlags) != 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    const auto agreement = m_agreements.find(info.bSecretAgreementIndex);
    if (agreement == m_agreements.end()) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (m_login->roles == kRoleAdmin || !m_login->HasPin()) ThrowStatus(SCARD_W_SECURITY_VIOLATION);
    const SecretBytes& secret = agreement->second;

    KdfParameters p = ReadParameters(info.pParameterList);
    const Kdf kdf = KdfNamed(info.pwszKDF);
    if (kdf == Kdf::Concat) {
        if (!p.hmacKey.empty() || p.algorithmId.empty() || p.partyUInfo.empty() || p.partyVInfo.empty())
            ThrowStatus(SCARD_E_INVALID_PARAMETER);
        if (p.hash == nullptr) p.hash = ConcatDefaultHash(secret.size());
    } else {
        if ((info.dwFlags & KDF_USE_SECRET_AS_HMAC_KEY_FLAG) != 0) p.hmacKey = secret;
        if (p.hmacKey.empty() == (kdf == Kdf::Hmac)) ThrowStatus(SCARD_E_INVALID_PARAMETER);
        if (p.hash == nullptr) p.hash = BCRYPT_SHA1_ALGORITHM;
    }

    const HashProvider provider(p.hash, !p.hmacKey.empty());
    const DWORD digestLength = provider.DigestLength();
    const uint64_t wanted = p.keyBits != 0 ? (uint64_t{p.keyBits} + 7) / 8 : digestLength;
    // One digest is all that a hash or an HMAC gives.
    if (kdf != Kdf::Concat && wanted > digestLength) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (wanted > kLongestDerivedKey) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    info.cbDerivedKey = static_cast<DWORD>(wanted);
    if ((info.dwFlags & CARD_BUFFER_SIZE_ONLY) != 0) return;

    SecretBytes derived;
    if (kdf == Kdf::Concat) {
        for (uint32_t counter = 1; derived.size() < wanted; ++counter) {
            const uint8_t counterBytes[4] = {
                static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
                static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
            const SecretBytes block = provider.Digest(
                {}, {ByteSpan(counterBytes, sizeof counterBytes), Span(secret), Span(p.algorithmId),
                     Span(p.partyUInfo), Span(p.partyVInfo), Span(p.suppPubInfo), Span(p.suppPrivInfo)});
            derived.insert(derived.end(), block.begin(), block.end());
        }
    } else {
        derived = provider.Digest(Span(p.hmacKey), {Span(p.prepend), Span(secret), Span(p.append)});
    }

    if (pCardData->pfnCspAlloc == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    auto* out = static_cast<BYTE*>(pCardData->pfnCspAlloc(info.cbDerivedKey));
    if (out == nullptr) ThrowStatus(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(out, derived.data(), info.cbDerivedKey);
    info.pbDerivedKey = out;
}

void CCardContext::DestroyDHAgreement(PCARD_DATA /*pCardData*/, BYTE bSecretAgreementIndex,
                                      DWORD /*dwFlags*/) {
    if (!m_login->HasPin()) ThrowStatus(SCARD_W_SECURITY_VIOLATION);
    // The entry's wiping allocator clears the secret as it goes.
    if (m_agreements.erase(bSecretAgreementIndex) == 0) ThrowStatus(SCARD_E_INVALID_PARAMETER);
}
