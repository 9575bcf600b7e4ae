// Signing and decryption with keys generated on the simulated card. Every signature is verified
// and every ciphertext made by OpenSSL, against the public key the card reports.
#define OPENSSL_SUPPRESS_DEPRECATED  // the host's unpadding below uses the PKCS#1 padding checks
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "case_name.h"
#include "hex.h"
#include "module_over_sim.h"
#include "openssl_ptr.h"
#include "sim_key_card.h"
#include "thrown.h"

namespace {

using libapdu::ByteVector;
using moduletest::HostMemory;

ByteVector Reversed(ByteVector bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// The status code a call threw, as the entry point would return it.
template <class F>
std::optional<DWORD> Code(F f) {
    const auto thrown = ThrownStatus(f);
    if (!thrown) return std::nullopt;
    return static_cast<DWORD>(*thrown);
}

ByteVector RandomBytes(size_t n) {
    ByteVector out(n);
    platform::RandomBytes(out.data(), n);
    return out;
}

// DigestInfo prefixes of RFC 8017, 9.2 note 1.
ByteVector PrefixFor(ALG_ID id) {
    switch (id) {
        case CALG_SHA1:
            return Hex("3021300906052B0E03021A05000414");
        case CALG_SHA_256:
            return Hex("3031300D060960864801650304020105000420");
        case CALG_SHA_384:
            return Hex("3041300D060960864801650304020205000430");
        case CALG_SHA_512:
            return Hex("3051300D060960864801650304020305000440");
        default:
            return {};
    }
}

ALG_ID IdNamed(LPCWSTR name) {
    const std::u16string n = name == nullptr ? u"" : name;
    if (n == u"SHA1") return CALG_SHA1;
    if (n == u"SHA256") return CALG_SHA_256;
    if (n == u"SHA384") return CALG_SHA_384;
    if (n == u"SHA512") return CALG_SHA_512;
    return 0;
}

// The host's PKCS#1 type 1 formatting, handed back least significant byte first.
DWORD WINAPI HostPad(PCARD_SIGNING_INFO info, DWORD width, DWORD* length, PBYTE* padded) {
    const bool ksp = info->dwVersion == 2 && (info->dwSigningFlags & CARD_PADDING_INFO_PRESENT);
    const ALG_ID id = ksp ? IdNamed(static_cast<BCRYPT_PKCS1_PADDING_INFO*>(info->pPaddingInfo)->pszAlgId)
                          : info->aiHashAlg;
    const ByteVector digestInfo =
        simtest::Concat({PrefixFor(id), ByteVector(info->pbData, info->pbData + info->cbData)});
    if (digestInfo.size() + 11 > width) return NTE_BAD_DATA;
    ByteVector block{0x00, 0x01};
    block.insert(block.end(), width - 3 - digestInfo.size(), 0xFF);
    block.push_back(0x00);
    block = Reversed(simtest::Concat({block, digestInfo}));
    *padded = static_cast<PBYTE>(HostMemory::Alloc(block.size()));
    if (*padded == nullptr) return NTE_BAD_DATA;
    std::memcpy(*padded, block.data(), block.size());
    *length = static_cast<DWORD>(block.size());
    return 0;
}

// The host's unpadding of a raw block handed over least significant byte first.
DWORD WINAPI HostUnpad(PCARD_RSA_DECRYPT_INFO info, DWORD* length, PBYTE* plain) {
    const ByteVector block = Reversed(ByteVector(info->pbData, info->pbData + info->cbData));
    ByteVector out(block.size());
    const int n = static_cast<int>(block.size());
    const int got = info->dwPaddingType == CARD_PADDING_OAEP
                        ? RSA_padding_check_PKCS1_OAEP_mgf1(out.data(), n, block.data(), n, n, nullptr, 0,
                                                            EVP_sha1(), EVP_sha1())
                        : RSA_padding_check_PKCS1_type_2(out.data(), n, block.data(), n, n);
    if (got < 0) return NTE_BAD_DATA;
    *plain = static_cast<PBYTE>(HostMemory::Alloc(static_cast<size_t>(got)));
    if (*plain == nullptr) return NTE_BAD_DATA;
    std::memcpy(*plain, out.data(), static_cast<size_t>(got));
    *length = static_cast<DWORD>(got);
    return 0;
}

// The public key as the card answers 80 48 00 00 for the key object, asked below the module.
ossl::Key PublicKeyOnCard(moduletest::SimReader& reader, uint16_t keyObject, uint16_t size) {
    ByteVector answer;
    reader.WithCard([&](helixsim::HelixCard& card) {
        card.Transmit(moduletest::SelectCommand({0x3F00, 0x3000, 0x3002, keyObject}));
        ByteVector response = card.Transmit(Hex("8048000000")).response;
        while (response.size() >= 2 && response[response.size() - 2] == 0x61) {
            answer.insert(answer.end(), response.begin(), response.end() - 2);
            response = card.Transmit({0x00, 0xC0, 0x00, 0x00, response.back()}).response;
        }
        answer.insert(answer.end(), response.begin(), response.end() - 2);
    });
    reader.Commands();
    return simtest::PublicKeyOf(answer, size);
}

struct Key {
    BYTE container;
    DWORD keySpec;
    uint16_t size;  // bytes
};

// A card with the user's PIN cached in the context, the host's padding callbacks, and keys
// generated on the card as the module's container creation leaves them.
class KeyCard : public moduletest::CardFixture {
public:
    KeyCard() {
        Data().pfnCspPadData = HostPad;
        Data().pfnCspUnpadData = HostUnpad;
        Ready();
        CachePin();
    }

    // Key object (reference + 41) with the module's usage (2 signature, 3 the others).
    ossl::Key Plant(const Key& key) {
        const bool signature = key.keySpec == AT_SIGNATURE || (key.keySpec >= 3 && key.keySpec <= 5);
        const auto reference = static_cast<uint8_t>(key.container + (signature ? 0x20 : 0));
        const auto id = static_cast<uint16_t>(reference + 0x41);
        libapdu::IToken& token = Other();
        libapdu::IAppFS& fs = *token.GetFS();
        fs.SelectPath({0x3F00, 0x3000, 0x3002});
        libapdu::FileDescriptor descriptor;
        descriptor.kind = libapdu::kKeyObject;
        descriptor.size = key.size;
        descriptor.access[0] = 0;
        descriptor.access[1] = 0;
        descriptor.access[2] = signature ? 2 : 3;
        fs.CreateFile(id, descriptor, {});
        fs.SelectPath({0x3F00, 0x3000, 0x3002, id});
        const uint8_t algorithm = simtest::IsEcSize(key.size) ? 0x11 : key.size == 0x80 ? 6 : 7;
        token.GetCrypto()->GenerateKeyPair(&algorithm, 0);
        return PublicKeyOnCard(*this, id, key.size);
    }

    // What the call threw, and the signature it handed over (freed here, as the host does).
    std::optional<DWORD> Sign(CARD_SIGNING_INFO& info, ByteVector* signature = nullptr) {
        info.pbSignedData = nullptr;
        const auto status = Code([&] { Context().SignData(&Data(), &info); });
        if (info.pbSignedData != nullptr) {
            if (signature != nullptr)
                signature->assign(info.pbSignedData, info.pbSignedData + info.cbSignedData);
            HostMemory::Free(info.pbSignedData);
        }
        return status;
    }
};

CARD_SIGNING_INFO SigningInfo(const Key& key, ByteVector& data, ALG_ID hash, DWORD flags = 0) {
    CARD_SIGNING_INFO info{};
    info.dwVersion = 2;
    info.bContainerIndex = key.container;
    info.dwKeySpec = key.keySpec;
    info.dwSigningFlags = flags;
    info.aiHashAlg = hash;
    info.pbData = data.data();
    info.cbData = static_cast<DWORD>(data.size());
    return info;
}

bool VerifiesRsa(EVP_PKEY* key, int padding, const EVP_MD* md, const ByteVector& data,
                 const ByteVector& sig) {
    const ossl::KeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (EVP_PKEY_verify_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) != 1)
        return false;
    if (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) return false;
    if (padding == RSA_PKCS1_PSS_PADDING &&
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST) != 1)
        return false;
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

ByteVector Encrypt(EVP_PKEY* key, int padding, const ByteVector& plain) {
    const ossl::KeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding), 1);
    size_t length = 0;
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()), 1);
    ByteVector cipher(length);
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), cipher.data(), &length, plain.data(), plain.size()), 1);
    return cipher;
}

