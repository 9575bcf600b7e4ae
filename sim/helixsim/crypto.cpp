#include "helixsim/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "helixsim/ossl.h"

namespace helixsim::crypto {
namespace {

constexpr size_t kBlock = 8;

using ossl::Bn;
using ossl::BnCtx;
using ossl::CipherCtx;
using ossl::Group;
using ossl::ParamBld;
using ossl::Params;
using ossl::Pkcs8;
using ossl::Pkey;
using ossl::PkeyCtx;

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("crypto: ") + what);
}

// K1 K2 K1 for a two-key key, so that one three-key cipher serves both lengths.
SecretBytes ThreeKeyForm(const Bytes& key) {
    if (key.size() == 24) return SecretBytes(key);
    if (key.size() != 16) throw std::invalid_argument("crypto: triple-DES key must be 16 or 24 bytes");
    Bytes full;
    full.reserve(24);  // no reallocation leaves a key copy behind
    full.insert(full.end(), key.begin(), key.end());
    full.insert(full.end(), key.begin(), key.begin() + 8);
    return SecretBytes(std::move(full));
}

Bytes Tdes(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& data, bool encrypt) {
    if (data.size() % kBlock != 0) throw std::invalid_argument("crypto: data is not a multiple of 8 bytes");
    const SecretBytes fullKey = ThreeKeyForm(key);
    const uint8_t iv[kBlock] = {};
    const CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, fullKey.bytes().data(), iv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        Fail("cipher setup");
    Bytes out(data.size() + kBlock);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) != 1)
        Fail("cipher update");
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + written, &tail) != 1) Fail("cipher final");
    out.resize(static_cast<size_t>(written + tail));
    return out;
}

// A rejected input leaves OpenSSL's error queue as it was found.
[[noreturn]] void Reject(const char* what) {
    ERR_clear_error();
    throw std::invalid_argument(std::string("crypto: ") + what);
}

Bn ToBn(const Bytes& bytes) {
    Bn bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    if (!bn) Fail("bignum");
    return bn;
}

Bytes FromBn(const BIGNUM* bn, size_t length) {
    Bytes out(length);
    if (BN_bn2binpad(bn, out.data(), static_cast<int>(length)) < 0) Fail("number longer than its field");
    return out;
}

Bytes FromBnMinimal(const BIGNUM* bn) {
    return FromBn(bn, static_cast<size_t>(BN_num_bytes(bn)));
}

struct CurveInfo {
    Curve curve;
    int nid;
    const char* name;
    size_t bytes;
    unsigned bits;
};
constexpr CurveInfo kCurves[] = {
    {Curve::P256, NID_X9_62_prime256v1, "P-256", 32, 256},
    {Curve::P384, NID_secp384r1, "P-384", 48, 384},
    {Curve::P521, NID_secp521r1, "P-521", 66, 521},
};

const CurveInfo& Info(Curve curve) {
    for (const CurveInfo& info : kCurves)
        if (info.curve == curve) return info;
    throw std::invalid_argument("crypto: unknown curve");
}

const CurveInfo* InfoByName(const char* name) {
    int nid = OBJ_sn2nid(name);
    if (nid == NID_undef) nid = EC_curve_nist2nid(name);
    for (const CurveInfo& info : kCurves)
        if (info.nid == nid) return &info;
    return nullptr;
}

PkeyCtx ContextFor(EVP_PKEY* key) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx) Fail("key context");
    return ctx;
}

PkeyCtx ContextFor(const char* type) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    if (!ctx) Fail("key context");
    return ctx;
}

// nullptr when OpenSSL refuses the components.
Pkey KeyFromData(const char* type, OSSL_PARAM_BLD* bld, int selection) {
    const Params params(OSSL_PARAM_BLD_to_param(bld));
    if (!params) Fail("parameters");
    const PkeyCtx ctx = ContextFor(type);
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, selection, params.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return Pkey(raw);
}

void PushNumber(OSSL_PARAM_BLD* bld, const char* name, const BIGNUM* bn) {
    if (OSSL_PARAM_BLD_push_BN(bld, name, bn) != 1) Fail("parameters");
}

ParamBld NewBuilder() {
    ParamBld bld(OSSL_PARAM_BLD_new());
    if (!bld) Fail("parameters");
    return bld;
}

