// Agreements on the simulated card with peers made by OpenSSL; every derived key is compared
// with OpenSSL's own derivation from the same secret.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "entry_host.h"
#include "sim_key_card.h"

using moduletest::ByteVector;
using moduletest::EntryHost;

namespace {

// A key pair generated on the card for key reference `reference` (i for the key-exchange key of
// container i, i + 0x20 for its signature key); its public point 04 x y.
ByteVector PutKey(EntryHost& host, uint8_t reference, uint16_t size, uint8_t usage) {
    libapdu::IToken& token = host.Other();
    const auto object = static_cast<uint16_t>(0x41 + reference);
    token.GetFS()->SelectPath({0x3F00, 0x3000, 0x3002});
    token.GetFS()->CreateFile(object, {libapdu::kKeyObject, size, {0, 0, usage}}, {});
    token.GetFS()->SelectPath({0x3F00, 0x3000, 0x3002, object});
    uint8_t algorithm = simtest::IsEcSize(size) ? 0x11 : 6;
    token.GetCrypto()->GenerateKeyPair(&algorithm, 0);
    token.GetCrypto()->SelectKeyObject({0x3F00, 0x3000, 0x3002, static_cast<uint16_t>(0x0200 | reference)});
    host.Commands();
    return token.GetCrypto()->GetKeyObjectInfo().point;
}

// The host's key, its public key as CNG passes it (an 8-byte blob header, X, Y), and the secret
// it agrees on with a card key.
struct Peer {
    uint16_t size;
    simtest::Pkey key{EVP_EC_gen(simtest::CurveName(size))};
    ByteVector blob = [this] {
        ByteVector b{0, 0, 0, 0, static_cast<uint8_t>(size), 0, 0, 0};
        const ByteVector point = simtest::EcPoint(key.get(), size);
        b.insert(b.end(), point.begin() + 1, point.end());
        return b;
    }();

    ByteVector SecretWith(const ByteVector& cardPoint) const {
        const simtest::ParamBld bld(OSSL_PARAM_BLD_new());
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, simtest::CurveName(size), 0);
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, cardPoint.data(),
                                         cardPoint.size());
        const simtest::Pkey card = simtest::PkeyFromParams("EC", bld.get(), EVP_PKEY_PUBLIC_KEY);
        const simtest::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
        ByteVector z(size);
        size_t length = z.size();
        EXPECT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
        EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), card.get()), 1);
        EXPECT_EQ(EVP_PKEY_derive(ctx.get(), z.data(), &length), 1);
        return z;
    }
};

// CardConstructDHAgreement on container 0 with the peer's blob, changed by `change`.
DWORD Construct(
    CARD_DATA& card, ByteVector blob, BYTE* index,
    const std::function<void(CARD_DH_AGREEMENT_INFO&)>& change = [](auto&) {}) {
    CARD_DH_AGREEMENT_INFO info{};
    info.dwVersion = CARD_DH_AGREEMENT_INFO_VERSION;
    info.dwPublicKey = static_cast<DWORD>(blob.size());
    info.pbPublicKey = blob.data();
    change(info);
    const DWORD status = card.pfnCardConstructDHAgreement(&card, &info);
    *index = info.bSecretAgreementIndex;
    return status;
}

struct Parameter {
    ULONG type;
    ByteVector bytes;
};
Parameter Of(ULONG type, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return {type, ByteVector(bytes, bytes + size)};
}
Parameter Text(ULONG type, const std::string& text) {
    return Of(type, text.data(), text.size());
}
// With its terminator, as CNG callers pass names.
template <size_t N>
Parameter Hash(const WCHAR (&name)[N]) {
    return Of(KDF_HASH_ALGORITHM, name, sizeof name);
}
Parameter Bits(uint32_t bits) {
    return Of(KDF_KEYBITLENGTH, &bits, sizeof bits);
}

// CardDeriveKey with a parameter list the host keeps alive; the key, freed as the host frees it.
struct Derivation {
    std::basic_string<WCHAR> kdf;
    std::vector<Parameter> parameters;
    std::vector<BCryptBuffer> buffers;
    BCryptBufferDesc list{};
    CARD_DERIVE_KEY info{};