const Key kExchange1024{1, AT_KEYEXCHANGE, 0x80};
const Key kSignature1024{1, AT_SIGNATURE, 0x80};
const Key kExchange2048{0, AT_KEYEXCHANGE, 0x100};

}  // namespace

// The CSP names the hash by ALG_ID, the KSP by name; without a hash identifier the block carries
// the bare data.
TEST(CardSignData, Pkcs1SignaturesVerifyForEveryHash) {
    struct Case {
        const char* name;
        ALG_ID hash;
        const char16_t* kspName;  // padding information present
        DWORD flags;
        const EVP_MD* md;
        size_t length;
    };
    const Case cases[] = {
        {"Sha1", CALG_SHA1, nullptr, 0, EVP_sha1(), 20},
        {"Sha256", CALG_SHA_256, nullptr, 0, EVP_sha256(), 32},
        {"Sha384", CALG_SHA_384, nullptr, 0, EVP_sha384(), 48},
        {"Sha512", CALG_SHA_512, nullptr, 0, EVP_sha512(), 64},
        {"KspSha256", 0, u"SHA256", CARD_PADDING_INFO_PRESENT, EVP_sha256(), 32},
        {"Ssl3ShaMd5", CALG_SSL3_SHAMD5, nullptr, 0, nullptr, 36},
        {"NoHashOid", CALG_SHA_256, nullptr, CRYPT_NOHASHOID, nullptr, 32},
    };
    KeyCard card;
    const ossl::Key exchange = card.Plant(kExchange1024);
    const ossl::Key signature = card.Plant(kSignature1024);
    for (const Case& c : cases) {
        for (const Key& key : {kExchange1024, kSignature1024}) {
            SCOPED_TRACE(std::string(c.name) + (key.keySpec == AT_SIGNATURE ? " signature" : " exchange"));
            ByteVector digest = RandomBytes(c.length);
            CARD_SIGNING_INFO info = SigningInfo(key, digest, c.hash, c.flags);
            BCRYPT_PKCS1_PADDING_INFO pkcs1{c.kspName};
            info.pPaddingInfo = &pkcs1;
            info.dwPaddingType = CARD_PADDING_PKCS1;
            ByteVector sig;
            ASSERT_EQ(card.Sign(info, &sig), std::nullopt);
            ASSERT_EQ(info.cbSignedData, 0x80u);
            EXPECT_TRUE(VerifiesRsa((key.keySpec == AT_SIGNATURE ? signature : exchange).get(),
                                    RSA_PKCS1_PADDING, c.md, digest, Reversed(sig)));
        }
    }
}

