// Signing and decryption with keys generated on the simulated card. Every signature is verified
// and every ciphertext made by OpenSSL, against the public key the card reports.
#define OPENSSL_SUPPRESS_DEPRECATED  // the host's unpadding below uses the PKCS#1 padding checks
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

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

ByteVector RandomBytes(size_t n) {
    ByteVector out(n);
    platform::RandomBytes(out.data(), n);
    return out;
}

template <class F>
std::optional<DWORD> Code(F f) {
    const auto thrown = ThrownStatus(f);
    return thrown ? std::optional<DWORD>(static_cast<DWORD>(*thrown)) : std::nullopt;
}

PBYTE HostCopy(const ByteVector& bytes, DWORD* length) {
    auto* out = static_cast<PBYTE>(HostMemory::Alloc(bytes.size()));
    if (out != nullptr) std::memcpy(out, bytes.data(), bytes.size());
    *length = static_cast<DWORD>(bytes.size());
    return out;
}

// DigestInfo prefixes of RFC 8017, 9.2 note 1, by CSP and KSP name.
ByteVector PrefixFor(ALG_ID id, const std::u16string& name) {
    if (id == CALG_SHA1 || name == u"SHA1") return Hex("3021300906052B0E03021A05000414");
    if (id == CALG_SHA_256 || name == u"SHA256") return Hex("3031300D060960864801650304020105000420");
    if (id == CALG_SHA_384 || name == u"SHA384") return Hex("3041300D060960864801650304020205000430");
    if (id == CALG_SHA_512 || name == u"SHA512") return Hex("3051300D060960864801650304020305000440");
    return {};
}

// The host's PKCS#1 type 1 block of `width` bytes, handed back least significant byte first.
DWORD WINAPI HostPad(PCARD_SIGNING_INFO info, DWORD width, DWORD* length, PBYTE* padded) {
    const auto* kspInfo = static_cast<BCRYPT_PKCS1_PADDING_INFO*>(info->pPaddingInfo);
    const bool ksp = (info->dwSigningFlags & CARD_PADDING_INFO_PRESENT) != 0 && kspInfo->pszAlgId != nullptr;
    const ByteVector digestInfo =
        simtest::Concat({PrefixFor(ksp ? 0 : info->aiHashAlg, ksp ? kspInfo->pszAlgId : u""),
                         ByteVector(info->pbData, info->pbData + info->cbData)});
    ByteVector block{0x00, 0x01};
    block.insert(block.end(), width - 3 - digestInfo.size(), 0xFF);
    block.push_back(0x00);
    *padded = HostCopy(Reversed(simtest::Concat({block, digestInfo})), length);
    return *padded == nullptr ? NTE_NO_MEMORY : 0;
}

// The host's unpadding of the raw block, which arrives least significant byte first.
DWORD WINAPI HostUnpad(PCARD_RSA_DECRYPT_INFO info, DWORD* length, PBYTE* plain) {
    const ByteVector block = Reversed(ByteVector(info->pbData, info->pbData + info->cbData));
    ByteVector out(block.size());
    const int n = static_cast<int>(block.size());
    const int got = info->dwPaddingType == CARD_PADDING_OAEP
                        ? RSA_padding_check_PKCS1_OAEP_mgf1(out.data(), n, block.data(), n, n, nullptr, 0,
                                                            EVP_sha1(), EVP_sha1())
                        : RSA_padding_check_PKCS1_type_2(out.data(), n, block.data(), n, n);
    if (got < 0) return NTE_BAD_DATA;
    out.resize(static_cast<size_t>(got));
    *plain = HostCopy(out, length);
    return 0;
}

struct Key {
    BYTE container;
    DWORD keySpec;
    uint16_t size;  // bytes
};

const Key kExchange1024{1, AT_KEYEXCHANGE, 0x80};
const Key kSignature1024{1, AT_SIGNATURE, 0x80};
const Key kExchange2048{0, AT_KEYEXCHANGE, 0x100};
const Key kEcdsaP256{2, AT_ECDSA_P256, 0x20};
const Key kEcdsaP384{3, AT_ECDSA_P384, 0x30};
const Key kEcdsaP521{4, AT_ECDSA_P521, 0x42};
const Key kEcdhP256{5, AT_ECDHE_P256, 0x20};

