// Key objects: generation, import through the secure channel, the public key, signing,
// deciphering and agreement, checked with OpenSSL from the public key alone; usage and access
// enforcement; the capability answers per profile.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "sim_key_card.h"

namespace {

using simtest::Bytes;
using simtest::Chained;
using simtest::Data;
using simtest::HostChannel;
using simtest::Pkey;
using simtest::PkeyCtx;
using simtest::SimCard;
using simtest::Sw;

const Bytes kDigest = simtest::Sha256("the card signs this");

struct GenerationCase {
    const char* name;
    uint16_t size;
    const char* publicKeyHead;  // 7F 49 and its first object, BER lengths as the card writes them
};

class SimKeyGeneration : public testing::TestWithParam<GenerationCase> {};

TEST_P(SimKeyGeneration, SignatureVerifiesWithThePublicKeyReadBack) {
    const GenerationCase& c = GetParam();
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0061, c.size, simtest::kSign);
    const simtest::Reply publicKey = simtest::Collect(card, card.Send("8048000000"));
    ASSERT_EQ(publicKey.sw, 0x9000);
    EXPECT_EQ(ToHex(publicKey.data).rfind(c.publicKeyHead, 0), 0u) << ToHex(publicKey.data);
    const Pkey key = simtest::PublicKeyOf(publicKey.data, c.size);

    const simtest::Reply signature = simtest::SignDigest(card, c.size, kDigest);
    ASSERT_EQ(signature.sw, 0x9000);
    EXPECT_TRUE(simtest::Verifies(key.get(), kDigest, signature.data));
    Bytes other = kDigest;
    other[0] ^= 1;
    EXPECT_FALSE(simtest::Verifies(key.get(), other, signature.data));
}

INSTANTIATE_TEST_SUITE_P(Table, SimKeyGeneration,
                         testing::Values(GenerationCase{"Rsa1024", 0x80, "7F498188818180"},
                                         GenerationCase{"Rsa2048", 0x100, "7F4982010981820100"},
                                         GenerationCase{"P256", 0x20, "7F4943864104"},
                                         GenerationCase{"P384", 0x30, "7F4963866104"},
                                         GenerationCase{"P521", 0x42, "7F49818886818504"}),
                         [](const auto& p) { return std::string(p.param.name); });

// The answer is 80 82 01 00 and the block: 260 bytes, so it also crosses GET RESPONSE.
TEST(SimKeys, DecipherReturnsTheBlockEncryptedWithThePublicKey) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0042, 0x100, simtest::kDecipher);
    const Pkey key = simtest::ReadPublicKey(card, 0x100);
    ASSERT_TRUE(key);

    Bytes block = helixsim::crypto::Random(256);
    block[0] = 0x00;
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    Bytes cryptogram(256);
    size_t length = cryptogram.size();
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
    ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), cryptogram.data(), &length, block.data(), block.size()), 1);

    const simtest::Reply answer = Chained(card, "002A800C", simtest::DataObject(0x82, cryptogram));
    ASSERT_EQ(answer.sw, 0x9000);
    EXPECT_EQ(answer.data, simtest::Concat({Hex("80820100"), block}));
}

class SimKeyAgreement : public testing::TestWithParam<uint16_t> {};

TEST_P(SimKeyAgreement, SharedXMatchesAnOpenSslPeer) {
    const uint16_t size = GetParam();
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0041, size, simtest::kAgree);
    const Pkey cardKey = simtest::ReadPublicKey(card, size);
    ASSERT_TRUE(cardKey);

    const Pkey peer(EVP_EC_gen(simtest::CurveName(size)));
    Bytes point(1 + 2 * size);
    size_t pointLength = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(peer.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                              &pointLength),
              1);
    ASSERT_EQ(pointLength, point.size());
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, peer.get(), nullptr));
    Bytes expected(size);
    size_t secretLength = expected.size();
    ASSERT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), cardKey.get()), 1);
    ASSERT_EQ(EVP_PKEY_derive(ctx.get(), expected.data(), &secretLength), 1);

    const Bytes command = simtest::Concat(
        {{0x80, 0x4A, 0x00, 0x00, static_cast<uint8_t>(point.size())}, point, {static_cast<uint8_t>(size)}});
    const Bytes answer = card.Send(command);
    ASSERT_EQ(Sw(answer), 0x9000);
    EXPECT_EQ(Data(answer), expected);
}

