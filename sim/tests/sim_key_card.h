// Key objects on the simulated card as the host drives them: its creation templates, chained
// commands with GET RESPONSE, the secure channel, and OpenSSL on the host side for everything
// done with a public key (verification, encryption, the peer of an agreement).
#pragma once

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>

#include "helixsim/apdu.h"
#include "helixsim/crypto.h"
#include "helixsim/ossl.h"
#include "sim_card.h"

namespace simtest {

using helixsim::ossl::ParamBld;
using helixsim::ossl::Params;
using helixsim::ossl::Pkey;
using helixsim::ossl::PkeyCtx;
using Bignum = helixsim::Owned<BIGNUM, BN_free>;

// Usage block byte 1: signing.
inline constexpr uint8_t kSign = 0x04;

inline const char* CurveName(uint16_t size) {
    return size == 0x20 ? "P-256" : size == 0x30 ? "P-384" : "P-521";
}
inline helixsim::crypto::Curve CurveOf(uint16_t size) {
    using helixsim::crypto::Curve;
    return size == 0x20 ? Curve::P256 : size == 0x30 ? Curve::P384 : Curve::P521;
}
inline bool IsEcSize(uint16_t size) {
    return size == 0x20 || size == 0x30 || size == 0x42;
}

inline Bytes Tlv(uint8_t tag, const Bytes& value) {
    Bytes out;
    helixsim::AppendTlv(out, tag, value);
    return out;
}
inline Bytes Long82(uint8_t tag, const Bytes& value) {
    return Concat(
        {{tag, 0x82, static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())}, value});
}
// Data objects of sign and decipher: 81 len below 256, else 82 len-hi len-lo.
inline Bytes DataObject(uint8_t tag, const Bytes& value) {
    if (value.size() >= 0x100) return Long82(tag, value);
    return Concat({{tag, 0x81, static_cast<uint8_t>(value.size())}, value});
}
// A short command: header, Lc, data, Le.
inline Bytes ShortCommand(const std::string& header, const Bytes& data, uint8_t le) {
    return Concat({Hex(header), {static_cast<uint8_t>(data.size())}, data, {le}});
}

// The host's key-object template; `material` goes into 71 (RSA) or after the domain in E1 (EC).
inline Bytes KeyTemplate(uint16_t fid, uint16_t size, uint8_t use, const Bytes& material = {}) {
    Bytes inner = Concat({Hex("8A0104"),
                          {0x83, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid), 0x80, 0x02,
                           static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)},
                          Hex("860E 0000 00FF 00FF 0020 0020 0000 0020")});
    if (IsEcSize(size)) {
        const helixsim::crypto::DomainParameters d = helixsim::crypto::CurveParameters(CurveOf(size));
        const Bytes domain = Concat({Tlv(0x90, d.p), Tlv(0x91, d.a), Tlv(0x92, d.b), DataObject(0x93, d.g),
                                     Tlv(0x94, d.n), Tlv(0x95, d.h), material});
        inner = Concat({inner, {0x85, 0x05, 0x03, use, 0x30, 0x00, 0xA3}, Long82(0xE1, domain)});
    } else {
        inner = Concat({inner,
                        {0x85, 0x05, 0x05, use, 0x20, 0x00, 0xA3},
                        material.empty() ? Hex("7100") : Long82(0x71, material)});
    }
    return Long82(0x62, inner);
}

struct Reply {
    Bytes data;
    uint16_t sw = 0;
};

// The rest of a long answer, as the host's sender collects it.
inline Reply Collect(SimCard& card, Bytes response) {
    Reply reply{Data(response), Sw(response)};
    while ((reply.sw >> 8) == 0x61) {
        response = card.Send(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(reply.sw & 0xFF)});
        reply.data = Concat({reply.data, Data(response)});
        reply.sw = Sw(response);
    }
    return reply;
}