// A signing request and the buffers it points into.
struct Request {
    Request(const Key& key, size_t length, ALG_ID hash) : data(RandomBytes(length)) {
        info.dwVersion = 2;
        info.bContainerIndex = key.container;
        info.dwKeySpec = key.keySpec;
        info.aiHashAlg = hash;
        Resize(length);
    }
    void Resize(size_t length) {
        data.resize(length);
        info.pbData = data.data();
        info.cbData = static_cast<DWORD>(length);
    }
    void Padding(DWORD type, const char16_t* name, ULONG salt = 0) {
        info.dwSigningFlags |= CARD_PADDING_INFO_PRESENT;
        info.dwPaddingType = type;
        pkcs1.pszAlgId = name;
        pss = {name, salt};
        info.pPaddingInfo = type == CARD_PADDING_PSS ? static_cast<void*>(&pss) : &pkcs1;
    }

    ByteVector data;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{};
    BCRYPT_PSS_PADDING_INFO pss{};
    CARD_SIGNING_INFO info{};
};

// A card with the user's PIN cached in the context, the host's padding callbacks, and keys
// generated on the card where the module's container creation puts them.
class KeyCard : public moduletest::CardFixture {
public:
    KeyCard() {
        Data().pfnCspPadData = HostPad;
        Data().pfnCspUnpadData = HostUnpad;
        Ready();
        CachePin();
    }

    // Key object reference + 41 with the usage of its kind (2 signature, 3 the others); returns
    // the public key as the card answers 80 48 00 00, asked below the module.
    ossl::Key Plant(const Key& key) {
        const bool signature = key.keySpec == AT_SIGNATURE || (key.keySpec >= 3 && key.keySpec <= 5);
        const auto id = static_cast<uint16_t>(key.container + (signature ? 0x20 : 0) + 0x41);
        libapdu::IToken& token = Other();
        token.GetFS()->SelectPath({0x3F00, 0x3000, 0x3002});
        token.GetFS()->CreateFile(id, {libapdu::kKeyObject, key.size, {0, 0, uint8_t(signature ? 2 : 3)}},
                                  {});
        token.GetFS()->SelectPath({0x3F00, 0x3000, 0x3002, id});
        const uint8_t algorithm = simtest::IsEcSize(key.size) ? 0x11 : key.size == 0x80 ? 6 : 7;
        token.GetCrypto()->GenerateKeyPair(&algorithm, 0);
        ByteVector answer;
        WithCard([&](helixsim::HelixCard& card) {
            ByteVector response = card.Transmit(Hex("8048000000")).response;
            for (; response[response.size() - 2] == 0x61;
                 response = card.Transmit({0x00, 0xC0, 0x00, 0x00, response.back()}).response)
                answer.insert(answer.end(), response.begin(), response.end() - 2);
            answer.insert(answer.end(), response.begin(), response.end() - 2);
        });
        Commands();
        return simtest::PublicKeyOf(answer, key.size);
    }

    // What the call threw, and the signature it handed over (freed here, as the host does).
    std::optional<DWORD> Sign(Request& r, ByteVector* signature = nullptr) {
        r.info.pbSignedData = nullptr;
        const auto status = Code([&] { Context().SignData(&Data(), &r.info); });
        if (r.info.pbSignedData != nullptr && signature != nullptr)
            signature->assign(r.info.pbSignedData, r.info.pbSignedData + r.info.cbSignedData);
        HostMemory::Free(r.info.pbSignedData);
        return status;
    }
};

// PKCS#1 v1.5 (with the hash's DigestInfo, or the bare data without `md`), PSS with a salt as
// long as the digest, or ECDSA over r || s, most significant bytes first.
bool Verifies(EVP_PKEY* key, DWORD padding, const EVP_MD* md, const ByteVector& data, ByteVector sig) {
    const ossl::KeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    if (EVP_PKEY_is_a(key, "EC") != 0) {
        const int half = static_cast<int>(sig.size() / 2);
        const ossl::EcdsaSignature rs(ECDSA_SIG_new());
        ECDSA_SIG_set0(rs.get(), BN_bin2bn(sig.data(), half, nullptr),
                       BN_bin2bn(sig.data() + half, half, nullptr));
        sig = ossl::Der(rs.get(), i2d_ECDSA_SIG);
    } else {
        const bool pss = padding == CARD_PADDING_PSS;
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING);
        if (md != nullptr) EVP_PKEY_CTX_set_signature_md(ctx.get(), md);
        if (pss) EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST);
        sig = Reversed(sig);
    }
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