INSTANTIATE_TEST_SUITE_P(Curves, SimKeyAgreement, testing::Values(0x20, 0x30, 0x42));

Bytes Component(EVP_PKEY* key, const char* name, size_t length) {
    BIGNUM* raw = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &raw), 1);
    const simtest::Bignum bn(raw);
    Bytes out(length);
    EXPECT_GT(BN_bn2binpad(bn.get(), out.data(), static_cast<int>(length)), 0);
    return out;
}

// 71: 90 e, 91 n, 92 d, 93 p || q, 94 dp || dq || qinv, every part as wide as the host makes it.
Bytes RsaMaterial(EVP_PKEY* key, size_t size) {
    const size_t half = size / 2;
    return simtest::Concat(
        {simtest::Tlv(0x90, Component(key, OSSL_PKEY_PARAM_RSA_E, 3)),
         simtest::Tlv(0x91, Component(key, OSSL_PKEY_PARAM_RSA_N, size)),
         simtest::Tlv(0x92, Component(key, OSSL_PKEY_PARAM_RSA_D, size)),
         simtest::Tlv(0x93, simtest::Concat({Component(key, OSSL_PKEY_PARAM_RSA_FACTOR1, half),
                                             Component(key, OSSL_PKEY_PARAM_RSA_FACTOR2, half)})),
         simtest::Tlv(0x94, simtest::Concat({Component(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, half),
                                             Component(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, half),
                                             Component(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half)}))});
}

// After the domain parameters: 96 d, 97 04 x y.
Bytes EcMaterial(EVP_PKEY* key, size_t size) {
    Bytes point(1 + 2 * size);
    size_t length = 0;
    EXPECT_EQ(
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length),
        1);
    return simtest::Concat(
        {simtest::Tlv(0x96, Component(key, OSSL_PKEY_PARAM_PRIV_KEY, size)), simtest::Tlv(0x97, point)});
}

struct ImportCase {
    const char* name;
    uint16_t size;     // of the key object
    uint16_t keySize;  // of the key imported into it
    bool damaged;      // one byte of the modulus or of the private scalar changed
    uint16_t sw;
};

class SimKeyImport : public testing::TestWithParam<ImportCase> {};

TEST_P(SimKeyImport, ThroughTheSecureChannel) {
    const ImportCase& c = GetParam();
    const bool ec = simtest::IsEcSize(c.size);
    const Pkey own(ec ? EVP_EC_gen(simtest::CurveName(c.keySize)) : EVP_RSA_gen(8u * c.keySize));
    Bytes material = ec ? EcMaterial(own.get(), c.keySize) : RsaMaterial(own.get(), c.keySize);
    if (c.damaged) {
        material.at(ec ? 3 : 20) ^= 0x01;
    }
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    HostChannel channel(card);
    const Bytes keyTemplate = simtest::KeyTemplate(0x0061, c.size, simtest::kSign, material);
    ASSERT_GT(HostChannel::Pieces(keyTemplate.size()), 1u);
    ASSERT_EQ(Sw(channel.Send("00E00800", keyTemplate)), c.sw);
    if (c.sw != 0x9000) {
        EXPECT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x6A82);
        return;
    }
    const simtest::Reply signature = simtest::SignDigest(card, c.size, kDigest);
    ASSERT_EQ(signature.sw, 0x9000);
    EXPECT_TRUE(simtest::Verifies(own.get(), kDigest, signature.data));
    const Pkey readBack = simtest::ReadPublicKey(card, c.size);
    EXPECT_EQ(EVP_PKEY_eq(readBack.get(), own.get()), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, SimKeyImport,
                         testing::Values(ImportCase{"Rsa1024", 0x80, 0x80, false, 0x9000},
                                         ImportCase{"P256", 0x20, 0x20, false, 0x9000},
                                         ImportCase{"P521", 0x42, 0x42, false, 0x9000},
                                         ImportCase{"Rsa1024Inconsistent", 0x80, 0x80, true, 0x6A80},
                                         ImportCase{"P256Inconsistent", 0x20, 0x20, true, 0x6A80},
                                         ImportCase{"Rsa512IntoRsa1024Object", 0x80, 0x40, false, 0x6A80}),
                         [](const auto& p) { return std::string(p.param.name); });

enum class Operation { SignPkcs1, SignEcdsa, Decipher, RawPssBlock, Agree };

struct UsageCase {
    const char* name;
    uint16_t size;
    uint8_t use;
    Operation operation;
    uint16_t sw;
};