    Derivation(const std::string& name, DWORD flags, std::vector<Parameter> p, BYTE index = 1)
        : kdf(name.begin(), name.end()), parameters(std::move(p)) {
        for (Parameter& q : parameters)
            buffers.push_back({static_cast<ULONG>(q.bytes.size()), q.type, q.bytes.data()});
        list = {BCRYPTBUFFER_VERSION, static_cast<ULONG>(buffers.size()), buffers.data()};
        info.dwVersion = CARD_DERIVE_KEY_VERSION;
        info.dwFlags = flags;
        info.pwszKDF = kdf.c_str();
        info.bSecretAgreementIndex = index;
        info.pParameterList = buffers.empty() ? nullptr : &list;
    }
    DWORD Run(CARD_DATA& card) { return card.pfnCardDeriveKey(&card, &info); }
    ByteVector Key() const {
        ByteVector key(info.pbDerivedKey,
                       info.pbDerivedKey + (info.pbDerivedKey != nullptr ? info.cbDerivedKey : 0));
        moduletest::HostMemory::Free(info.pbDerivedKey);
        return key;
    }
};

ByteVector Cat(std::initializer_list<std::string> parts, const ByteVector& z, const std::string& after = "") {
    ByteVector out;
    for (const std::string& part : parts) out.insert(out.end(), part.begin(), part.end());
    out.insert(out.end(), z.begin(), z.end());
    out.insert(out.end(), after.begin(), after.end());
    return out;
}
ByteVector Digest(const char* hash, const ByteVector& data, size_t length = 0) {
    ByteVector out(EVP_MAX_MD_SIZE);
    size_t full = 0;
    EXPECT_EQ(EVP_Q_digest(nullptr, hash, nullptr, data.data(), data.size(), out.data(), &full), 1);
    out.resize(length != 0 ? length : full);
    return out;
}
ByteVector Hmac(const char* hash, const ByteVector& key, const ByteVector& data) {
    ByteVector out(EVP_MAX_MD_SIZE);
    size_t length = 0;
    EVP_Q_mac(nullptr, "HMAC", nullptr, hash, nullptr, key.data(), key.size(), data.data(), data.size(),
              out.data(), out.size(), &length);
    out.resize(length);
    return out;
}
// The single-step KDF of NIST SP 800-56A: digests of a 32-bit counter, Z and the other info.
ByteVector Sskdf(const char* hash, const ByteVector& z, const std::string& info, size_t length = 0) {
    ByteVector out;
    for (uint8_t counter = 1; out.empty() || out.size() < length; ++counter) {
        const ByteVector block = Digest(hash, Concat({{0, 0, 0, counter}, Cat({}, z, info)}));
        out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(length != 0 ? length : out.size());
    return out;
}

const std::vector<Parameter> kConcatInfo{Text(KDF_ALGORITHMID, "AES"), Text(KDF_PARTYUINFO, "U"),
                                         Text(KDF_PARTYVINFO, "V")};

// Each KDF with its parameters, and what OpenSSL derives from the same secret.
const struct {
    const char* kdf;
    DWORD flags;
    std::vector<Parameter> parameters;
    ByteVector (*expected)(const ByteVector& z);
} kKdfCases[] = {
    {"HASH", 0, {}, [](const ByteVector& z) { return Digest("SHA1", z); }},
    {"HASH",
     0,
     {Hash(HELIX_WTEXT("SHA256")), Text(KDF_SECRET_PREPEND, "ab"), Text(KDF_SECRET_APPEND, "ef"),
      Text(KDF_SECRET_PREPEND, "cd")},
     [](const ByteVector& z) {
         return Digest("SHA256", Cat({"ab", "cd"}, z, "ef"));
     }},
    {"HASH",
     0,
     {Hash(HELIX_WTEXT("MD5")), Bits(100)},
     [](const ByteVector& z) { return Digest("MD5", z, 13); }},
    {"HMAC",
     0,
     {Hash(HELIX_WTEXT("SHA384")), Text(KDF_HMAC_KEY, "key"), Text(KDF_SECRET_PREPEND, "p"),
      Text(KDF_SECRET_APPEND, "a")},
     [](const ByteVector& z) { return Hmac("SHA384", Cat({"key"}, {}), Cat({"p"}, z, "a")); }},
    {"HMAC",
     KDF_USE_SECRET_AS_HMAC_KEY_FLAG,
     {Hash(HELIX_WTEXT("SHA512")), Text(KDF_HMAC_KEY, "overridden")},
     [](const ByteVector& z) { return Hmac("SHA512", z, z); }},
    {"SP800_56A_CONCAT", 0, kConcatInfo,
     [](const ByteVector& z) {
         return Sskdf(z.size() == 32 ? "SHA256" : z.size() == 48 ? "SHA384" : "SHA512", z, "AESUV");
     }},
    {"SP800_56A_CONCAT",
     0,
     {Text(KDF_SUPPPRIVINFO, "priv"), kConcatInfo[2], Hash(HELIX_WTEXT("SHA1")), Bits(363),
      Text(KDF_SUPPPUBINFO, "pub"), kConcatInfo[1], kConcatInfo[0]},
     [](const ByteVector& z) { return Sskdf("SHA1", z, "AESUVpubpriv", 46); }},
};

TEST(Agreement, EveryKdfDerivesWhatOpenSslDerivesFromTheSameSecret) {
    for (const uint16_t size : {0x20, 0x30, 0x42}) {
        SCOPED_TRACE(size);
        EntryHost host;
        const Peer peer{size};
        const ByteVector cardPoint = PutKey(host, 4, peer.size, 1);
        ASSERT_EQ(host.Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
        BYTE index = 0;
        ASSERT_EQ(Construct(host.Card(), peer.blob, &index, [](auto& i) { i.bContainerIndex = 4; }),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(index, 1);
        const ByteVector z = peer.SecretWith(cardPoint);
        for (const auto& c : kKdfCases) {
            const ByteVector expected = c.expected(z);
            Derivation sizeOnly(c.kdf, c.flags | CARD_BUFFER_SIZE_ONLY, c.parameters);
            EXPECT_EQ(sizeOnly.Run(host.Card()), SCARD_S_SUCCESS);
            EXPECT_EQ(sizeOnly.Key().size() + sizeOnly.info.cbDerivedKey, expected.size());
            Derivation derivation(c.kdf, c.flags, c.parameters);
            EXPECT_EQ(derivation.Run(host.Card()), SCARD_S_SUCCESS);
            EXPECT_EQ(derivation.Key(), expected) << c.kdf << " case " << (&c - kKdfCases);
        }
    }
}

// Logged on, with a P-256 key-exchange key in container 0 and a peer for it.
struct AgreementHost : EntryHost {
    Peer peer{0x20};
    AgreementHost() {
        PutKey(*this, 0, 0x20, 1);
        EXPECT_EQ(Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    }
    // The index the next agreement gets; 0 when it fails with `status`.
    int Next(DWORD status = SCARD_S_SUCCESS) {
        BYTE index = 0;
        EXPECT_EQ(Construct(Card(), peer.blob, &index), status);
        return status == SCARD_S_SUCCESS ? index : 0;
    }
    DWORD Destroy(BYTE index) { return Card().pfnCardDestroyDHAgreement(&Card(), index, 0); }
    DWORD Derive(BYTE index) { return Derivation("HASH", CARD_BUFFER_SIZE_ONLY, {}, index).Run(Card()); }
};

}  // namespace

TEST(AgreementIndex, OnePastTheLargestThenTheSmallestFreeOnceTheLargestIs255) {
    AgreementHost host;
    EXPECT_EQ(host.Next(), 1);
    EXPECT_EQ(host.Next(), 2);
    EXPECT_EQ(host.Destroy(2), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Derive(2), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(host.Destroy(2), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(host.Next(), 2);
    EXPECT_EQ(host.Destroy(1), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Next(), 3);

    for (int expected = 4; expected <= 255; ++expected) ASSERT_EQ(host.Next(), expected);
    EXPECT_EQ(host.Next(), 1);
    host.Next(SCARD_E_NO_MEMORY);
    EXPECT_EQ(host.Destroy(200), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Destroy(100), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Next(), 100);
    EXPECT_EQ(host.Next(), 200);
    host.Next(SCARD_E_NO_MEMORY);
    EXPECT_EQ(host.Destroy(255), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Next(), 255);

    // Without the PIN the card refuses, and the host can neither derive nor destroy.
    EXPECT_EQ(host.Destroy(255), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Card().pfnCardDeauthenticateEx(&host.Card(), kPinSetUser, 0), SCARD_S_SUCCESS);
    host.Next(SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(host.Derive(1), SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(host.Destroy(1), SCARD_W_SECURITY_VIOLATION);
}

TEST(AgreementRefusal, EachCallAnswersItsCodeAndTheAgreementStays) {
    AgreementHost host;
    PutKey(host, 0x21, 0x20, 2);  // container 1: a signature key only
    PutKey(host, 2, 0x80, 1);     // container 2: RSA
    ASSERT_EQ(host.Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    ASSERT_EQ(host.Next(), 1);

    const struct {
        std::function<void(CARD_DH_AGREEMENT_INFO&)> change;
        DWORD status;
    } constructs[] = {
        {[](auto& i) { i.dwVersion = 1; }, ERROR_REVISION_MISMATCH},
        {[](auto& i) { i.dwPublicKey = 7; }, SCARD_E_INVALID_PARAMETER},
        {[](auto& i) { i.bContainerIndex = 3; }, SCARD_E_NO_KEY_CONTAINER},
        {[](auto& i) { i.bContainerIndex = 1; }, SCARD_E_INVALID_PARAMETER},
        {[](auto& i) { i.bContainerIndex = 2; }, SCARD_E_INVALID_PARAMETER},
        {[](auto& i) { std::reverse(i.pbPublicKey + 8, i.pbPublicKey + i.dwPublicKey); }, SCARD_E_UNEXPECTED},
    };
    for (const auto& c : constructs) {
        BYTE index = 0;
        EXPECT_EQ(Construct(host.Card(), host.peer.blob, &index, c.change), c.status) << (&c - constructs);
    }

    const auto concatOf = [](uint32_t bits) {
        return std::vector<Parameter>{kConcatInfo[0], kConcatInfo[1], kConcatInfo[2], Bits(bits)};
    };
    const struct {
        const char* kdf;
        DWORD flags, status;
        std::vector<Parameter> parameters;
    } derivations[] = {
        {"HASH", 2, SCARD_E_INVALID_PARAMETER, {}},
        {"TLS_PRF", 0, SCARD_E_INVALID_PARAMETER, {}},
        {"HASH", 0, SCARD_E_INVALID_PARAMETER, {Text(KDF_LABEL, "label")}},
        {"HASH", 0, SCARD_E_INVALID_PARAMETER, {{KDF_KEYBITLENGTH, {0x80, 0x00}}}},
        {"HASH", 0, SCARD_E_INVALID_PARAMETER, {Bits(161)}},
        {"HASH", KDF_USE_SECRET_AS_HMAC_KEY_FLAG, SCARD_E_INVALID_PARAMETER, {}},
        {"HMAC", 0, SCARD_E_INVALID_PARAMETER, {}},
        {"SP800_56A_CONCAT", 0, SCARD_E_INVALID_PARAMETER, {kConcatInfo[0], kConcatInfo[1]}},
        {"SP800_56A_CONCAT", KDF_USE_SECRET_AS_HMAC_KEY_FLAG, SCARD_S_SUCCESS, kConcatInfo},
        {"SP800_56A_CONCAT", 0, SCARD_S_SUCCESS, concatOf(0x80000)},
        {"SP800_56A_CONCAT", CARD_BUFFER_SIZE_ONLY, SCARD_E_INVALID_PARAMETER, concatOf(0x80001)},
    };
    for (const auto& c : derivations) {
        Derivation derivation(c.kdf, c.flags, c.parameters);
        EXPECT_EQ(derivation.Run(host.Card()), c.status) << (&c - derivations);
        derivation.Key();
    }
    Derivation version3("HASH", 0, {});
    version3.info.dwVersion = 3;
    EXPECT_EQ(version3.Run(host.Card()), ERROR_REVISION_MISMATCH);
    moduletest::HostMemory::FailNext() = true;
    EXPECT_EQ(Derivation("HASH", 0, {}).Run(host.Card()), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(host.Derive(1), SCARD_S_SUCCESS);
}