ByteVector Encrypt(EVP_PKEY* key, int padding, const ByteVector& plain) {
    const ossl::KeyContext ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding), 1);
    ByteVector cipher(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = cipher.size();
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), cipher.data(), &length, plain.data(), plain.size()), 1);
    return cipher;
}

// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): one table row per line
#define CHANGE(...)           \
    [](auto& r, KeyCard& c) { \
        (void)r, (void)c;     \
        __VA_ARGS__;          \
    }

}  // namespace

// The CSP names the hash by ALG_ID, the KSP by name (PKCS#1 or PSS); without a hash identifier
// the card signs the bare data. RSA signatures come least significant byte first, ECDSA as r || s.
TEST(CardSignData, SignaturesVerifyForEveryPaddingAndCurve) {
    const struct {
        const char* name;
        Key key;
        ALG_ID hash;
        DWORD flags;
        DWORD padding;  // 0: no padding information
        const char16_t* algId;
        const EVP_MD* md;
    } cases[] = {
        {"Sha1", kExchange1024, CALG_SHA1, 0, 0, nullptr, EVP_sha1()},
        {"Sha256", kSignature1024, CALG_SHA_256, 0, 0, nullptr, EVP_sha256()},
        {"Sha384", kExchange1024, CALG_SHA_384, 0, 0, nullptr, EVP_sha384()},
        {"Sha512", kSignature1024, CALG_SHA_512, 0, 0, nullptr, EVP_sha512()},
        {"KspSha256", kExchange1024, 0, 0, CARD_PADDING_PKCS1, u"SHA256", EVP_sha256()},
        {"Ssl3ShaMd5", kExchange1024, CALG_SSL3_SHAMD5, 0, 0, nullptr, nullptr},
        {"NoHashOid", kSignature1024, CALG_SHA_256, CRYPT_NOHASHOID, 0, nullptr, nullptr},
        {"PssSha1", kSignature1024, 0, 0, CARD_PADDING_PSS, u"SHA1", EVP_sha1()},
        {"PssSha256", kExchange1024, 0, 0, CARD_PADDING_PSS, u"SHA256", EVP_sha256()},
        {"PssSha384", kSignature1024, 0, 0, CARD_PADDING_PSS, u"SHA384", EVP_sha384()},
        {"PssSha512", kExchange2048, 0, 0, CARD_PADDING_PSS, u"SHA512", EVP_sha512()},
        {"EcdsaP256", kEcdsaP256, 0, 0, 0, nullptr, EVP_sha256()},
        {"EcdsaP384", kEcdsaP384, 0, 0, 0, nullptr, EVP_sha384()},
        {"EcdsaP521", kEcdsaP521, 0, 0, 0, nullptr, EVP_sha512()},
        {"EcdhKeyP256", kEcdhP256, 0, 0, 0, nullptr, EVP_sha256()},
    };
    KeyCard card;
    std::map<uint16_t, ossl::Key> keys;  // by key object
    for (const Key& k :
         {kExchange1024, kSignature1024, kExchange2048, kEcdsaP256, kEcdsaP384, kEcdsaP521, kEcdhP256})
        keys[k.container * 0x100 + k.keySpec] = card.Plant(k);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Request r(c.key, c.md != nullptr ? static_cast<size_t>(EVP_MD_get_size(c.md)) : 36, c.hash);
        r.info.dwSigningFlags = c.flags;
        if (c.padding != 0) r.Padding(c.padding, c.algId, static_cast<ULONG>(r.data.size()));
        ByteVector first;
        ByteVector second;
        ASSERT_EQ(card.Sign(r, &first), std::nullopt);
        ASSERT_EQ(card.Sign(r, &second), std::nullopt);
        EXPECT_EQ(r.info.cbSignedData, simtest::IsEcSize(c.key.size) ? 2u * c.key.size : c.key.size);
        EVP_PKEY* key = keys[c.key.container * 0x100 + c.key.keySpec].get();
        EXPECT_TRUE(Verifies(key, c.padding, c.md, r.data, first));
        EXPECT_TRUE(Verifies(key, c.padding, c.md, r.data, second));
        if (c.padding == CARD_PADDING_PSS) {
            EXPECT_NE(first, second) << "the same salt twice";
        }
    }
}