// The host's chained send: 224-byte pieces with CLA | 10, the last one with Le 00.
inline Reply Chained(SimCard& card, const std::string& header, const Bytes& data) {
    const Bytes h = Hex(header);
    size_t at = 0;
    while (data.size() - at > 224) {
        const Bytes piece =
            Concat({{static_cast<uint8_t>(h[0] | 0x10), h[1], h[2], h[3], 0xE0}, Slice(data, at, 224)});
        const uint16_t sw = Sw(card.Send(piece));
        if (sw != 0x9000) return Reply{{}, sw};
        at += 224;
    }
    const Bytes rest = Slice(data, at, data.size() - at);
    return Collect(card, card.Send(Concat({h, {static_cast<uint8_t>(rest.size())}, rest, {0x00}})));
}

// 80 86 with the host's value A: an extended Lc when A needs one, an Le of `leBytes` zeros.
inline Bytes AgreeCommand(const Bytes& a, size_t leBytes) {
    const Bytes lc = a.size() > 0xFF
                         ? Bytes{0x00, static_cast<uint8_t>(a.size() >> 8), static_cast<uint8_t>(a.size())}
                         : Bytes{static_cast<uint8_t>(a.size())};
    return Concat({Hex("80860000"), lc, a, Bytes(leBytes, 0x00)});
}

// The host's secure send through the card's commands: case 4S, or 4E throughout when A needs an
// extended Lc.
class HostChannel {
public:
    explicit HostChannel(SimCard& card)
        : m_card(card), m_session(Collect(card, card.Send("8048008000")).data, [&card](const Bytes& a) {
              const Bytes answer = card.Send(AgreeCommand(a, a.size() > 0xFF ? 2 : 1));
              return Sw(answer) == 0x9000 ? std::optional<Bytes>(Data(answer)) : std::nullopt;
          }) {}

    // Pieces the command's data is cut into.
    static size_t Pieces(size_t length) { return length <= 224 ? 1 : 1 + (length - 1) / 224; }

    // Every piece with Le 00; the answer of the first refused piece or of the last.
    Bytes Send(const std::string& header, const Bytes& data) {
        const Bytes h = Hex(header);
        Bytes response;
        for (const Piece& piece : m_session.Wrap({h[0], h[1], h[2], h[3]}, data)) {
            response = m_card.Send(Concat({{piece.header.begin(), piece.header.end()},
                                           {static_cast<uint8_t>(piece.data.size())},
                                           piece.data,
                                           {0x00}}));
            if (Sw(response) != 0x9000) break;
        }
        return response;
    }

private:
    SimCard& m_card;
    HostSession m_session;
};

// Key objects live in 3F00/3000/3002; the user PIN must be verified to create them.
inline uint16_t CreateKeyObject(SimCard& card, const Bytes& keyTemplate) {
    EXPECT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    return Chained(card, "00E00800", keyTemplate).sw;
}

inline uint16_t Generate(SimCard& card, uint8_t algorithm) {
    return Sw(card.Send(Bytes{0x00, 0x47, 0x00, 0x00, 0x05, 0xAC, 0x03, 0x80, 0x01, algorithm}));
}

// The generation parameter of the key sizes the tests use.
inline uint8_t AlgorithmFor(uint16_t size) {
    return size == 0x40 ? 5 : size == 0x80 ? 6 : size == 0x100 ? 7 : size == 0x200 ? 8 : 0x11;
}

// A key object of that size and use with a key generated in it, left selected.
inline void GeneratedKey(SimCard& card, uint16_t fid, uint16_t size, uint8_t use) {
    ASSERT_EQ(CreateKeyObject(card, KeyTemplate(fid, size, use)), 0x9000);
    ASSERT_EQ(Generate(card, AlgorithmFor(size)), 0x9000);
}

// Tag 81, 82 or 86 inside 7F 49; empty when the template is not one.
inline Bytes PublicPart(const Bytes& publicTemplate, uint8_t tag) {
    if (publicTemplate.size() < 2 || publicTemplate[0] != 0x7F) return {};
    const auto inner = helixsim::SoleTlv(Bytes(publicTemplate.begin() + 1, publicTemplate.end()), 0x49);
    if (!inner) return {};
    helixsim::Cursor cursor(*inner);
    while (auto tlv = cursor.NextTlv()) {
        if (tlv->tag == tag) return tlv->value;
    }
    return {};
}

inline Pkey PkeyFromParams(const char* type, OSSL_PARAM_BLD* bld, int selection) {
    const Params params(OSSL_PARAM_BLD_to_param(bld));
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()), 1);
    return Pkey(key);
}

