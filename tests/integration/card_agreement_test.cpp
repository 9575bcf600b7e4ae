// Agreements on the simulated card with peers made by OpenSSL, and every derived key compared
// with OpenSSL's own derivation from the same secret.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "case_name.h"
#include "entry_host.h"
#include "sim_key_card.h"

using moduletest::ByteVector;
using moduletest::EntryHost;

namespace {

const libapdu::CardPath kKeys{0x3F00, 0x3000, 0x3002};

// A key pair generated on the card for key reference `reference` (container i: i for the
// key-exchange key, i + 0x20 for the signature key); its public point 04 x y.
ByteVector PutKey(EntryHost& host, uint8_t reference, uint16_t size, uint8_t usage) {
    libapdu::IToken& token = host.Other();
    libapdu::IAppFS& fs = *token.GetFS();
    fs.SelectPath(kKeys);
    libapdu::FileDescriptor descriptor;
    descriptor.kind = libapdu::kKeyObject;
    descriptor.size = size;
    descriptor.access[0] = 0;
    descriptor.access[1] = 0;
    descriptor.access[2] = usage;
    const auto object = static_cast<uint16_t>(0x41 + reference);
    fs.CreateFile(object, descriptor, {});
    fs.SelectPath({0x3F00, 0x3000, 0x3002, object});
    uint8_t algorithm = simtest::IsEcSize(size) ? 0x11 : 6;
    token.GetCrypto()->GenerateKeyPair(&algorithm, 0);
    token.GetCrypto()->SelectKeyObject({0x3F00, 0x3000, 0x3002, static_cast<uint16_t>(0x0200 | reference)});
    const ByteVector point = token.GetCrypto()->GetKeyObjectInfo().point;
    host.Commands();
    return point;
}

simtest::Pkey EcPublic(const ByteVector& point, uint16_t size) {
    const simtest::ParamBld bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, simtest::CurveName(size), 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return simtest::PkeyFromParams("EC", bld.get(), EVP_PKEY_PUBLIC_KEY);
}

// The host's side of an agreement: its key, and its public key as CNG hands it over.
struct Peer {
    simtest::Pkey key;
    ByteVector blob;

    explicit Peer(uint16_t size) : key(EVP_EC_gen(simtest::CurveName(size))) {
        const ByteVector point = simtest::EcPoint(key.get(), size);
        blob = {0x45,
                0x43,
                0x4B,
                static_cast<uint8_t>(size == 0x20   ? 0x31
                                     : size == 0x30 ? 0x33
                                                    : 0x35),
                static_cast<uint8_t>(size),
                0,
                0,
                0};
        blob.insert(blob.end(), point.begin() + 1, point.end());
    }
    ByteVector SecretWith(const ByteVector& cardPoint, uint16_t size) const {
        const simtest::Pkey card = EcPublic(cardPoint, size);
        const simtest::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
        ByteVector z(size);
        size_t length = z.size();
        EXPECT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
        EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), card.get()), 1);
        EXPECT_EQ(EVP_PKEY_derive(ctx.get(), z.data(), &length), 1);
        return z;
    }
};

DWORD Construct(CARD_DATA& card, uint8_t container, ByteVector blob, BYTE* index = nullptr) {
    CARD_DH_AGREEMENT_INFO info{};
    info.dwVersion = CARD_DH_AGREEMENT_INFO_VERSION;
    info.bContainerIndex = container;
    info.dwPublicKey = static_cast<DWORD>(blob.size());
    info.pbPublicKey = blob.data();
    info.bSecretAgreementIndex = 0xEE;
    const DWORD status = card.pfnCardConstructDHAgreement(&card, &info);
    if (index != nullptr) *index = info.bSecretAgreementIndex;
    return status;
}

struct Parameter {
    ULONG type;
    ByteVector bytes;
};

ByteVector Text(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}
// A hash name as CNG callers pass it: UTF-16 with its terminator.
Parameter HashName(const std::string& name) {
    std::basic_string<WCHAR> wide(name.begin(), name.end());
    ByteVector bytes((wide.size() + 1) * sizeof(WCHAR));
    std::memcpy(bytes.data(), wide.c_str(), bytes.size());
    return {KDF_HASH_ALGORITHM, bytes};
}
Parameter KeyBits(uint32_t bits) {
    ByteVector bytes(sizeof bits);
    std::memcpy(bytes.data(), &bits, sizeof bits);
    return {KDF_KEYBITLENGTH, bytes};
}