void PushEcPublic(OSSL_PARAM_BLD* bld, const CurveInfo& info, const Bytes& point) {
    if (OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, info.name, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
        Fail("parameters");
}

bool IsUncompressedPoint(const CurveInfo& info, const Bytes& point) {
    return point.size() == 1 + 2 * info.bytes && point[0] == 0x04;
}

// Full check: for RSA the primes, their product, both exponents and the coefficient.
void RequireConsistent(EVP_PKEY* key) {
    if (EVP_PKEY_check(ContextFor(key).get()) != 1) Reject("inconsistent key components");
}

Bn NumberParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) Fail("key parameter");
    return Bn(raw);
}

}  // namespace

SecretBytes::SecretBytes(SecretBytes&& other) noexcept : m_bytes(std::move(other.m_bytes)) {
    other.m_bytes.clear();
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        Wipe();
        m_bytes = std::move(other.m_bytes);
        other.m_bytes.clear();
    }
    return *this;
}

void SecretBytes::Wipe() noexcept {
    OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
    m_bytes.clear();
}

Bytes Random(size_t count) {
    Bytes out(count);
    if (count != 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) Fail("random");
    return out;
}

Bytes Sha1(const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha1(), nullptr) != 1) Fail("sha1");
    out.resize(length);
    return out;
}

Bytes TdesCbcEncrypt(const Bytes& key, const Bytes& data) {
    return Tdes(EVP_des_ede3_cbc(), key, data, true);
}
Bytes TdesCbcDecrypt(const Bytes& key, const Bytes& data) {
    return Tdes(EVP_des_ede3_cbc(), key, data, false);
}
Bytes TdesEcbEncrypt(const Bytes& key, const Bytes& data) {
    return Tdes(EVP_des_ede3_ecb(), key, data, true);
}

Bytes Pad2(const Bytes& data) {
    Bytes out(data);
    out.push_back(0x80);
    while (out.size() % kBlock != 0) out.push_back(0x00);
    return out;
}

std::optional<Bytes> Unpad2(const Bytes& data) {
    if (data.empty() || data.size() % kBlock != 0) return std::nullopt;
    size_t end = data.size();
    // The padding lies within the last block: 80 and at most seven zeros.
    const size_t floor = data.size() - kBlock;
    while (end > floor && data[end - 1] == 0x00) --end;
    if (end == floor || data[end - 1] != 0x80) return std::nullopt;
    return Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end - 1));
}

Bytes TdesCbcMac(const Bytes& key, const Bytes& data) {
    const Bytes cryptogram = TdesCbcEncrypt(key, Pad2(data));
    return Bytes(cryptogram.end() - kBlock, cryptogram.end());
}

Bytes ModExp(const Bytes& base, const Bytes& exponent, const Bytes& mod) {
    const Bn m = ToBn(mod);
    if (BN_is_zero(m.get())) throw std::invalid_argument("crypto: zero modulus");
    const Bn b = ToBn(base);
    const Bn e = ToBn(exponent);
    // Exponents are secrets here; the constant-time ladder needs an odd modulus.
    if (BN_is_odd(m.get())) BN_set_flags(e.get(), BN_FLG_CONSTTIME);
    const Bn result(BN_new());
    const BnCtx ctx(BN_CTX_new());
    if (!result || !ctx || BN_mod_exp(result.get(), b.get(), e.get(), m.get(), ctx.get()) != 1)
        Fail("modexp");
    return FromBn(result.get(), mod.size());
}

DhGroup ModpGroup(AgreementGroup group) {
    const bool small = group == AgreementGroup::Modp1536;
    const Bn p(small ? BN_get_rfc3526_prime_1536(nullptr) : BN_get_rfc3526_prime_2048(nullptr));
    if (!p) Fail("group");
    return DhGroup{FromBn(p.get(), small ? 192 : 256), Bytes{0x02}};
}

size_t CurveBytes(Curve curve) {
    return Info(curve).bytes;
}

