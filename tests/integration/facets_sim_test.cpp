// The Helix facets against the simulated card: each operation's commands as the card receives
// them, and the card's state afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex.h"
#include "module_over_sim.h"
#include "sim_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CardPath;

namespace {

const CardPath kCertificates{0x3F00, 0x3000, 0x3001};
const CardPath kConfiguration{0x3F00, 0x3000, 0xC000};

void VerifyUser(libapdu::IToken& token, const ByteVector& pin) {
    libapdu::IAppPin& p = *token.GetPin();
    p.SelectPin(p.GetUserPinRef());
    p.VerifyPin(pin);
}

void LoginAdmin(libapdu::IToken& token, const moduletest::ModuleCard& m) {
    libapdu::IAppPin& p = *token.GetPin();
    p.SelectPin(p.GetAdminKeyRef());
    const ByteVector challenge = p.GetChallenge();
    p.ExternalAuthenticate(simtest::GcryTdes(GCRY_CIPHER_MODE_ECB, m.Profile().adminKey, challenge));
}

}  // namespace

TEST(FacetsOverSimulator, IdentificationReadsTheConfigurationAndTheGuardingObject) {
    moduletest::ModuleCard m(helixsim::ProfileByName("bio-23"));
    m.Commands();
    try {
        m.Token().SelectAndIdentify(libapdu::kAppletHelix);
    } catch (...) {
        for (const auto& c : m.Commands()) ADD_FAILURE() << ToHex(c);
        throw;
    }
    EXPECT_EQ(m.Token().GetBio()->GetUserAuthKind(), 35u);
}

TEST(FacetsOverSimulator, IdentificationRefusesAnOldConfigurationLayout) {
    moduletest::ModuleCard m;
    VerifyUser(m.Token(), m.Profile().userPin);
    libapdu::IAppFS& fs = *m.Token().GetFS();
    fs.SelectPath(kConfiguration);
    fs.WriteFile({0x03}, 0x61);
    EXPECT_EQ(ThrownStatusWord([&] { m.Token().SelectAndIdentify(libapdu::kAppletHelix); }), 0x6400);
}

TEST(FacetsOverSimulator, LabelIsWrittenPaddedAndReadBackTrimmed) {
    moduletest::ModuleCard m;
    VerifyUser(m.Token(), m.Profile().userPin);
    m.Token().GetLabel()->WriteLabel({'A', 'B'});
    std::optional<helixsim::Bytes> content;
    m.WithCard([&](helixsim::HelixCard& card) { content = card.FileContent(kConfiguration); });
    ASSERT_TRUE(content);
    EXPECT_EQ(ToHex(ByteVector(content->begin(), content->begin() + 32)),
              "4142" + ToHex(ByteVector(30, 0x20)));
    ByteVector label;
    m.NewToken().GetLabel()->ReadLabel(label);
    EXPECT_EQ(label, (ByteVector{'A', 'B'}));
}

TEST(FacetsOverSimulator, CertificateFileIsCreatedWithItsNameWrittenAndDeleted) {
    moduletest::ModuleCard m;
    libapdu::IToken& token = m.Token();
    libapdu::IAppInfo& info = *token.GetInfo();
    const uint32_t freeBefore = info.GetFreeMemory();
    VerifyUser(token, m.Profile().userPin);
    libapdu::IAppFS& fs = *token.GetFS();
    fs.SelectPath(kCertificates);
    libapdu::FileDescriptor descriptor;
    descriptor.kind = libapdu::kElementaryFile;
    descriptor.size = 600;
    descriptor.access[0] = 0;
    descriptor.access[1] = 0x20;
    descriptor.access[2] = 3;
    m.Commands();
    fs.CreateFile(0x8405, descriptor, {});
    const auto create = m.Commands();
    ASSERT_EQ(create.size(), 1u);
    EXPECT_NE(ToHex(create[0]).find("8405"
                                    "6B78633035"),
              std::string::npos)
        << ToHex(create[0]);  // 84 05 "kxc05"
    EXPECT_LT(info.GetFreeMemory(), freeBefore - 600);

    ByteVector data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    fs.SelectPath({0x3F00, 0x3000, 0x3001, 0x8405});
    fs.WriteFile(data, 0);
    ByteVector back(600);
    fs.ReadFile(back, 0);
    EXPECT_EQ(back, data);
    std::optional<helixsim::Bytes> stored;
    m.WithCard([&](helixsim::HelixCard& card) {
        stored = card.FileContent({0x3F00, 0x3000, 0x3001, 0x8405});
    });
    EXPECT_EQ(stored, data);

    fs.DeleteFile();
    EXPECT_EQ(info.GetFreeMemory(), freeBefore);
    EXPECT_EQ(ThrownStatusWord([&] { fs.SelectPath({0x3F00, 0x3000, 0x3001, 0x8405}); }), 0x6A82);
}