// A derivation request with its parameter list; the host's buffers stay valid while it lives.
struct Derivation {
    std::basic_string<WCHAR> kdf;
    std::vector<Parameter> parameters;
    std::vector<BCryptBuffer> buffers;
    BCryptBufferDesc list{};
    CARD_DERIVE_KEY info{};

    Derivation(const char* name, DWORD flags, std::vector<Parameter> p, BYTE index = 1)
        : kdf(name, name + std::strlen(name)), parameters(std::move(p)) {
        for (Parameter& parameter : parameters)
            buffers.push_back(
                {static_cast<ULONG>(parameter.bytes.size()), parameter.type, parameter.bytes.data()});
        list = {BCRYPTBUFFER_VERSION, static_cast<ULONG>(buffers.size()), buffers.data()};
        info.dwVersion = CARD_DERIVE_KEY_VERSION;
        info.dwFlags = flags;
        info.pwszKDF = kdf.c_str();
        info.bSecretAgreementIndex = index;
        info.pParameterList = buffers.empty() ? nullptr : &list;
    }
    DWORD Run(CARD_DATA& card) { return card.pfnCardDeriveKey(&card, &info); }
    ByteVector Key() {
        ByteVector key(info.pbDerivedKey, info.pbDerivedKey + info.cbDerivedKey);
        moduletest::HostMemory::Free(info.pbDerivedKey);
        info.pbDerivedKey = nullptr;
        return key;
    }
};

ByteVector Cat(std::initializer_list<ByteVector> parts) {
    ByteVector out;
    for (const ByteVector& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

ByteVector Digest(const char* hash, const ByteVector& data) {
    ByteVector out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_get_digestbyname(hash), nullptr),
              1);
    out.resize(length);
    return out;
}

ByteVector Hmac(const char* hash, const ByteVector& key, const ByteVector& data) {
    ByteVector out(EVP_MAX_MD_SIZE);
    size_t length = 0;
    EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, hash, nullptr, key.data(), key.size(), data.data(),
                        data.size(), out.data(), out.size(), &length),
              nullptr);
    out.resize(length);
    return out;
}

// NIST SP 800-56A single-step KDF over a hash: OpenSSL's SSKDF.
ByteVector Sskdf(const char* hash, const ByteVector& z, const ByteVector& otherInfo, size_t length) {
    const helixsim::Owned<EVP_KDF, EVP_KDF_free> kdf(EVP_KDF_fetch(nullptr, "SSKDF", nullptr));
    const helixsim::Owned<EVP_KDF_CTX, EVP_KDF_CTX_free> ctx(EVP_KDF_CTX_new(kdf.get()));
    ByteVector secret = z;
    ByteVector info = otherInfo;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(hash), 0),  // NOLINT
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret.data(), secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()), OSSL_PARAM_END};
    ByteVector out(length);
    EXPECT_EQ(EVP_KDF_derive(ctx.get(), out.data(), out.size(), params), 1);
    return out;
}

const char* CurveHash(size_t secretLength) {
    return secretLength == 32 ? "SHA256" : secretLength == 48 ? "SHA384" : "SHA512";
}

const ByteVector kAlgorithmId = Text("AES-256");
const ByteVector kPartyU = Text("party U");
const ByteVector kPartyV = Text("party V");

struct KdfCase {
    const char* name;
    const char* kdf;
    DWORD flags;
    std::vector<Parameter> parameters;
    std::function<ByteVector(const ByteVector& z)> expected;
};

