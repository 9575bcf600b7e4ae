// The crypto facet against the simulated card, every result checked with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "libapdu/appcry/cry_helix.h"
#include "module_over_sim.h"
#include "openssl_ptr.h"
#include "sim_key_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CardPath;

namespace {

const CardPath kKeys{0x3F00, 0x3000, 0x3002};

CardPath InKeys(uint16_t id) {
    return {0x3F00, 0x3000, 0x3002, id};
}

void VerifyUser(moduletest::ModuleCard& m) {
    libapdu::IAppPin& p = *m.Token().GetPin();
    p.SelectPin(p.GetUserPinRef());
    p.VerifyPin(m.Profile().userPin);
}

// The user verified and, in the key directory, a key object `id` as the module creates one
// (size in bytes, access bytes 0, 0, usage), then a key pair generated in it.
libapdu::IAppCrypto& Generated(moduletest::ModuleCard& m, uint16_t id, uint16_t size, uint8_t usage,
                               uint8_t algorithm) {
    VerifyUser(m);
    libapdu::IAppFS& fs = *m.Token().GetFS();
    fs.SelectPath(kKeys);
    libapdu::FileDescriptor descriptor;
    descriptor.kind = libapdu::kKeyObject;
    descriptor.size = size;
    descriptor.access[0] = 0;
    descriptor.access[1] = 0;
    descriptor.access[2] = usage;
    fs.CreateFile(id, descriptor, {});
    fs.SelectPath(InKeys(id));
    m.Token().GetCrypto()->GenerateKeyPair(&algorithm, 0);
    return *m.Token().GetCrypto();
}

// The public key the facet describes, as an OpenSSL key.
simtest::Pkey PublicKey(const libapdu::KeyObjectInfo& info) {
    using simtest::Tlv;
    const ByteVector inner =
        info.algorithm == libapdu::kAlgEc
            ? Tlv(0x86, info.point)
            : simtest::Concat({simtest::Long82(0x81, info.modulus), Tlv(0x82, info.exponent)});
    ByteVector publicTemplate{0x7F, 0x49};
    const ByteVector wrapped = simtest::Long82(0x49, inner);
    publicTemplate.insert(publicTemplate.end(), wrapped.begin() + 1, wrapped.end());
    return simtest::PublicKeyOf(publicTemplate, info.size);
}

ByteVector DerSignature(const ByteVector& rs) {
    const size_t half = rs.size() / 2;
    const ossl::EcdsaSignature sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), BN_bin2bn(rs.data(), static_cast<int>(half), nullptr),
                   BN_bin2bn(rs.data() + half, static_cast<int>(half), nullptr));
    return ossl::Der(sig.get(), i2d_ECDSA_SIG);
}

}  // namespace

struct GenerationCase {
    const char* name;
    uint16_t size;
    uint8_t algorithm;
};

class CryptoGeneration : public testing::TestWithParam<GenerationCase> {};

TEST_P(CryptoGeneration, GeneratedKeySignsWhatItsPublicKeyVerifies) {
    const GenerationCase& c = GetParam();
    moduletest::ModuleCard m;
    libapdu::IAppCrypto& crypto = Generated(m, 0x0061, c.size, 2, c.algorithm);
    crypto.SelectKeyObject(InKeys(0x0220));
    const libapdu::KeyObjectInfo info = crypto.GetKeyObjectInfo();
    const bool ec = simtest::IsEcSize(c.size);
    EXPECT_EQ(info.algorithm, ec ? libapdu::kAlgEc : libapdu::kAlgRsa);
    EXPECT_EQ(info.size, c.size);
    EXPECT_EQ(info.usage, 2);
    EXPECT_TRUE(info.content.empty());  // no certificate object yet

    const ByteVector digest = simtest::Sha256("signed by the card");
    const ByteVector signature = crypto.Sign(0x20, {}, ec ? digest : simtest::DigestInfo(digest), false);
    ASSERT_EQ(signature.size(), ec ? 2u * c.size : c.size);
    EXPECT_TRUE(simtest::Verifies(PublicKey(info).get(), digest, ec ? DerSignature(signature) : signature));
}

INSTANTIATE_TEST_SUITE_P(Keys, CryptoGeneration,
                         testing::Values(GenerationCase{"Rsa1024", 0x80, 6},
                                         GenerationCase{"Rsa2048", 0x100, 7},
                                         GenerationCase{"P256", 0x20, 0x11},
                                         GenerationCase{"P384", 0x30, 0x11},
                                         GenerationCase{"P521", 0x42, 0x11}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(CryptoOverSimulator, SignatureKeyDoesNotDecipher) {
    moduletest::ModuleCard m;
    libapdu::IAppCrypto& crypto = Generated(m, 0x0061, 0x80, 2, 6);
    EXPECT_EQ(ThrownStatusWord([&] { crypto.Decipher(ByteVector(0x80, 0x01)); }), 0x6900);
}