// The salt is as long as the digest and new for every signature.
TEST(CardSignData, PssSignaturesVerifyWithAFreshSaltEachTime) {
    struct Case {
        const char16_t* name;
        const EVP_MD* md;
        Key key;
    };
    KeyCard card;
    const ossl::Key small = card.Plant(kSignature1024);
    const ossl::Key large = card.Plant(kExchange2048);
    const Case cases[] = {{u"SHA1", EVP_sha1(), kSignature1024},
                          {u"SHA256", EVP_sha256(), kSignature1024},
                          {u"SHA384", EVP_sha384(), kSignature1024},
                          {u"SHA512", EVP_sha512(), kExchange2048}};
    for (const Case& c : cases) {
        SCOPED_TRACE(EVP_MD_get0_name(c.md));
        ByteVector digest = RandomBytes(static_cast<size_t>(EVP_MD_get_size(c.md)));
        BCRYPT_PSS_PADDING_INFO pss{c.name, static_cast<ULONG>(digest.size())};
        CARD_SIGNING_INFO info = SigningInfo(c.key, digest, 0, CARD_PADDING_INFO_PRESENT);
        info.pPaddingInfo = &pss;
        info.dwPaddingType = CARD_PADDING_PSS;
        ByteVector first;
        ByteVector second;
        ASSERT_EQ(card.Sign(info, &first), std::nullopt);
        ASSERT_EQ(card.Sign(info, &second), std::nullopt);
        EVP_PKEY* key = c.key.size == 0x80 ? small.get() : large.get();
        EXPECT_TRUE(VerifiesRsa(key, RSA_PKCS1_PSS_PADDING, c.md, digest, Reversed(first)));
        EXPECT_TRUE(VerifiesRsa(key, RSA_PKCS1_PSS_PADDING, c.md, digest, Reversed(second)));
        EXPECT_NE(first, second);
    }
}