// The public key the card answers to 80 48 00 00, as an OpenSSL key.
inline Pkey PublicKeyOf(const Bytes& publicTemplate, uint16_t size) {
    const ParamBld bld(OSSL_PARAM_BLD_new());
    if (IsEcSize(size)) {
        const Bytes point = PublicPart(publicTemplate, 0x86);
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, CurveName(size), 0);
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
        return PkeyFromParams("EC", bld.get(), EVP_PKEY_PUBLIC_KEY);
    }
    const Bytes n = PublicPart(publicTemplate, 0x81);
    const Bytes e = PublicPart(publicTemplate, 0x82);
    const Bignum bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    const Bignum be(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get());
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, be.get());
    return PkeyFromParams("RSA", bld.get(), EVP_PKEY_PUBLIC_KEY);
}

inline Pkey ReadPublicKey(SimCard& card, uint16_t size) {
    const Reply reply = Collect(card, card.Send("8048000000"));
    EXPECT_EQ(reply.sw, 0x9000);
    if (reply.sw != 0x9000) return nullptr;
    return PublicKeyOf(reply.data, size);
}

// A component of a host key, unsigned big-endian, left-padded to `length`.
inline Bytes Component(EVP_PKEY* key, const char* name, size_t length) {
    BIGNUM* raw = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &raw), 1);
    const Bignum bn(raw);
    Bytes out(length);
    EXPECT_GT(BN_bn2binpad(bn.get(), out.data(), static_cast<int>(length)), 0);
    return out;
}
// 04 x y of an EC key whose coordinates have `size` bytes.
inline Bytes EcPoint(EVP_PKEY* key, size_t size) {
    Bytes point(1 + 2 * size);
    size_t length = 0;
    EXPECT_EQ(
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length),
        1);
    EXPECT_EQ(length, point.size());
    return point;
}
// 71: 90 e, 91 n, 92 d, 93 p || q, 94 dp || dq || qinv, every part as wide as the host makes it.
inline Bytes RsaMaterial(EVP_PKEY* key, size_t size) {
    const size_t half = size / 2;
    return Concat({Tlv(0x90, Component(key, OSSL_PKEY_PARAM_RSA_E, 3)),
                   Tlv(0x91, Component(key, OSSL_PKEY_PARAM_RSA_N, size)),
                   Tlv(0x92, Component(key, OSSL_PKEY_PARAM_RSA_D, size)),
                   Tlv(0x93, Concat({Component(key, OSSL_PKEY_PARAM_RSA_FACTOR1, half),
                                     Component(key, OSSL_PKEY_PARAM_RSA_FACTOR2, half)})),
                   Tlv(0x94, Concat({Component(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, half),
                                     Component(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, half),
                                     Component(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half)}))});
}
// After the domain parameters: 96 d, 97 04 x y.
inline Bytes EcMaterial(EVP_PKEY* key, size_t size) {
    return Concat({Tlv(0x96, Component(key, OSSL_PKEY_PARAM_PRIV_KEY, size)), Tlv(0x97, EcPoint(key, size))});
}

inline Bytes Sha256(const std::string& message) {
    Bytes out(32);
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(message.data(), message.size(), out.data(), &length, EVP_sha256(), nullptr), 1);
    return out;
}

// SHA-256 DigestInfo: the DER prefix, then the digest.
inline Bytes DigestInfo(const Bytes& digest) {
    return Concat({Hex("3031300D060960864801650304020105000420"), digest});
}

// PKCS#1 v1.5 with SHA-256 for RSA, ECDSA over the digest for EC; true when it verifies.
inline bool Verifies(EVP_PKEY* key, const Bytes& digest, const Bytes& signature) {
    if (key == nullptr) return false;
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    if (EVP_PKEY_is_a(key, "RSA") != 0 && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
                                           EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1))
        return false;
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

// Signs a digest with the selected key as the host does.
inline Reply SignDigest(SimCard& card, uint16_t size, const Bytes& digest) {
    if (IsEcSize(size)) return Chained(card, "002A9E91", DataObject(0x80, digest));
    return Chained(card, "002A9E8A", DataObject(0x80, DigestInfo(digest)));
}

}  // namespace simtest
