// Key objects: generation, import through the secure channel, the public key, signing,
// deciphering and agreement, checked with OpenSSL from the public key alone; usage and access
// enforcement; the capability answers per profile.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "sim_key_card.h"

namespace {

using namespace simtest;

Bytes Digest() {
    return Sha256("the card signs this");
}

struct GenerationCase {
    const char* name;
    uint16_t size;
    const char* publicKeyHead;  // 7F 49 and its first object, BER lengths as the card writes them
};

class SimKeyGeneration : public testing::TestWithParam<GenerationCase> {};

// A key for both uses: it signs, and RSA deciphers a block encrypted with the public key read
// back (crossing GET RESPONSE from 2048 bits), EC agrees on the x an OpenSSL peer derives.
TEST_P(SimKeyGeneration, PublicKeyReadBackVerifiesSignatureAndSecondUse) {
    const GenerationCase& c = GetParam();
    const bool ec = IsEcSize(c.size);
    SimCard card(kUser);
    GeneratedKey(card, 0x0061, c.size, ec ? 0x84 : 0x0C);
    const Reply publicKey = Collect(card, card.Send("8048000000"));
    ASSERT_EQ(publicKey.sw, 0x9000);
    EXPECT_EQ(ToHex(publicKey.data).rfind(c.publicKeyHead, 0), 0u) << ToHex(publicKey.data);
    const Pkey key = PublicKeyOf(publicKey.data, c.size);

    const Reply signature = SignDigest(card, c.size, Digest());
    ASSERT_EQ(signature.sw, 0x9000);
    EXPECT_TRUE(Verifies(key.get(), Digest(), signature.data));
    Bytes other = Digest();
    other[0] ^= 1;
    EXPECT_FALSE(Verifies(key.get(), other, signature.data));

    const Pkey peer(ec ? EVP_EC_gen(CurveName(c.size)) : nullptr);
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, ec ? peer.get() : key.get(), nullptr));
    Bytes expected(c.size);
    Bytes sent(c.size);
    size_t length = c.size;
    if (ec) {
        ASSERT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
        ASSERT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), key.get()), 1);
        ASSERT_EQ(EVP_PKEY_derive(ctx.get(), expected.data(), &length), 1);
        const Bytes answer =
            card.Send(ShortCommand("804A0000", EcPoint(peer.get(), c.size), static_cast<uint8_t>(c.size)));
        ASSERT_EQ(Sw(answer), 0x9000);
        EXPECT_EQ(Data(answer), expected);
        return;
    }
    expected = helixsim::crypto::Random(c.size);
    expected[0] = 0x00;
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
    ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), sent.data(), &length, expected.data(), expected.size()), 1);
    const Reply answer = Chained(card, "002A800C", DataObject(0x82, sent));
    ASSERT_EQ(answer.sw, 0x9000);
    EXPECT_EQ(answer.data, DataObject(0x80, expected));
}

const GenerationCase kSimKeyGenerationCases[] = {
    {"Rsa1024", 0x80, "7F498188818180"},      {"Rsa2048", 0x100, "7F4982010981820100"},
    {"Rsa4096", 0x200, "7F4982020981820200"}, {"P256", 0x20, "7F4943864104"},
    {"P384", 0x30, "7F4963866104"},           {"P521", 0x42, "7F49818886818504"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyGeneration, testing::ValuesIn(kSimKeyGenerationCases), CaseName);

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
    const bool ec = IsEcSize(c.size);
    const Pkey own(ec ? EVP_EC_gen(CurveName(c.keySize)) : EVP_RSA_gen(8u * c.keySize));
    Bytes material = ec ? EcMaterial(own.get(), c.keySize) : RsaMaterial(own.get(), c.keySize);
    if (c.damaged) material.at(ec ? 3 : 20) ^= 0x01;
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    HostChannel channel(card);
    const Bytes keyTemplate = KeyTemplate(0x0061, c.size, kSign, material);
    ASSERT_GT(HostChannel::Pieces(keyTemplate.size()), 1u);
    ASSERT_EQ(Sw(channel.Send("00E00800", keyTemplate)), c.sw);
    if (c.sw != 0x9000) {
        EXPECT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x6A82);
        return;
    }
    const Reply signature = SignDigest(card, c.size, Digest());
    ASSERT_EQ(signature.sw, 0x9000);
    EXPECT_TRUE(Verifies(own.get(), Digest(), signature.data));
    const Pkey readBack = ReadPublicKey(card, c.size);
    EXPECT_EQ(EVP_PKEY_eq(readBack.get(), own.get()), 1);
}