// The card signs; the host learns only the length and receives no buffer.
TEST(CardSignData, BufferSizeOnlyReportsTheLength) {
    KeyCard card;
    card.Plant(kExchange1024);
    Request r(kExchange1024, 32, CALG_SHA_256);
    r.info.dwSigningFlags = CARD_BUFFER_SIZE_ONLY;
    ASSERT_EQ(card.Sign(r), std::nullopt);
    EXPECT_EQ(r.info.cbSignedData, 0x80u);
    EXPECT_EQ(r.info.pbSignedData, nullptr);
    const auto commands = card.Commands();
    EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                            [](const ByteVector& c) { return ToHex(c).rfind("002A9E8A", 0) == 0; }));
}

// Each refusal with its code; the 1024-bit key of container 1 and the PIN are there unless the
// case takes them away.
TEST(CardSignData, RefusalsAnswerTheirCodes) {
    const struct {
        const char* name;
        void (*change)(Request&, KeyCard&);
        DWORD expected;
    } cases[] = {
        {"NoData", CHANGE(r.info.pbData = nullptr), SCARD_E_INVALID_PARAMETER},
        {"Version3", CHANGE(r.info.dwVersion = 3), ERROR_REVISION_MISMATCH},
        {"UnknownFlag", CHANGE(r.info.dwSigningFlags = 0x10), SCARD_E_INVALID_PARAMETER},
        {"KeySpec9", CHANGE(r.info.dwKeySpec = 9), SCARD_E_INVALID_PARAMETER},
        {"NoKey", CHANGE(r.info.bContainerIndex = 5), SCARD_E_NO_KEY_CONTAINER},
        {"PaddingNone", CHANGE(r.Padding(CARD_PADDING_NONE, nullptr)), SCARD_E_UNSUPPORTED_FEATURE},
        {"UnknownHashName", CHANGE(r.Padding(CARD_PADDING_PKCS1, u"SHA-256")), SCARD_E_INVALID_PARAMETER},
        {"UnknownAlgId", CHANGE(r.info.aiHashAlg = CALG_RSA_SIGN), SCARD_E_INVALID_PARAMETER},
        {"PssSaltNotDigestLength", CHANGE(r.Padding(CARD_PADDING_PSS, u"SHA256", 20)),
         SCARD_E_INVALID_PARAMETER},
        {"PssDataNotDigestLength", CHANGE(r.Padding(CARD_PADDING_PSS, u"SHA256", 32); r.Resize(20)),
         SCARD_E_INVALID_PARAMETER},
        {"PssMd5", CHANGE(r.Padding(CARD_PADDING_PSS, u"MD5", 16); r.Resize(16)), SCARD_E_INVALID_PARAMETER},
        {"PssSha512On1024Bits", CHANGE(r.Padding(CARD_PADDING_PSS, u"SHA512", 64); r.Resize(64)),
         SCARD_E_INVALID_PARAMETER},
        {"DataLongerThanKey", CHANGE(r.Resize(0x81)), SCARD_E_INVALID_PARAMETER},
        {"NoHostPadding", CHANGE(c.Data().pfnCspPadData = nullptr), ERROR_NOT_ENOUGH_MEMORY},
        {"HostPaddingFails", CHANGE(HostMemory::FailNext() = true), ERROR_NOT_ENOUGH_MEMORY},
        {"HostAllocationFails",
         CHANGE(r.info.dwSigningFlags = CRYPT_NOHASHOID; HostMemory::FailNext() = true),
         ERROR_NOT_ENOUGH_MEMORY},
        {"NoPinCached", CHANGE(c.Context().Login().cachedPin.clear()), SCARD_W_SECURITY_VIOLATION},
        {"CardRefusesTheSignature",
         CHANGE(EXPECT_EQ(c.Sign(r), std::nullopt);
                c.FailCommand(0x6F00, static_cast<uint32_t>(c.Commands().size()))),
         SCARD_E_UNEXPECTED},
    };
    KeyCard card;
    card.Plant(kExchange1024);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Request r(kExchange1024, 32, CALG_SHA_256);
        card.Commands();
        c.change(r, card);
        EXPECT_EQ(card.Sign(r), c.expected);
        HostMemory::FailNext() = false;
        card.Data().pfnCspPadData = HostPad;
        card.CachePin();
    }
}