// Data each operation takes, well formed for the selected key of `size`.
simtest::Reply Perform(SimCard& card, Operation operation, uint16_t size, const Bytes& publicKey) {
    switch (operation) {
        case Operation::SignPkcs1:
            return Chained(card, "002A9E8A", simtest::DataObject(0x80, simtest::DigestInfo(kDigest)));
        case Operation::SignEcdsa:
            return Chained(card, "002A9E91",
                           simtest::DataObject(0x80, Bytes(kDigest.begin(), kDigest.begin() + 20)));
        case Operation::Decipher:
            return Chained(card, "002A800C", simtest::DataObject(0x82, Bytes(size, 0x01)));
        case Operation::RawPssBlock: {
            Bytes block(size, 0x5A);  // shaped as an EMSA-PSS encoding: top bit clear, trailer BC
            block.back() = 0xBC;
            return Chained(card, "002A800C", simtest::DataObject(0x82, block));
        }
        case Operation::Agree: {
            Bytes command{0x80, 0x4A, 0x00, 0x00, static_cast<uint8_t>(1 + 2 * size)};
            const Bytes point =
                simtest::IsEcSize(size) ? simtest::PublicPart(publicKey, 0x86) : Bytes(1 + 2 * size, 4);
            command.insert(command.end(), point.begin(), point.end());
            command.push_back(static_cast<uint8_t>(size));
            const Bytes answer = card.Send(command);
            return simtest::Reply{Data(answer), Sw(answer)};
        }
    }
    return {};
}

class SimKeyUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(SimKeyUsage, TheUsageBlockDecides) {
    const UsageCase& c = GetParam();
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0061, c.size, c.use);
    const Bytes publicKey = simtest::Collect(card, card.Send("8048000000")).data;
    EXPECT_EQ(Perform(card, c.operation, c.size, publicKey).sw, c.sw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimKeyUsage,
    testing::Values(UsageCase{"SignOnlyRsaDoesNotDecipher", 0x40, 0x04, Operation::Decipher, 0x6985},
                    UsageCase{"SignOnlyRsaSignsAPssBlockRaw", 0x40, 0x04, Operation::RawPssBlock, 0x9000},
                    UsageCase{"DecipherOnlyRsaOpensAPssShapedBlock", 0x40, 0x08, Operation::RawPssBlock,
                              0x9000},
                    UsageCase{"EcKeyDoesNotSignAPssBlock", 0x20, 0x84, Operation::RawPssBlock, 0x6985},
                    UsageCase{"DecipherOnlyRsaDoesNotSign", 0x40, 0x08, Operation::SignPkcs1, 0x6985},
                    UsageCase{"RsaKeyDoesNotSignEcdsa", 0x40, 0x0C, Operation::SignEcdsa, 0x6985},
                    UsageCase{"RsaKeyDoesNotAgree", 0x40, 0x0C, Operation::Agree, 0x6985},
                    UsageCase{"DualRsaSigns", 0x40, 0x0C, Operation::SignPkcs1, 0x9000},
                    UsageCase{"DualRsaDeciphers", 0x40, 0x0C, Operation::Decipher, 0x9000},
                    UsageCase{"EcdsaOnlyKeyDoesNotAgree", 0x20, 0x04, Operation::Agree, 0x6985},
                    UsageCase{"EcdhOnlyKeyDoesNotSign", 0x20, 0x80, Operation::SignEcdsa, 0x6985},
                    UsageCase{"EcKeyDoesNotSignPkcs1", 0x20, 0x84, Operation::SignPkcs1, 0x6985},
                    UsageCase{"EcKeyDoesNotDecipher", 0x20, 0x84, Operation::Decipher, 0x6985},
                    UsageCase{"DualEcSigns", 0x20, 0x84, Operation::SignEcdsa, 0x9000},
                    UsageCase{"DualEcAgrees", 0x20, 0x84, Operation::Agree, 0x9000}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SimKeys, UseAndGenerationNeedTheUserPin) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0061, 0x40, simtest::kSign);
    ASSERT_EQ(card.SwOf(simtest::kSelectApplet), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x9000);
    EXPECT_EQ(simtest::SignDigest(card, 0x40, kDigest).sw, 0x6982);
    EXPECT_EQ(simtest::Generate(card, 5), 0x6982);
    EXPECT_EQ(simtest::Collect(card, card.Send("8048000000")).sw, 0x9000) << "the public key is public";
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x9000);
    EXPECT_EQ(simtest::SignDigest(card, 0x40, kDigest).sw, 0x9000);
}