const ImportCase kSimKeyImportCases[] = {
    {"Rsa1024", 0x80, 0x80, false, 0x9000},
    {"P256", 0x20, 0x20, false, 0x9000},
    {"P521", 0x42, 0x42, false, 0x9000},
    {"Rsa1024Inconsistent", 0x80, 0x80, true, 0x6A80},
    {"P256Inconsistent", 0x20, 0x20, true, 0x6A80},
    {"Rsa512IntoRsa1024Object", 0x80, 0x40, false, 0x6A80},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyImport, testing::ValuesIn(kSimKeyImportCases), CaseName);

enum class Operation { SignPkcs1, SignEcdsa, Decipher, RawPssBlock, Agree };

struct UsageCase {
    const char* name;
    uint16_t size;
    uint8_t use;
    Operation operation;
    uint16_t sw;
};

// Data each operation takes, well formed for the selected key of `size`.
Reply Perform(SimCard& card, Operation operation, uint16_t size, const Bytes& publicKey) {
    switch (operation) {
        case Operation::SignPkcs1:
            return Chained(card, "002A9E8A", DataObject(0x80, DigestInfo(Digest())));
        case Operation::SignEcdsa:
            return Chained(card, "002A9E91", DataObject(0x80, Slice(Digest(), 0, 20)));
        case Operation::Decipher:
            return Chained(card, "002A800C", DataObject(0x82, Bytes(size, 0x01)));
        case Operation::RawPssBlock: {
            Bytes block(size, 0x5A);  // shaped as an EMSA-PSS encoding: top bit clear, trailer BC
            block.back() = 0xBC;
            return Chained(card, "002A800C", DataObject(0x82, block));
        }
        case Operation::Agree: {
            const Bytes point = IsEcSize(size) ? PublicPart(publicKey, 0x86) : Bytes(1 + 2 * size, 4);
            const Bytes answer = card.Send(ShortCommand("804A0000", point, static_cast<uint8_t>(size)));
            return Reply{Data(answer), Sw(answer)};
        }
    }
    return {};
}

class SimKeyUsage : public testing::TestWithParam<UsageCase> {};

// Keys for both uses sign, decipher and agree in SimKeyGeneration.
TEST_P(SimKeyUsage, TheUsageBlockDecides) {
    const UsageCase& c = GetParam();
    SimCard card(kUser);
    GeneratedKey(card, 0x0061, c.size, c.use);
    const Bytes publicKey = Collect(card, card.Send("8048000000")).data;
    EXPECT_EQ(Perform(card, c.operation, c.size, publicKey).sw, c.sw);
}

const UsageCase kSimKeyUsageCases[] = {
    {"SignOnlyRsaDoesNotDecipher", 0x40, 0x04, Operation::Decipher, 0x6985},
    {"SignOnlyRsaSignsAPssBlockRaw", 0x40, 0x04, Operation::RawPssBlock, 0x9000},
    {"DecipherOnlyRsaOpensAPssShapedBlock", 0x40, 0x08, Operation::RawPssBlock, 0x9000},
    {"EcKeyDoesNotSignAPssBlock", 0x20, 0x84, Operation::RawPssBlock, 0x6985},
    {"DecipherOnlyRsaDoesNotSign", 0x40, 0x08, Operation::SignPkcs1, 0x6985},
    {"RsaKeyDoesNotSignEcdsa", 0x40, 0x0C, Operation::SignEcdsa, 0x6985},
    {"RsaKeyDoesNotAgree", 0x40, 0x0C, Operation::Agree, 0x6985},
    {"EcdsaOnlyKeyDoesNotAgree", 0x20, 0x04, Operation::Agree, 0x6985},
    {"EcdhOnlyKeyDoesNotSign", 0x20, 0x80, Operation::SignEcdsa, 0x6985},
    {"EcKeyDoesNotSignPkcs1", 0x20, 0x84, Operation::SignPkcs1, 0x6985},
    {"EcKeyDoesNotDecipher", 0x20, 0x84, Operation::Decipher, 0x6985},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyUsage, testing::ValuesIn(kSimKeyUsageCases), CaseName);