DomainParameters CurveParameters(Curve curve) {
    const CurveInfo& info = Info(curve);
    const Group group(EC_GROUP_new_by_curve_name(info.nid));
    const Bn p(BN_new()), a(BN_new()), b(BN_new());
    const BnCtx ctx(BN_CTX_new());
    if (!group || !p || !a || !b || !ctx ||
        EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), ctx.get()) != 1)
        Fail("curve");
    DomainParameters out;
    out.p = FromBn(p.get(), info.bytes);
    out.a = FromBn(a.get(), info.bytes);
    out.b = FromBn(b.get(), info.bytes);
    out.g.resize(1 + 2 * info.bytes);
    if (EC_POINT_point2oct(group.get(), EC_GROUP_get0_generator(group.get()), POINT_CONVERSION_UNCOMPRESSED,
                           out.g.data(), out.g.size(), ctx.get()) != out.g.size())
        Fail("curve");
    out.n = FromBn(EC_GROUP_get0_order(group.get()), info.bytes);
    out.h = FromBnMinimal(EC_GROUP_get0_cofactor(group.get()));
    return out;
}

struct AsymKey::Impl {
    Pkey key;
    const CurveInfo* curve = nullptr;  // null for RSA

    const CurveInfo& Ec() const {
        if (curve == nullptr) throw std::logic_error("crypto: not an elliptic-curve key");
        return *curve;
    }
    void RequireRsa() const {
        if (curve != nullptr) throw std::logic_error("crypto: not an RSA key");
    }
};

AsymKey::AsymKey(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
AsymKey::AsymKey(AsymKey&&) noexcept = default;
AsymKey& AsymKey::operator=(AsymKey&&) noexcept = default;
AsymKey::~AsymKey() = default;

AsymKey AsymKey::GenerateRsa(unsigned bits) {
    if (bits < 512 || bits > 16384) throw std::invalid_argument("crypto: RSA size");
    const PkeyCtx ctx = ContextFor("RSA");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1)
        Fail("RSA generation");
    return AsymKey(std::make_unique<Impl>(Impl{Pkey(raw), nullptr}));
}

AsymKey AsymKey::GenerateEc(Curve curve) {
    const CurveInfo& info = Info(curve);
    const PkeyCtx ctx = ContextFor("EC");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_group_name(ctx.get(), info.name) != 1 ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1)
        Fail("EC generation");
    return AsymKey(std::make_unique<Impl>(Impl{Pkey(raw), &info}));
}

AsymKey AsymKey::FromRsa(const Bytes& n, const Bytes& e, const Bytes& d, const Bytes& p, const Bytes& q,
                         const Bytes& dp, const Bytes& dq, const Bytes& qinv) {
    const ParamBld bld = NewBuilder();
    const std::pair<const char*, const Bytes*> parts[] = {
        {OSSL_PKEY_PARAM_RSA_N, &n},          {OSSL_PKEY_PARAM_RSA_E, &e},
        {OSSL_PKEY_PARAM_RSA_D, &d},          {OSSL_PKEY_PARAM_RSA_FACTOR1, &p},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, &q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, &dp},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &dq}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &qinv},
    };
    // The builder keeps pointers to the numbers until the parameters are made.
    std::vector<Bn> numbers;
    for (const auto& [name, bytes] : parts) {
        numbers.push_back(ToBn(*bytes));
        PushNumber(bld.get(), name, numbers.back().get());
    }
    Pkey key = KeyFromData("RSA", bld.get(), EVP_PKEY_KEYPAIR);
    if (!key) Reject("RSA components refused");
    RequireConsistent(key.get());
    return AsymKey(std::make_unique<Impl>(Impl{std::move(key), nullptr}));
}

AsymKey AsymKey::FromEc(Curve curve, const Bytes& d, const Bytes& publicPoint) {
    const CurveInfo& info = Info(curve);
    if (!IsUncompressedPoint(info, publicPoint)) Reject("EC point is not 04 x y");
    const ParamBld bld = NewBuilder();
    PushEcPublic(bld.get(), info, publicPoint);
    const Bn priv = ToBn(d);
    PushNumber(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get());
    Pkey key = KeyFromData("EC", bld.get(), EVP_PKEY_KEYPAIR);
    if (!key) Reject("EC components refused");
    RequireConsistent(key.get());
    return AsymKey(std::make_unique<Impl>(Impl{std::move(key), &info}));
}

AsymKey AsymKey::FromDer(const Bytes& der) {
    if (der.empty()) Reject("empty key");
    const unsigned char* cursor = der.data();
    Pkey key(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size())));
    if (!key || cursor != der.data() + der.size()) Reject("undecodable key");
    if (EVP_PKEY_is_a(key.get(), "RSA"))
        return AsymKey(std::make_unique<Impl>(Impl{std::move(key), nullptr}));
    if (!EVP_PKEY_is_a(key.get(), "EC")) Reject("key type");
    char name[64] = {};
    if (EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, nullptr) !=
        1)
        Reject("curve without a name");
    const CurveInfo* info = InfoByName(name);
    if (info == nullptr) Reject("unsupported curve");
    return AsymKey(std::make_unique<Impl>(Impl{std::move(key), info}));
}