TEST(FacetsOverSimulator, WritingWithoutTheUserPinIsRefused) {
    moduletest::ModuleCard m;
    libapdu::IAppFS& fs = *m.Token().GetFS();
    fs.SelectPath({0x3F00, 0x3000, 0x3003, 0x4001});
    EXPECT_EQ(ThrownStatusWord([&] { fs.WriteFile({0x00, 0x06, 1, 2, 3, 4, 5, 6}, 0); }), 0x6900);
}

TEST(FacetsOverSimulator, WrongPinLowersTheCountersOnBothSides) {
    moduletest::ModuleCard m;
    libapdu::IAppPin& p = *m.Token().GetPin();
    p.SelectPin(p.GetUserPinRef());
    const uint8_t before = p.GetPinState().triesLeft;
    EXPECT_EQ(ThrownStatusWord([&] { p.VerifyPin(ByteVector{'0', '0', '0', '0'}); }), 0x6300);
    EXPECT_EQ(p.GetPinState().triesLeft, before - 1);
    std::optional<uint8_t> card;
    m.WithCard([&](helixsim::HelixCard& c) { card = c.TriesLeft(0x20); });
    EXPECT_EQ(card, before - 1);
    p.VerifyPin(m.Profile().userPin);
    EXPECT_EQ(p.GetPinState().verified, 0xFF);
    EXPECT_EQ(p.GetPinState().triesLeft, p.GetPinState().maxTries);
}

TEST(FacetsOverSimulator, ChangedPinIsTheOneTheCardAcceptsAfterwards) {
    moduletest::ModuleCard m;
    VerifyUser(m.Token(), m.Profile().userPin);
    const ByteVector fresh{'2', '4', '6', '8', '1', '3'};
    m.Token().GetPin()->ChangePin(fresh);
    libapdu::IToken& token = m.NewToken();
    EXPECT_EQ(ThrownStatusWord([&] { VerifyUser(token, m.Profile().userPin); }), 0x6300);
    VerifyUser(token, fresh);
}

TEST(FacetsOverSimulator, AdministratorUnblocksABlockedPin) {
    moduletest::ModuleCard m;
    libapdu::IAppPin& p = *m.Token().GetPin();
    p.SelectPin(p.GetUserPinRef());
    for (int i = 0; i < m.Profile().userPinMaxTries; ++i)
        EXPECT_EQ(ThrownStatusWord([&] { p.VerifyPin(ByteVector{'9', '9', '9', '9'}); }), 0x6300);
    EXPECT_EQ(ThrownStatusWord([&] { p.VerifyPin(m.Profile().userPin); }), 0x6983);

    LoginAdmin(m.Token(), m);
    EXPECT_EQ(p.GetPinState().verified, 0xFF);
    p.SelectPin(p.GetUserPinRef());
    const ByteVector fresh{'1', '1', '2', '2', '3', '3'};
    p.UnblockPin(fresh);
    VerifyUser(m.NewToken(), fresh);
}

TEST(FacetsOverSimulator, WrongAdministratorAnswerIsRefusedAndCounted) {
    moduletest::ModuleCard m;
    libapdu::IAppPin& p = *m.Token().GetPin();
    p.SelectPin(p.GetAdminKeyRef());
    (void)p.GetChallenge();
    EXPECT_EQ(ThrownStatusWord([&] { p.ExternalAuthenticate(ByteVector(8, 0x00)); }), 0x6300);
    std::optional<uint8_t> card;
    m.WithCard([&](helixsim::HelixCard& c) { card = c.TriesLeft(0x10); });
    EXPECT_EQ(card, m.Profile().adminMaxTries - 1);
}