// r || s, each as long as a coordinate, most significant byte first.
TEST(CardSignData, EcdsaSignaturesAreRThenSBigEndian) {
    struct Case {
        BYTE container;
        DWORD keySpec;
        uint16_t size;
        size_t digestLength;
    };
    KeyCard card;
    for (const Case& c : {Case{2, AT_ECDSA_P256, 0x20, 32}, Case{3, AT_ECDSA_P384, 0x30, 48},
                          Case{4, AT_ECDSA_P521, 0x42, 64}, Case{5, AT_ECDHE_P256, 0x20, 32}}) {
        SCOPED_TRACE(c.keySpec);
        const Key key{c.container, c.keySpec, c.size};
        const ossl::Key pub = card.Plant(key);
        ByteVector digest = RandomBytes(c.digestLength);
        CARD_SIGNING_INFO info = SigningInfo(key, digest, 0);
        ByteVector rs;
        ASSERT_EQ(card.Sign(info, &rs), std::nullopt);
        ASSERT_EQ(rs.size(), 2u * c.size);
        const ossl::EcdsaSignature sig(ECDSA_SIG_new());
        const int half = c.size;
        ECDSA_SIG_set0(sig.get(), BN_bin2bn(rs.data(), half, nullptr),
                       BN_bin2bn(rs.data() + half, half, nullptr));
        const ByteVector der = ossl::Der(sig.get(), i2d_ECDSA_SIG);
        const ossl::KeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
        EXPECT_EQ(EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()), 1);
    }
}

// The card signs; the host learns only the length and receives no buffer.
TEST(CardSignData, BufferSizeOnlyReportsTheLength) {
    KeyCard card;
    card.Plant(kExchange1024);
    ByteVector digest = RandomBytes(32);
    CARD_SIGNING_INFO info = SigningInfo(kExchange1024, digest, CALG_SHA_256, CARD_BUFFER_SIZE_ONLY);
    ASSERT_EQ(card.Sign(info), std::nullopt);
    EXPECT_EQ(info.cbSignedData, 0x80u);
    EXPECT_EQ(info.pbSignedData, nullptr);
    EXPECT_TRUE(HostMemory::Live().empty());
}

// A key length the container list already knows spares the card the key's description.
TEST(CardSignData, KnownKeyLengthNeedsNoKeyLookup) {
    KeyCard card;
    card.Plant(kExchange1024);
    card.Context().Containers().resize(2);
    card.Context().Containers()[1].keyLengthCode = 0x80;
    ByteVector digest = RandomBytes(20);
    CARD_SIGNING_INFO info = SigningInfo(kExchange1024, digest, CALG_SHA1);
    ByteVector sig;
    ASSERT_EQ(card.Sign(info, &sig), std::nullopt);
    EXPECT_FALSE(moduletest::Sent(card.Commands(), Hex("8048000000")));
}