bool AsymKey::IsRsa() const {
    return m_impl->curve == nullptr;
}

unsigned AsymKey::Bits() const {
    if (m_impl->curve != nullptr) return m_impl->curve->bits;
    return static_cast<unsigned>(EVP_PKEY_get_bits(m_impl->key.get()));
}

Bytes AsymKey::Der() const {
    const Pkcs8 info(EVP_PKEY2PKCS8(m_impl->key.get()));
    if (!info) Fail("key encoding");
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), nullptr);
    if (length <= 0) Fail("key encoding");
    Bytes out(static_cast<size_t>(length));
    unsigned char* cursor = out.data();
    if (i2d_PKCS8_PRIV_KEY_INFO(info.get(), &cursor) != length) Fail("key encoding");
    return out;
}

Bytes AsymKey::Modulus() const {
    m_impl->RequireRsa();
    const Bn n = NumberParam(m_impl->key.get(), OSSL_PKEY_PARAM_RSA_N);
    return FromBn(n.get(), (Bits() + 7) / 8);
}

Bytes AsymKey::PublicExponent() const {
    m_impl->RequireRsa();
    return FromBnMinimal(NumberParam(m_impl->key.get(), OSSL_PKEY_PARAM_RSA_E).get());
}

Bytes AsymKey::PublicPoint() const {
    const CurveInfo& info = m_impl->Ec();
    // From the coordinates, whatever point form the key was stored with.
    Bytes point{0x04};
    for (const char* coordinate : {OSSL_PKEY_PARAM_EC_PUB_X, OSSL_PKEY_PARAM_EC_PUB_Y}) {
        const Bytes value = FromBn(NumberParam(m_impl->key.get(), coordinate).get(), info.bytes);
        point.insert(point.end(), value.begin(), value.end());
    }
    return point;
}

std::optional<Bytes> AsymKey::RsaPrivate(const Bytes& block) const {
    const Bytes n = Modulus();
    // Same length, so byte order is numeric order.
    if (block.size() != n.size() || !(block < n)) return std::nullopt;
    const PkeyCtx ctx = ContextFor(m_impl->key.get());
    Bytes out(n.size());
    size_t length = out.size();
    if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), out.data(), &length, block.data(), block.size()) != 1 ||
        length != n.size())
        Fail("RSA private operation");
    return out;
}

std::optional<Bytes> AsymKey::RsaSignPkcs1(const Bytes& digestInfo) const {
    const size_t k = Modulus().size();
    // 00 01, at least eight FF, 00, the DigestInfo.
    if (digestInfo.size() + 11 > k) return std::nullopt;
    Bytes block{0x00, 0x01};
    block.insert(block.end(), k - 3 - digestInfo.size(), 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), digestInfo.begin(), digestInfo.end());
    return RsaPrivate(block);
}

Bytes AsymKey::EcdsaSign(const Bytes& hash) const {
    m_impl->Ec();
    const PkeyCtx ctx = ContextFor(m_impl->key.get());
    size_t length = 0;
    if (EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, hash.data(), hash.size()) != 1)
        Fail("ECDSA");
    Bytes signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, hash.data(), hash.size()) != 1) Fail("ECDSA");
    signature.resize(length);
    return signature;
}

std::optional<Bytes> AsymKey::EcdhX(const Bytes& peerPoint) const {
    const CurveInfo& info = m_impl->Ec();
    if (!IsUncompressedPoint(info, peerPoint)) return std::nullopt;
    const ParamBld bld = NewBuilder();
    PushEcPublic(bld.get(), info, peerPoint);
    const Pkey peer = KeyFromData("EC", bld.get(), EVP_PKEY_PUBLIC_KEY);
    if (!peer) return std::nullopt;
    const PkeyCtx ctx = ContextFor(m_impl->key.get());
    // Setting the peer validates its point (on the curve, not at infinity).
    if (EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    Bytes secret(info.bytes);
    size_t length = secret.size();
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != info.bytes) Fail("ECDH");
    return secret;
}

}  // namespace helixsim::crypto