const KdfCase kKdfCases[] = {
    {"HashIsSha1ByDefault", "HASH", 0, {}, [](const ByteVector& z) { return Digest("SHA1", z); }},
    {"HashAroundPrependsAndAppend",
     "HASH",
     0,
     {HashName("SHA256"),
      {KDF_SECRET_PREPEND, Text("ab")},
      {KDF_SECRET_APPEND, Text("ef")},
      {KDF_SECRET_PREPEND, Text("cd")}},
     [](const ByteVector& z) {
         return Digest("SHA256", Cat({Text("abcd"), z, Text("ef")}));
     }},
    {"HashCutToTheKeyBits",
     "HASH",
     0,
     {HashName("MD5"), KeyBits(100)},
     [](const ByteVector& z) {
         ByteVector d = Digest("MD5", z);
         d.resize(13);
         return d;
     }},
    {"HmacWithTheHostsKey",
     "HMAC",
     0,
     {HashName("SHA384"),
      {KDF_HMAC_KEY, Text("mac key")},
      {KDF_SECRET_PREPEND, Text("p")},
      {KDF_SECRET_APPEND, Text("a")}},
     [](const ByteVector& z) {
         return Hmac("SHA384", Text("mac key"), Cat({Text("p"), z, Text("a")}));
     }},
    {"HmacKeyedWithTheSecret",
     "HMAC",
     KDF_USE_SECRET_AS_HMAC_KEY_FLAG,
     {HashName("SHA512"), {KDF_HMAC_KEY, Text("overridden")}},
     [](const ByteVector& z) { return Hmac("SHA512", z, z); }},
    {"ConcatHashFollowsTheCurve",
     "SP800_56A_CONCAT",
     0,
     {{KDF_ALGORITHMID, kAlgorithmId}, {KDF_PARTYUINFO, kPartyU}, {KDF_PARTYVINFO, kPartyV}},
     [](const ByteVector& z) {
         const char* hash = CurveHash(z.size());
         const auto length = static_cast<size_t>(EVP_MD_get_size(EVP_get_digestbyname(hash)));
         return Sskdf(hash, z, Cat({kAlgorithmId, kPartyU, kPartyV}), length);
     }},
    {"ConcatOverThreeBlocksWithEveryInfo",
     "SP800_56A_CONCAT",
     0,
     {{KDF_SUPPPRIVINFO, Text("priv")},
      {KDF_PARTYVINFO, kPartyV},
      HashName("SHA1"),
      KeyBits(363),
      {KDF_SUPPPUBINFO, Text("pub")},
      {KDF_PARTYUINFO, kPartyU},
      {KDF_ALGORITHMID, kAlgorithmId}},
     [](const ByteVector& z) {
         return Sskdf("SHA1", z, Cat({kAlgorithmId, kPartyU, kPartyV, Text("pub"), Text("priv")}), 46);
     }},
};

struct Curve {
    const char* name;
    uint16_t size;
};
void PrintTo(const Curve& c, std::ostream* os) {
    *os << c.name;
}

class Agreement : public testing::TestWithParam<Curve> {};

TEST_P(Agreement, EveryKdfDerivesWhatOpenSslDerivesFromTheSameSecret) {
    const uint16_t size = GetParam().size;
    EntryHost host;
    const ByteVector cardPoint = PutKey(host, 4, size, 1);
    ASSERT_EQ(host.Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    const Peer peer(size);
    host.Commands();
    BYTE index = 0;
    ASSERT_EQ(Construct(host.Card(), 4, peer.blob, &index), SCARD_S_SUCCESS);
    EXPECT_EQ(index, 1);
    const std::vector<ByteVector> commands = host.Commands();
    EXPECT_EQ(commands.back()[1], 0x4A);  // the agreement comes last

    const ByteVector z = peer.SecretWith(cardPoint, size);
    for (const KdfCase& c : kKdfCases) {
        SCOPED_TRACE(c.name);
        const ByteVector expected = c.expected(z);
        Derivation sizeOnly(c.kdf, c.flags | CARD_BUFFER_SIZE_ONLY, c.parameters);
        ASSERT_EQ(sizeOnly.Run(host.Card()), SCARD_S_SUCCESS);
        EXPECT_EQ(sizeOnly.info.cbDerivedKey, expected.size());
        EXPECT_EQ(sizeOnly.info.pbDerivedKey, nullptr);
        Derivation derivation(c.kdf, c.flags, c.parameters);
        ASSERT_EQ(derivation.Run(host.Card()), SCARD_S_SUCCESS);
        EXPECT_EQ(derivation.Key(), expected);
    }
    EXPECT_TRUE(host.Commands().empty());
}

INSTANTIATE_TEST_SUITE_P(Curves, Agreement,
                         testing::Values(Curve{"P256", 0x20}, Curve{"P384", 0x30}, Curve{"P521", 0x42}),
                         CaseName());

}  // namespace

namespace {

// A host logged on, with a P-256 key-exchange key in container 0 and a peer for it.
struct AgreementHost : EntryHost {
    Peer peer{0x20};