struct GenerationParameterCase {
    const char* name;
    const char* profile;
    uint16_t size;
    uint8_t algorithm;
    uint16_t sw;
};

class SimKeyGenerationParameter : public testing::TestWithParam<GenerationParameterCase> {};

TEST_P(SimKeyGenerationParameter, MustNameTheObjectsOwnAlgorithm) {
    const GenerationParameterCase& c = GetParam();
    SimCard card(helixsim::ProfileByName(c.profile));
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(simtest::CreateKeyObject(card, simtest::KeyTemplate(0x0042, c.size, simtest::kSign)), 0x9000);
    EXPECT_EQ(simtest::Generate(card, c.algorithm), c.sw);
    EXPECT_EQ(card.SwOf("8048000000"), c.sw == 0x9000 ? 0x9000 : 0x6985);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimKeyGenerationParameter,
    testing::Values(GenerationParameterCase{"Matching", "default", 0x40, 5, 0x9000},
                    GenerationParameterCase{"OtherRsaSize", "default", 0x40, 6, 0x6A80},
                    GenerationParameterCase{"EcOnRsaObject", "default", 0x40, 0x11, 0x6A80},
                    GenerationParameterCase{"RsaOnEcObject", "default", 0x20, 5, 0x6A80},
                    GenerationParameterCase{"UnknownAlgorithm", "default", 0x40, 4, 0x6A81},
                    GenerationParameterCase{"Beyond13", "default", 0x40, 14, 0x6A81},
                    GenerationParameterCase{"Rsa4096NotOffered", "no-4096", 0x40, 8, 0x6A81},
                    GenerationParameterCase{"EcNotOffered", "no-ec", 0x40, 0x11, 0x6A81}),
    [](const auto& p) { return std::string(p.param.name); });

struct CommandCase {
    const char* name;
    const char* command;
    uint16_t sw;
};

class SimKeyMalformed : public testing::TestWithParam<CommandCase> {};

// RSA 512 for both uses at 0042, then P-256 for both uses at 0041, which stays selected.
TEST_P(SimKeyMalformed, IsRefusedWithTheCardsWord) {
    const CommandCase& c = GetParam();
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0042, 0x40, 0x0C);
    simtest::GeneratedKey(card, 0x0041, 0x20, 0x84);
    EXPECT_EQ(Sw(card.Send(c.command)), c.sw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimKeyMalformed,
    testing::Values(
        CommandCase{"GenerateShortData", "0047000004 AC038001", 0x6700},
        CommandCase{"GenerateWrongTemplate", "0047000005 AC03800205", 0x6A80},
        CommandCase{"GenerateP1", "0047010005 AC03800111", 0x6A86},
        CommandCase{"SignOtherP2", "002A9E9A03 800101 00", 0x6A86},
        CommandCase{"SignWithoutDataObject", "002A9E9103 820101 00", 0x6A80},
        CommandCase{"SignTruncatedObject", "002A9E9103 800201 00", 0x6A80},
        CommandCase{"SignEmptyHash", "002A9E9102 8000 00", 0x6A80},
        CommandCase{"HashLongerThanTheKey",
                    "002A9E9124 8022 00000000000000000000000000000000000000000000000000000000000000000000 00",
                    0x6A80},
        CommandCase{"AgreeShortPoint", "804A000003 040102 20", 0x6700},
        CommandCase{"AgreePointOffTheCurve",
                    "804A000041 04 0000000000000000000000000000000000000000000000000000000000000001"
                    "0000000000000000000000000000000000000000000000000000000000000001 20",
                    0x6A80},
        CommandCase{"ReadPublicKeyP1", "8048010000", 0x6A86}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SimKeys, RsaInputsMustFitTheModulus) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0042, 0x40, 0x0C);
    EXPECT_EQ(Chained(card, "002A800C", simtest::DataObject(0x82, Bytes(0x3F, 0x01))).sw, 0x6A80);
    EXPECT_EQ(Chained(card, "002A800C", simtest::DataObject(0x82, Bytes(0x40, 0xFF))).sw, 0x6A80)
        << "not below the modulus";
    EXPECT_EQ(Chained(card, "002A9E8A", simtest::DataObject(0x80, Bytes(0x40 - 10, 0x01))).sw, 0x6A80)
        << "no room for eight bytes of padding";
    EXPECT_EQ(Chained(card, "002A9E8A", simtest::DataObject(0x80, Bytes(0x40 - 11, 0x01))).sw, 0x9000);
}