// Each refusal with its code; the key (container 1) and the PIN are there unless the case says.
TEST(CardSignData, RefusalsAnswerTheirCodes) {
    struct Case {
        const char* name;
        void (*change)(CARD_SIGNING_INFO&, KeyCard&);
        DWORD expected;
    };
    static BCRYPT_PSS_PADDING_INFO pss{u"SHA256", 32};
    static BCRYPT_PKCS1_PADDING_INFO pkcs1{u"SHA256"};
    const Case cases[] = {
        {"NoData", [](CARD_SIGNING_INFO& i, KeyCard&) { i.pbData = nullptr; }, SCARD_E_INVALID_PARAMETER},
        {"Version3", [](CARD_SIGNING_INFO& i, KeyCard&) { i.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
        {"UnknownFlag", [](CARD_SIGNING_INFO& i, KeyCard&) { i.dwSigningFlags |= 0x10; },
         SCARD_E_INVALID_PARAMETER},
        {"KeySpec9", [](CARD_SIGNING_INFO& i, KeyCard&) { i.dwKeySpec = 9; }, SCARD_E_INVALID_PARAMETER},
        {"NoKey", [](CARD_SIGNING_INFO& i, KeyCard&) { i.bContainerIndex = 5; }, SCARD_E_NO_KEY_CONTAINER},
        {"PaddingNone",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
             i.pPaddingInfo = &pkcs1;
             i.dwPaddingType = CARD_PADDING_NONE;
         },
         SCARD_E_UNSUPPORTED_FEATURE},
        {"PssSaltNotDigestLength",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             pss = {u"SHA256", 20};
             i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
             i.pPaddingInfo = &pss;
             i.dwPaddingType = CARD_PADDING_PSS;
         },
         SCARD_E_INVALID_PARAMETER},
        {"PssDigestNotOfItsHash",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             pss = {u"SHA256", 32};
             i.cbData = 20;
             i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
             i.pPaddingInfo = &pss;
             i.dwPaddingType = CARD_PADDING_PSS;
         },
         SCARD_E_INVALID_PARAMETER},
        {"PssMd5",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             pss = {u"MD5", 16};
             i.cbData = 16;
             i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
             i.pPaddingInfo = &pss;
             i.dwPaddingType = CARD_PADDING_PSS;
         },
         SCARD_E_INVALID_PARAMETER},
        {"PssSha512On1024",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             pss = {u"SHA512", 64};
             i.cbData = 64;
             i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
             i.pPaddingInfo = &pss;
             i.dwPaddingType = CARD_PADDING_PSS;
         },
         SCARD_E_INVALID_PARAMETER},
        {"UnknownHashName",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             pkcs1 = {u"SHA-256"};
             i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
             i.pPaddingInfo = &pkcs1;
             i.dwPaddingType = CARD_PADDING_PKCS1;
         },
         SCARD_E_INVALID_PARAMETER},
        {"UnknownAlgId", [](CARD_SIGNING_INFO& i, KeyCard&) { i.aiHashAlg = CALG_RSA_SIGN; },
         SCARD_E_INVALID_PARAMETER},
        {"DataLongerThanKey", [](CARD_SIGNING_INFO& i, KeyCard&) { i.cbData = 0x81; },
         SCARD_E_INVALID_PARAMETER},
        {"HostPaddingFails", [](CARD_SIGNING_INFO&, KeyCard& c) { c.Data().pfnCspPadData = nullptr; },
         ERROR_NOT_ENOUGH_MEMORY},
        {"HostAllocationFails",
         [](CARD_SIGNING_INFO& i, KeyCard&) {
             i.dwSigningFlags = CRYPT_NOHASHOID;
             HostMemory::FailNext() = true;
         },
         ERROR_NOT_ENOUGH_MEMORY},
        {"NoPinCached", [](CARD_SIGNING_INFO&, KeyCard& c) { c.Context().Login().cachedPin.clear(); },
         SCARD_W_SECURITY_VIOLATION},
        {"CardRefusesTheSignature",
         [](CARD_SIGNING_INFO& i, KeyCard& c) {
             CARD_SIGNING_INFO first = i;
             EXPECT_EQ(c.Sign(first), std::nullopt);
             c.FailCommand(0x6F00, static_cast<uint32_t>(c.Commands().size()));
         },
         SCARD_E_UNEXPECTED},
    };
    KeyCard card;
    card.Plant(kExchange1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteVector digest = RandomBytes(32);
        CARD_SIGNING_INFO info = SigningInfo(kExchange1024, digest, CALG_SHA_256);
        card.Commands();
        c.change(info, card);
        EXPECT_EQ(card.Sign(info), c.expected);
        HostMemory::FailNext() = false;
        card.Data().pfnCspPadData = HostPad;
        card.CachePin();
    }
}