    AgreementHost() {
        PutKey(*this, 0, 0x20, 1);
        EXPECT_EQ(Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    }
    // The index the next agreement gets, or 0 when it is refused with `refusal`.
    int Next(DWORD refusal = SCARD_S_SUCCESS) {
        BYTE index = 0;
        EXPECT_EQ(Construct(Card(), 0, peer.blob, &index), refusal);
        return refusal == SCARD_S_SUCCESS ? index : 0;
    }
    DWORD Destroy(BYTE index) { return Card().pfnCardDestroyDHAgreement(&Card(), index, 0); }
    DWORD Derive(BYTE index) {
        Derivation d("HASH", CARD_BUFFER_SIZE_ONLY, {}, index);
        return d.Run(Card());
    }
};

}  // namespace

TEST(AgreementIndex, OnePastTheLargestThenTheSmallestFreeOnceTheLargestIs255) {
    AgreementHost host;
    EXPECT_EQ(host.Next(), 1);
    EXPECT_EQ(host.Next(), 2);
    EXPECT_EQ(host.Destroy(2), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Derive(2), SCARD_E_INVALID_PARAMETER);  // gone with its secret
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
    EXPECT_EQ(host.Derive(255), SCARD_S_SUCCESS);
}

namespace {

struct Refusal {
    const char* name;
    std::function<DWORD(AgreementHost&)> call;
    DWORD status;
};
void PrintTo(const Refusal& r, std::ostream* os) {
    *os << r.name;
}

DWORD ConstructWith(AgreementHost& h, const std::function<void(CARD_DH_AGREEMENT_INFO&)>& change) {
    ByteVector blob = h.peer.blob;
    CARD_DH_AGREEMENT_INFO info{};
    info.dwVersion = CARD_DH_AGREEMENT_INFO_VERSION;
    info.dwPublicKey = static_cast<DWORD>(blob.size());
    info.pbPublicKey = blob.data();
    change(info);
    return h.Card().pfnCardConstructDHAgreement(&h.Card(), &info);
}

DWORD DeriveWith(
    AgreementHost& h, const char* kdf, DWORD flags, std::vector<Parameter> parameters,
    const std::function<void(Derivation&)>& change = [](Derivation&) {}) {
    Derivation d(kdf, flags, std::move(parameters));
    change(d);
    const DWORD status = d.Run(h.Card());
    if (d.info.pbDerivedKey != nullptr) d.Key();
    return status;
}

const std::vector<Parameter> kConcatInfo{
    {KDF_ALGORITHMID, kAlgorithmId}, {KDF_PARTYUINFO, kPartyU}, {KDF_PARTYVINFO, kPartyV}};

const Refusal kRefusals[] = {
    {"ConstructWithoutInfo",
     [](AgreementHost& h) { return h.Card().pfnCardConstructDHAgreement(&h.Card(), nullptr); },
     SCARD_E_INVALID_PARAMETER},
    {"ConstructWithoutKey",
     [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.pbPublicKey = nullptr; }); },
     SCARD_E_INVALID_PARAMETER},
    {"ConstructVersion1", [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.dwVersion = 1; }); },
     ERROR_REVISION_MISMATCH},
    {"ConstructWithFlags", [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.dwFlags = 1; }); },
     SCARD_E_INVALID_PARAMETER},
    {"ConstructShorterThanTheBlobHeader",
     [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.dwPublicKey = 7; }); },
     SCARD_E_INVALID_PARAMETER},
    {"ConstructOnAnEmptyContainer",
     [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.bContainerIndex = 3; }); },
     SCARD_E_NO_KEY_CONTAINER},
    {"ConstructOnASignatureKeyOnly",
     [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.bContainerIndex = 1; }); },
     SCARD_E_INVALID_PARAMETER},
    {"ConstructOnAnRsaKey",
     [](AgreementHost& h) { return ConstructWith(h, [](auto& i) { i.bContainerIndex = 2; }); },
     SCARD_E_INVALID_PARAMETER},
    {"ConstructWithThePointReversed",
     [](AgreementHost& h) {
         return ConstructWith(
             h, [](auto& i) { std::reverse(i.pbPublicKey + 8, i.pbPublicKey + i.dwPublicKey); });
     },
     SCARD_E_UNEXPECTED},
    {"DeriveWithoutInfo", [](AgreementHost& h) { return h.Card().pfnCardDeriveKey(&h.Card(), nullptr); },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveWithoutKdf",
     [](AgreementHost& h) { return DeriveWith(h, "HASH", 0, {}, [](auto& d) { d.info.pwszKDF = nullptr; }); },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveVersion3",
     [](AgreementHost& h) { return DeriveWith(h, "HASH", 0, {}, [](auto& d) { d.info.dwVersion = 3; }); },
     ERROR_REVISION_MISMATCH},
    {"DeriveWithAnUnknownFlag", [](AgreementHost& h) { return DeriveWith(h, "HASH", 2, {}); },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveFromAnUnknownIndex",
     [](AgreementHost& h) {
         return DeriveWith(h, "HASH", 0, {}, [](auto& d) { d.info.bSecretAgreementIndex = 2; });
     },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveByTlsPrf", [](AgreementHost& h) { return DeriveWith(h, "TLS_PRF", 0, {}); },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveByLowerCaseHash", [](AgreementHost& h) { return DeriveWith(h, "hash", 0, {}); },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveWithALabel",
     [](AgreementHost& h) {
         return DeriveWith(h, "HASH", 0, {{KDF_LABEL, Text("l")}});
     },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveWithSha224", [](AgreementHost& h) { return DeriveWith(h, "HASH", 0, {HashName("SHA224")}); },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveWithBuffersMissing",
     [](AgreementHost& h) {
         return DeriveWith(h, "HASH", 0, {HashName("SHA1")}, [](auto& d) { d.list.pBuffers = nullptr; });
     },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveWithAKeyLengthOf2Bytes",
     [](AgreementHost& h) {
         return DeriveWith(h, "HASH", 0, {{KDF_KEYBITLENGTH, {0x80, 0x00}}});
     },
     SCARD_E_INVALID_PARAMETER},
    {"HashLongerThanItsDigest", [](AgreementHost& h) { return DeriveWith(h, "HASH", 0, {KeyBits(161)}); },
     SCARD_E_INVALID_PARAMETER},
    {"HashWithAnHmacKey",
     [](AgreementHost& h) {
         return DeriveWith(h, "HASH", 0, {{KDF_HMAC_KEY, Text("k")}});
     },
     SCARD_E_INVALID_PARAMETER},
    {"HashWithTheSecretAsHmacKey",
     [](AgreementHost& h) { return DeriveWith(h, "HASH", KDF_USE_SECRET_AS_HMAC_KEY_FLAG, {}); },
     SCARD_E_INVALID_PARAMETER},
    {"HmacWithoutKey", [](AgreementHost& h) { return DeriveWith(h, "HMAC", 0, {}); },
     SCARD_E_INVALID_PARAMETER},
    {"ConcatWithoutPartyV",
     [](AgreementHost& h) {
         return DeriveWith(h, "SP800_56A_CONCAT", 0, {kConcatInfo[0], kConcatInfo[1]});
     },
     SCARD_E_INVALID_PARAMETER},
    {"ConcatWithAnHmacKey",
     [](AgreementHost& h) {
         std::vector<Parameter> p = kConcatInfo;
         p.push_back({KDF_HMAC_KEY, Text("k")});
         return DeriveWith(h, "SP800_56A_CONCAT", 0, p);
     },
     SCARD_E_INVALID_PARAMETER},
    {"DeriveWhileTheHostHasNoMemory",
     [](AgreementHost& h) {
         moduletest::HostMemory::FailNext() = true;
         return DeriveWith(h, "HASH", 0, {});
     },
     ERROR_NOT_ENOUGH_MEMORY},
    {"DestroyAnUnknownIndex", [](AgreementHost& h) { return h.Destroy(2); }, SCARD_E_INVALID_PARAMETER},
};