TEST(SimKeys, KeyCommandsNeedAKeyObjectWithAKey) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("8048000000"), 0x6986);
    EXPECT_EQ(simtest::Generate(card, 5), 0x6986);
    EXPECT_EQ(simtest::SignDigest(card, 0x40, kDigest).sw, 0x6986);
    ASSERT_EQ(simtest::CreateKeyObject(card, simtest::KeyTemplate(0x0061, 0x40, 0x0C)), 0x9000);
    EXPECT_EQ(card.SwOf("8048000000"), 0x6985);
    EXPECT_EQ(simtest::SignDigest(card, 0x40, kDigest).sw, 0x6985);
}

TEST(SimKeys, Rsa4096PublicKeyComesThroughGetResponse) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    simtest::GeneratedKey(card, 0x0061, 0x200, simtest::kSign);
    const Bytes first = card.Send("8048000000");
    EXPECT_EQ(Sw(first), 0x6100) << "526 bytes: 256 now, 270 still waiting";
    const simtest::Reply all = simtest::Collect(card, first);
    ASSERT_EQ(all.sw, 0x9000);
    EXPECT_EQ(all.data.size(), 526u);
    EXPECT_EQ(simtest::PublicPart(all.data, 0x81).size(), 512u);
    const Pkey key = simtest::PublicKeyOf(all.data, 0x200);
    const simtest::Reply signature = simtest::SignDigest(card, 0x200, kDigest);
    EXPECT_TRUE(simtest::Verifies(key.get(), kDigest, signature.data));
}

struct CapabilityCase {
    const char* profile;
    const char* command;
    const char* answer;
};

class SimKeyCapabilities : public testing::TestWithParam<CapabilityCase> {};

// Byte 2: 80 RSA 4096, 40 RSA 3072, 01 02 04 P-256 P-384 P-521; byte 3: the small RSA sizes;
// the short query: 08 when elliptic curves are offered.
TEST_P(SimKeyCapabilities, AnswerFollowsTheProfile) {
    const CapabilityCase& c = GetParam();
    SimCard card(helixsim::ProfileByName(c.profile));
    EXPECT_EQ(ToHex(card.Send(c.command)), c.answer);
}

INSTANTIATE_TEST_SUITE_P(Table, SimKeyCapabilities,
                         testing::Values(CapabilityCase{"default", "80CB018805", "0000C775009000"},
                                         CapabilityCase{"no-4096", "80CB018805", "00004775009000"},
                                         CapabilityCase{"no-ec", "80CB018805", "0000C075009000"},
                                         CapabilityCase{"default", "80CB018003", "0800009000"},
                                         CapabilityCase{"no-ec", "80CB018003", "0000009000"},
                                         CapabilityCase{"strict-le", "80CB018803", "6C05"},
                                         CapabilityCase{"strict-le", "80CB018800", "0000C775009000"},
                                         CapabilityCase{"strict-le", "80CB018003", "0800009000"}));

// The sizes the host reads out of the answer are exactly those the card accepts.
TEST(SimKeys, EveryAdvertisedRsaSizeIsAccepted) {
    const std::vector<std::pair<uint16_t, int>> bits{{0x200, 0x280}, {0x180, 0x240}, {0x40, 0x301},
                                                     {0x60, 0x304},  {0xA0, 0x310},  {0xC0, 0x320},
                                                     {0xF8, 0x340}};
    for (const char* profile : {"default", "no-4096"}) {
        SimCard card(helixsim::ProfileByName(profile));
        ASSERT_EQ(card.LoginUser(), 0x9000);
        const Bytes capabilities = Data(card.Send("80CB018805"));
        ASSERT_EQ(capabilities.size(), 5u);
        uint16_t fid = 0x0041;
        for (const auto& [size, bit] : bits) {
            const bool advertised = (capabilities.at(static_cast<size_t>(bit >> 8)) & (bit & 0xFF)) != 0;
            const uint16_t sw =
                simtest::CreateKeyObject(card, simtest::KeyTemplate(fid++, size, simtest::kSign));
            EXPECT_EQ(sw, advertised ? 0x9000 : 0x6A80) << profile << " size " << size;
        }
    }
}

}  // namespace