TEST(SimKeys, UseAndGenerationNeedTheUserPin) {
    SimCard card(kUser);
    GeneratedKey(card, 0x0061, 0x40, kSign);
    ASSERT_EQ(card.SwOf(kSelectApplet), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x9000);
    EXPECT_EQ(SignDigest(card, 0x40, Digest()).sw, 0x6982);
    EXPECT_EQ(Generate(card, 5), 0x6982);
    EXPECT_EQ(Collect(card, card.Send("8048000000")).sw, 0x9000) << "the public key is public";
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x9000);
    EXPECT_EQ(SignDigest(card, 0x40, Digest()).sw, 0x9000);
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
    SimCard card(kUser, c.profile);
    ASSERT_EQ(CreateKeyObject(card, KeyTemplate(0x0042, c.size, kSign)), 0x9000);
    EXPECT_EQ(Generate(card, c.algorithm), c.sw);
    EXPECT_EQ(card.SwOf("8048000000"), c.sw == 0x9000 ? 0x9000 : 0x6985);
}

const GenerationParameterCase kSimKeyGenerationParameterCases[] = {
    {"Matching", "default", 0x40, 5, 0x9000},          {"OtherRsaSize", "default", 0x40, 6, 0x6A80},
    {"EcOnRsaObject", "default", 0x40, 0x11, 0x6A80},  {"RsaOnEcObject", "default", 0x20, 5, 0x6A80},
    {"UnknownAlgorithm", "default", 0x40, 4, 0x6A81},  {"Beyond13", "default", 0x40, 14, 0x6A81},
    {"Rsa4096NotOffered", "no-4096", 0x40, 8, 0x6A81}, {"EcNotOffered", "no-ec", 0x40, 0x11, 0x6A81},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyGenerationParameter, testing::ValuesIn(kSimKeyGenerationParameterCases),
                         CaseName);

class SimKeyMalformed : public testing::TestWithParam<Exchange> {};

// RSA 512 for both uses at 0042, then P-256 for both uses at 0041, which stays selected.
TEST_P(SimKeyMalformed, IsRefusedWithTheCardsWord) {
    SimCard card(kUser);
    GeneratedKey(card, 0x0042, 0x40, 0x0C);
    GeneratedKey(card, 0x0041, 0x20, 0x84);
    card.Expect(GetParam());
}