// The ciphertext goes in and the block comes back least significant byte first; the host's
// callback removes PKCS#1 or OAEP padding, and a version 1 caller or CARD_PADDING_NONE gets the
// raw block.
TEST(CardRSADecrypt, OpensWhatThePublicKeyEncrypted) {
    const struct {
        const char* name;
        DWORD version, padding;
        int opensslPadding;
        DWORD recordVersion;
    } cases[] = {
        {"Pkcs1", 2, CARD_PADDING_PKCS1, RSA_PKCS1_PADDING, CARD_DATA_VERSION_SEVEN},
        {"Oaep", 2, CARD_PADDING_OAEP, RSA_PKCS1_OAEP_PADDING, CARD_DATA_VERSION_SEVEN},
        {"None", 2, CARD_PADDING_NONE, RSA_NO_PADDING, CARD_DATA_VERSION_SEVEN},
        {"Version1", 1, 0, RSA_NO_PADDING, CARD_DATA_VERSION_SIX},
    };
    KeyCard card;
    const ossl::Key key = card.Plant(kExchange1024);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool raw = c.opensslPadding == RSA_NO_PADDING;
        ByteVector plain = RandomBytes(raw ? 0x80 : 24);
        plain[0] = 0x00;  // below the modulus
        ByteVector data = Reversed(Encrypt(key.get(), c.opensslPadding, plain));
        CARD_RSA_DECRYPT_INFO info{c.version, 1, AT_KEYEXCHANGE, data.data(), 0x80, nullptr, c.padding};
        card.Data().dwVersion = c.recordVersion;
        ASSERT_EQ(Code([&] { card.Context().RSADecrypt(&card.Data(), &info); }), std::nullopt);
        EXPECT_EQ(ByteVector(data.begin(), data.begin() + info.cbData), raw ? Reversed(plain) : plain);
    }
}

TEST(CardRSADecrypt, RefusalsAnswerTheirCodes) {
    const struct {
        const char* name;
        void (*change)(CARD_RSA_DECRYPT_INFO&, KeyCard&);
        DWORD expected;
    } cases[] = {
        {"NoData", CHANGE(r.pbData = nullptr), SCARD_E_INVALID_PARAMETER},
        {"SignatureKey", CHANGE(r.dwKeySpec = AT_SIGNATURE), SCARD_E_INVALID_PARAMETER},
        {"Version3", CHANGE(r.dwVersion = 3), ERROR_REVISION_MISMATCH},
        {"Version1ForAVersion7Host", CHANGE(r.dwVersion = 1), ERROR_REVISION_MISMATCH},
        {"ShortBuffer", CHANGE(r.cbData = 0x7F), SCARD_E_INSUFFICIENT_BUFFER},
        {"NoKey", CHANGE(r.bContainerIndex = 5), SCARD_E_NO_KEY_CONTAINER},
        {"NoPinCached", CHANGE(c.Context().Login().cachedPin.clear()), SCARD_W_SECURITY_VIOLATION},
        {"NoHostUnpadding", CHANGE(c.Data().pfnCspUnpadData = nullptr), ERROR_NOT_ENOUGH_MEMORY},
    };
    KeyCard card;
    const ossl::Key key = card.Plant(kExchange1024);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteVector data = Reversed(Encrypt(key.get(), RSA_PKCS1_PADDING, Hex("0102030405")));
        CARD_RSA_DECRYPT_INFO info{2, 1, AT_KEYEXCHANGE, data.data(), 0x80, nullptr, CARD_PADDING_PKCS1};
        c.change(info, card);
        EXPECT_EQ(Code([&] { card.Context().RSADecrypt(&card.Data(), &info); }), c.expected);
        card.Data().pfnCspUnpadData = HostUnpad;
        card.CachePin();
    }
}
