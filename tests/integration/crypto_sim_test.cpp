// The crypto facet against the simulated card.
#include <gtest/gtest.h>

#include "libapdu/appcry/cry_helix.h"
#include "module_over_sim.h"
#include "thrown.h"

using libapdu::ByteVector;

namespace {

// The user verified and, in the key directory, a key object `id` as the module creates one
// (size in bytes, access bytes 0, 0, usage), then a key pair generated in it.
libapdu::IAppCrypto& Generated(moduletest::ModuleCard& m, uint16_t id, uint16_t size, uint8_t usage,
                               uint8_t algorithm) {
    libapdu::IAppPin& p = *m.Token().GetPin();
    p.SelectPin(p.GetUserPinRef());
    p.VerifyPin(m.Profile().userPin);
    libapdu::IAppFS& fs = *m.Token().GetFS();
    fs.SelectPath({0x3F00, 0x3000, 0x3002});
    libapdu::FileDescriptor descriptor;
    descriptor.kind = libapdu::kKeyObject;
    descriptor.size = size;
    descriptor.access[0] = 0;
    descriptor.access[1] = 0;
    descriptor.access[2] = usage;
    fs.CreateFile(id, descriptor, {});
    fs.SelectPath({0x3F00, 0x3000, 0x3002, id});
    m.Token().GetCrypto()->GenerateKeyPair(&algorithm, 0);
    return *m.Token().GetCrypto();
}

}  // namespace

TEST(CryptoOverSimulator, SignatureKeyDoesNotDecipher) {
    moduletest::ModuleCard m;
    libapdu::IAppCrypto& crypto = Generated(m, 0x0061, 0x80, 2, 6);
    EXPECT_EQ(ThrownStatusWord([&] { crypto.Decipher(ByteVector(0x80, 0x01)); }), 0x6900);
}