const Exchange kKeyMalformedCases[] = {
    {"GenerateShortData", "0047000004 AC038001", "6700"},
    {"GenerateWrongTemplate", "0047000005 AC03800205", "6A80"},
    {"GenerateP1", "0047010005 AC03800111", "6A86"},
    {"SignOtherP2", "002A9E9A03 800101 00", "6A86"},
    {"SignWithoutDataObject", "002A9E9103 820101 00", "6A80"},
    {"SignTruncatedObject", "002A9E9103 800201 00", "6A80"},
    {"SignEmptyHash", "002A9E9102 8000 00", "6A80"},
    {"HashLongerThanTheKey",
     "002A9E9124 8022 00000000000000000000000000000000000000000000000000000000000000000000 00", "6A80"},
    {"AgreeShortPoint", "804A000003 040102 20", "6700"},
    {"ReadPublicKeyP1", "8048010000", "6A86"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyMalformed, testing::ValuesIn(kKeyMalformedCases), CaseName);

TEST(SimKeys, RsaInputsMustFitTheModulus) {
    SimCard card(kUser);
    GeneratedKey(card, 0x0042, 0x40, 0x0C);
    EXPECT_EQ(Chained(card, "002A800C", DataObject(0x82, Bytes(0x3F, 0x01))).sw, 0x6A80);
    EXPECT_EQ(Chained(card, "002A800C", DataObject(0x82, Bytes(0x40, 0xFF))).sw, 0x6A80)
        << "not below the modulus";
    EXPECT_EQ(Chained(card, "002A9E8A", DataObject(0x80, Bytes(0x40 - 10, 0x01))).sw, 0x6A80)
        << "no room for eight bytes of padding";
    EXPECT_EQ(Chained(card, "002A9E8A", DataObject(0x80, Bytes(0x40 - 11, 0x01))).sw, 0x9000);
}

TEST(SimKeys, KeyCommandsNeedAKeyObjectWithAKey) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    EXPECT_EQ(card.SwOf("8048000000"), 0x6986);
    EXPECT_EQ(Generate(card, 5), 0x6986);
    EXPECT_EQ(SignDigest(card, 0x40, Digest()).sw, 0x6986);
    ASSERT_EQ(CreateKeyObject(card, KeyTemplate(0x0061, 0x40, 0x0C)), 0x9000);
    EXPECT_EQ(card.SwOf("8048000000"), 0x6985);
    EXPECT_EQ(SignDigest(card, 0x40, Digest()).sw, 0x6985);
}

struct CapabilityCase {
    const char* name;
    const char* profile;
    const char* command;
    const char* answer;
};

class SimKeyCapabilities : public testing::TestWithParam<CapabilityCase> {};

// Byte 2: 80 RSA 4096, 40 RSA 3072, 01 02 04 P-256 P-384 P-521; byte 3: the small RSA sizes;
// the short query: 08 when elliptic curves are offered.
TEST_P(SimKeyCapabilities, AnswerFollowsTheProfile) {
    const CapabilityCase& c = GetParam();
    SimCard card(c.profile);
    EXPECT_EQ(ToHex(card.Send(c.command)), c.answer);
}

const CapabilityCase kSimKeyCapabilitiesCases[] = {
    {"Default", "default", "80CB018805", "0000C775009000"},
    {"No4096", "no-4096", "80CB018805", "00004775009000"},
    {"NoEc", "no-ec", "80CB018805", "0000C075009000"},
    {"DefaultEc", "default", "80CB018003", "0800009000"},
    {"NoEcEc", "no-ec", "80CB018003", "0000009000"},
    {"StrictWrongLe", "strict-le", "80CB018803", "6C05"},
    {"StrictLe00", "strict-le", "80CB018800", "0000C775009000"},
    {"StrictEcRightLe", "strict-le", "80CB018003", "0800009000"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyCapabilities, testing::ValuesIn(kSimKeyCapabilitiesCases), CaseName);

// The sizes the host reads out of the answer are exactly those the card accepts.
TEST(SimKeys, EveryAdvertisedRsaSizeIsAccepted) {
    const std::vector<std::pair<uint16_t, int>> bits{{0x200, 0x280}, {0x180, 0x240}, {0x40, 0x301},
                                                     {0x60, 0x304},  {0xA0, 0x310},  {0xC0, 0x320},
                                                     {0xF8, 0x340}};
    for (const char* profile : {"default", "no-4096"}) {
        SimCard card(kUser, profile);
        const Bytes capabilities = Data(card.Send("80CB018805"));
        ASSERT_EQ(capabilities.size(), 5u);
        uint16_t fid = 0x0041;
        for (const auto& [size, bit] : bits) {
            const bool advertised = (capabilities.at(static_cast<size_t>(bit >> 8)) & (bit & 0xFF)) != 0;
            const uint16_t sw = CreateKeyObject(card, KeyTemplate(fid++, size, kSign));
            EXPECT_EQ(sw, advertised ? 0x9000 : 0x6A80) << profile << " size " << size;
        }
    }
}

}  // namespace
