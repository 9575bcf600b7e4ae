// Key objects on the simulated card as the host drives them: its creation templates, chained
// commands, and OpenSSL on the host side for everything done with a key.
#pragma once

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

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
    if (value.size() >= 0x100) return Long82(tag, value);
    return Concat({{tag, 0x81, static_cast<uint8_t>(value.size())}, value});
}

// The host's key-object template; `material` goes into 71 (RSA) or after the domain in E1 (EC).
inline Bytes KeyTemplate(uint16_t fid, uint16_t size, uint8_t use, const Bytes& material = {}) {
    Bytes inner = Concat({Hex("8A0104"),
                          {0x83, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid), 0x80, 0x02,
                           static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)},
                          Hex("860E 0000 00FF 00FF 0020 0020 0000 0020")});
    if (!IsEcSize(size)) {
        return Long82(0x62, Concat({inner,
                                    {0x85, 0x05, 0x05, use, 0x20, 0x00, 0xA3},
                                    material.empty() ? Hex("7100") : Long82(0x71, material)}));
    }
    using helixsim::crypto::Curve;
    const helixsim::crypto::DomainParameters d =
        helixsim::crypto::CurveParameters(size == 0x20   ? Curve::P256
                                          : size == 0x30 ? Curve::P384
                                                         : Curve::P521);
    const Bytes domain = Concat({Tlv(0x90, d.p), Tlv(0x91, d.a), Tlv(0x92, d.b), DataObject(0x93, d.g),
                                 Tlv(0x94, d.n), Tlv(0x95, d.h), material});
    return Long82(0x62, Concat({inner, {0x85, 0x05, 0x03, use, 0x30, 0x00, 0xA3}, Long82(0xE1, domain)}));
}

// The host's chained send: 224-byte pieces with CLA | 10, the last one with Le 00; the answer of
// the first refused piece or of the last.
inline Bytes Chained(SimCard& card, const std::string& header, const Bytes& data) {
    const Bytes h = Hex(header);
    for (size_t at = 0;; at += 224) {
        const size_t n = std::min<size_t>(224, data.size() - at);
        const bool last = at + n == data.size();
        const Bytes answer = card.Send(Concat(
            {{static_cast<uint8_t>(last ? h[0] : h[0] | 0x10), h[1], h[2], h[3], static_cast<uint8_t>(n)},
             Slice(data, at, n),
             last ? Bytes{0x00} : Bytes{}}));
        if (last || Sw(answer) != 0x9000) return answer;
    }
}

// Key objects live in 3F00/3000/3002; the user PIN must be verified to create them.
inline uint16_t CreateKeyObject(SimCard& card, const Bytes& keyTemplate) {
    EXPECT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    return Sw(Chained(card, "00E00800", keyTemplate));
}

// A key object of that size (RSA 512 or P-256) and use with a key generated in it, left selected.
inline void GeneratedKey(SimCard& card, uint16_t fid, uint16_t size, uint8_t use) {
    ASSERT_EQ(CreateKeyObject(card, KeyTemplate(fid, size, use)), 0x9000);
    ASSERT_EQ(Sw(card.Send(Bytes{0x00, 0x47, 0x00, 0x00, 0x05, 0xAC, 0x03, 0x80, 0x01,
                                 static_cast<uint8_t>(size == 0x40 ? 5 : 0x11)})),
              0x9000);
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
// SHA-256 DigestInfo: the DER prefix, then the digest.
inline Bytes DigestInfo(const Bytes& digest) {
    return Concat({Hex("3031300D060960864801650304020105000420"), digest});
}

}  // namespace simtest