class AgreementRefusal : public testing::TestWithParam<Refusal> {
protected:
    static void SetUpTestSuite() {
        s_host = new AgreementHost;  // NOLINT(cppcoreguidelines-owning-memory)
        PutKey(*s_host, 0x21, 0x20, 2);
        PutKey(*s_host, 2, 0x80, 1);
        EXPECT_EQ(s_host->Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
        EXPECT_EQ(s_host->Next(), 1);
    }
    static void TearDownTestSuite() {
        delete s_host;  // NOLINT(cppcoreguidelines-owning-memory)
        s_host = nullptr;
    }
    static AgreementHost* s_host;
};
AgreementHost* AgreementRefusal::s_host = nullptr;

}  // namespace

TEST_P(AgreementRefusal, AnswersItsCodeAndKeepsTheAgreement) {
    EXPECT_EQ(GetParam().call(*s_host), GetParam().status);
    EXPECT_EQ(s_host->Derive(1), SCARD_S_SUCCESS);
    EXPECT_EQ(s_host->Derive(2), SCARD_E_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Arguments, AgreementRefusal, testing::ValuesIn(kRefusals), CaseName());

TEST(AgreementWithoutPin, TheCardRefusesAndTheHostCanNeitherDeriveNorDestroy) {
    AgreementHost host;
    EXPECT_EQ(host.Next(), 1);
    EXPECT_EQ(host.Card().pfnCardDeauthenticateEx(&host.Card(), kPinSetUser, 0), SCARD_S_SUCCESS);
    host.Next(SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(host.Derive(1), SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(host.Destroy(1), SCARD_W_SECURITY_VIOLATION);
}