// The block comes back least significant byte first; the host removes PKCS#1 or OAEP padding
// through its callback, and a version 1 caller or CARD_PADDING_NONE gets the raw block.
TEST(CardRSADecrypt, OpensWhatThePublicKeyEncrypted) {
    struct Case {
        const char* name;
        DWORD version;
        DWORD padding;
        int opensslPadding;
        DWORD recordVersion;
    };
    const Case cases[] = {
        {"Pkcs1", 2, CARD_PADDING_PKCS1, RSA_PKCS1_PADDING, CARD_DATA_VERSION_SEVEN},
        {"Oaep", 2, CARD_PADDING_OAEP, RSA_PKCS1_OAEP_PADDING, CARD_DATA_VERSION_SEVEN},
        {"None", 2, CARD_PADDING_NONE, RSA_NO_PADDING, CARD_DATA_VERSION_SEVEN},
        {"Version1", 1, 0, RSA_NO_PADDING, CARD_DATA_VERSION_SIX},
    };
    KeyCard card;
    const ossl::Key pub = card.Plant(kExchange1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteVector plain = RandomBytes(c.opensslPadding == RSA_NO_PADDING ? 0x80 : 24);
        if (c.opensslPadding == RSA_NO_PADDING) plain[0] = 0x00;  // below the modulus
        ByteVector data = Reversed(Encrypt(pub.get(), c.opensslPadding, plain));
        CARD_RSA_DECRYPT_INFO info{c.version,   kExchange1024.container,         AT_KEYEXCHANGE,
                                   data.data(), static_cast<DWORD>(data.size()), nullptr,
                                   c.padding};
        card.Data().dwVersion = c.recordVersion;
        ASSERT_EQ(Code([&] { card.Context().RSADecrypt(&card.Data(), &info); }), std::nullopt);
        const ByteVector got(data.begin(), data.begin() + info.cbData);
        EXPECT_EQ(got, c.opensslPadding == RSA_NO_PADDING ? Reversed(plain) : plain);
    }
}

TEST(CardRSADecrypt, RefusalsAnswerTheirCodes) {
    struct Case {
        const char* name;
        void (*change)(CARD_RSA_DECRYPT_INFO&, KeyCard&);
        DWORD expected;
    };
    const Case cases[] = {
        {"NoData", [](CARD_RSA_DECRYPT_INFO& i, KeyCard&) { i.pbData = nullptr; }, SCARD_E_INVALID_PARAMETER},
        {"SignatureKey", [](CARD_RSA_DECRYPT_INFO& i, KeyCard&) { i.dwKeySpec = AT_SIGNATURE; },
         SCARD_E_INVALID_PARAMETER},
        {"Version3", [](CARD_RSA_DECRYPT_INFO& i, KeyCard&) { i.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
        {"Version1ForAVersion7Host", [](CARD_RSA_DECRYPT_INFO& i, KeyCard&) { i.dwVersion = 1; },
         ERROR_REVISION_MISMATCH},
        {"ShortBuffer", [](CARD_RSA_DECRYPT_INFO& i, KeyCard&) { i.cbData = 0x7F; },
         SCARD_E_INSUFFICIENT_BUFFER},
        {"NoKey", [](CARD_RSA_DECRYPT_INFO& i, KeyCard&) { i.bContainerIndex = 5; },
         SCARD_E_NO_KEY_CONTAINER},
        {"NoPinCached", [](CARD_RSA_DECRYPT_INFO&, KeyCard& c) { c.Context().Login().cachedPin.clear(); },
         SCARD_W_SECURITY_VIOLATION},
        {"HostUnpaddingFails", [](CARD_RSA_DECRYPT_INFO&, KeyCard& c) { c.Data().pfnCspUnpadData = nullptr; },
         ERROR_NOT_ENOUGH_MEMORY},
    };
    KeyCard card;
    const ossl::Key pub = card.Plant(kExchange1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteVector data = Reversed(Encrypt(pub.get(), RSA_PKCS1_PADDING, Hex("0102030405")));
        CARD_RSA_DECRYPT_INFO info{
            2,       kExchange1024.container, AT_KEYEXCHANGE, data.data(), static_cast<DWORD>(data.size()),
            nullptr, CARD_PADDING_PKCS1};
        c.change(info, card);
        EXPECT_EQ(Code([&] { card.Context().RSADecrypt(&card.Data(), &info); }), c.expected);
        card.Data().pfnCspUnpadData = HostUnpad;
        card.CachePin();
    }
}
