// Key objects on the simulated card as the host drives them: its creation templates, chained
// commands with GET RESPONSE, a secure channel built on libgcrypt, and OpenSSL on the host side
// for everything done with a public key (verification, encryption, the peer of an agreement).
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
#include "libapdu/token/host_crypto.h"
#include "sim_card.h"

namespace simtest {

template <typename T, void (*Free)(T*)>
struct SslDeleter {
    void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, SslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, SslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bignum = std::unique_ptr<BIGNUM, SslDeleter<BIGNUM, BN_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, SslDeleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, SslDeleter<OSSL_PARAM, OSSL_PARAM_free>>;

// Usage block byte 1.
inline constexpr uint8_t kSign = 0x04;
inline constexpr uint8_t kDecipher = 0x08;
inline constexpr uint8_t kAgree = 0x80;

inline const char* CurveName(uint16_t size) {
    return size == 0x20 ? "P-256" : size == 0x30 ? "P-384" : "P-521";
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
    if (value.size() < 0x100) return Concat({{tag, 0x81, static_cast<uint8_t>(value.size())}, value});
    return Concat(
        {{tag, 0x82, static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())}, value});
}

// The host's key-object template; `material` goes into 71 (RSA) or after the domain in E1 (EC).
inline Bytes KeyTemplate(uint16_t fid, uint16_t size, uint8_t use, const Bytes& material = {}) {
    Bytes inner = Hex("8A0104");
    inner.insert(inner.end(), {0x83, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid), 0x80,
                               0x02, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
    const Bytes rules = Hex("860E 0000 00FF 00FF 0020 0020 0000 0020");
    inner.insert(inner.end(), rules.begin(), rules.end());
    if (IsEcSize(size)) {
        inner.insert(inner.end(), {0x85, 0x05, 0x03, use, 0x30, 0x00, 0xA3});
        const auto curve = size == 0x20   ? helixsim::crypto::Curve::P256
                           : size == 0x30 ? helixsim::crypto::Curve::P384
                                          : helixsim::crypto::Curve::P521;
        const helixsim::crypto::DomainParameters d = helixsim::crypto::CurveParameters(curve);
        const Bytes g = Concat({{0x93, 0x81, static_cast<uint8_t>(d.g.size())}, d.g});
        const Bytes domain = Concat(
            {Tlv(0x90, d.p), Tlv(0x91, d.a), Tlv(0x92, d.b), g, Tlv(0x94, d.n), Tlv(0x95, d.h), material});
        const Bytes e1 = Long82(0xE1, domain);
        inner.insert(inner.end(), e1.begin(), e1.end());
    } else {
        inner.insert(inner.end(), {0x85, 0x05, 0x05, use, 0x20, 0x00, 0xA3});
        const Bytes seventyOne = material.empty() ? Hex("7100") : Long82(0x71, material);
        inner.insert(inner.end(), seventyOne.begin(), seventyOne.end());
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
        const Bytes more = Data(response);
        reply.data.insert(reply.data.end(), more.begin(), more.end());
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
    return Collect(card, card.Send(Concat({{h[0], h[1], h[2], h[3], static_cast<uint8_t>(data.size() - at)},
                                           Slice(data, at),
                                           {0x00}})));
}

// The host's secure send: DH over the card's group, then 87/8E pieces of at most 224 bytes.
class HostChannel {
public:
    explicit HostChannel(SimCard& card) : m_card(card) {
        libapdu::EnsureGcrypt();
        const Reply begin = Collect(card, card.Send("8048008000"));
        EXPECT_EQ(begin.sw, 0x9000);
        helixsim::Cursor cursor(begin.data);
        const auto next = [&cursor](uint8_t tag) {
            auto tlv = cursor.NextTlv();
            EXPECT_TRUE(tlv && tlv->tag == tag);
            return tlv ? tlv->value : Bytes{};
        };
        Bytes g = next(0x80);
        const Bytes p = next(0x81);
        const Bytes b = next(0x82);
        g.insert(g.begin(), p.size() - g.size(), 0x00);
        const Bytes r = Hex("0102030405060708090A0B0C0D0E0F1011121314");
        const auto a = libapdu::ModExpWords({g.data(), g.size()}, {r.data(), r.size()}, {p.data(), p.size()});
        const auto k = libapdu::ModExpWords({b.data(), b.size()}, {r.data(), r.size()}, {p.data(), p.size()});
        const Bytes agree = Concat({{0x80, 0x86, 0x00, 0x00, 0x00, static_cast<uint8_t>(a.size() >> 8),
                                     static_cast<uint8_t>(a.size())},
                                    Bytes(a.begin(), a.end()),
                                    {0x00}});
        const Bytes masked = Data(card.Send(agree));
        EXPECT_GE(masked.size(), 32u);
        for (size_t i = 0; i < 16 && masked.size() >= 32; ++i) {
            m_sk1.push_back(masked[i] ^ k.at(i));
            m_sk2.push_back(masked[16 + i] ^ k.at(24 + i));
        }
    }

    // Pieces the command's data is cut into.
    static size_t Pieces(size_t length) { return length <= 224 ? 1 : 1 + (length - 1) / 224; }

    Bytes Send(const std::string& header, const Bytes& data) {
        const Bytes h = Hex(header);
        size_t at = 0;
        Bytes response;
        for (size_t piece = Pieces(data.size()); piece > 0; --piece) {
            const size_t length = std::min<size_t>(224, data.size() - at);
            const auto cla = static_cast<uint8_t>(h[0] | 0x0C | (piece > 1 ? 0x10 : 0x00));
            response = SendPiece({cla, h[1], h[2], h[3]}, Slice(data, at, length));
            at += length;
            if (piece > 1 && Sw(response) != 0x9000) return response;
        }
        ++m_counter;
        return response;
    }

private:
    Bytes SendPiece(const Bytes& header, const Bytes& data) {
        ++m_counter;
        const Bytes padded = libapdu::Pad2({data.data(), data.size()});
        const Bytes cryptogram =
            libapdu::TdesCbcEncrypt({m_sk1.data(), m_sk1.size()}, {padded.data(), padded.size()});
        const Bytes object =
            Concat({{0x87, 0x81, static_cast<uint8_t>(cryptogram.size() + 1), 0x01}, cryptogram});
        const Bytes macInput =
            Concat({Bytes(7, 0x00), {m_counter}, header, {0x80, 0x00, 0x00, 0x00}, object});
        const Bytes mac =
            libapdu::TdesCbcMac({m_sk2.data(), m_sk2.size()}, {macInput.data(), macInput.size()});
        return m_card.Send(
            Concat({header, {static_cast<uint8_t>(object.size() + 10)}, object, {0x8E, 0x08}, mac, {0x00}}));
    }

    SimCard& m_card;
    Bytes m_sk1, m_sk2;
    uint8_t m_counter = 0;
};

// Key objects live in 3F00/3000/3002; the user PIN must be verified to create them.
inline uint16_t CreateKeyObject(SimCard& card, const Bytes& keyTemplate) {
    EXPECT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    return Chained(card, "00E00800", keyTemplate).sw;
}

inline uint16_t Generate(SimCard& card, uint8_t algorithm) {
    return Sw(card.Send(Bytes{0x00, 0x47, 0x00, 0x00, 0x05, 0xAC, 0x03, 0x80, 0x01, algorithm}));
}

inline uint8_t AlgorithmFor(uint16_t size) {
    switch (size) {
        case 0x40:
            return 5;
        case 0x80:
            return 6;
        case 0x100:
            return 7;
        case 0x200:
            return 8;
        default:
            return 0x11;
    }
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

inline Bytes Sha256(const std::string& message) {
    Bytes out(32);
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(message.data(), message.size(), out.data(), &length, EVP_sha256(), nullptr), 1);
    return out;
}

// SHA-256 DigestInfo: the DER prefix, then the digest.
inline Bytes DigestInfo(const Bytes& digest) {
    Bytes out = Hex("3031300D060960864801650304020105000420");
    out.insert(out.end(), digest.begin(), digest.end());
    return out;
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
