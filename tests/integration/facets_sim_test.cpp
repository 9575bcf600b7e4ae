// The Helix facets, their key-packing channel and the transaction guard against the simulated
// card: each operation's effect as the card sees it afterwards.
#include <gtest/gtest.h>

#include <stdexcept>

#include "channel/transaction.h"
#include "hex.h"
#include "libapdu/applet_helix.h"
#include "module_over_sim.h"
#include "sim_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CardPath;

namespace {

const CardPath kConfiguration{0x3F00, 0x3000, 0xC000};

void VerifyUser(libapdu::IToken& token, const ByteVector& pin) {
    libapdu::IAppPin& p = *token.GetPin();
    p.SelectPin(p.GetUserPinRef());
    p.VerifyPin(pin);
}

// The administrator's answer to the card's challenge, computed with libgcrypt.
void LoginAdmin(libapdu::IToken& token, const moduletest::ModuleCard& m) {
    libapdu::IAppPin& p = *token.GetPin();
    p.SelectPin(p.GetAdminKeyRef());
    const ByteVector challenge = p.GetChallenge();
    p.ExternalAuthenticate(simtest::GcryTdes(GCRY_CIPHER_MODE_ECB, m.Profile().adminKey, challenge));
}

}  // namespace

TEST(FacetsOverSimulator, IdentificationReadsTheConfigurationAndRefusesAnOldLayout) {
    moduletest::ModuleCard bio(helixsim::ProfileByName("bio-23"));
    bio.Token().SelectAndIdentify(libapdu::kAppletHelix);
    EXPECT_EQ(bio.Token().GetBio()->GetUserAuthKind(), 35u);

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
    const std::optional<ByteVector> content = m.CardFile(kConfiguration);
    ASSERT_TRUE(content);
    EXPECT_EQ(ToHex(ByteVector(content->begin(), content->begin() + 32)), "4142" + Repeat("20", 30));
    ByteVector label;
    m.NewToken().GetLabel()->ReadLabel(label);
    EXPECT_EQ(label, (ByteVector{'A', 'B'}));
}

// The default group's public value needs the extended form (256 bytes); the 1536-bit one fits
// the short form (192 bytes).
TEST(PackOverSimulator, SecureSendSetsAPinTheCardThenAccepts) {
    for (const char* group : {"default", "dh-1536"}) {
        SCOPED_TRACE(group);
        moduletest::ModuleCard m(helixsim::ProfileByName(group));
        LoginAdmin(m.Token(), m);
        m.Token().GetPin()->SelectPin({0x3F00, 0x20});  // the card sets the PIN of the current object
        CSCardSender sender(m.Card(), 3);
        libapdu::CAppletHelix direct(&sender);
        ByteVector answer;
        direct.Pack()->SecureSend(Hex("802400000B 6281088106 343332313939"), answer);
        EXPECT_EQ(ToHex(answer), "9000");
        libapdu::IToken& token = m.NewToken();
        VerifyUser(token, {'4', '3', '2', '1', '9', '9'});
        EXPECT_EQ(ThrownStatusWord([&] { VerifyUser(token, m.Profile().userPin); }), 0x6300);
    }
}

TEST(PackOverSimulator, RefusedWrappedCommandEndsTheSessionAndThrowsItsWord) {
    moduletest::ModuleCard m;  // nobody logged in: setting a PIN is refused
    m.Token().GetPin()->SelectPin({0x3F00, 0x20});
    CSCardSender sender(m.Card(), 3);
    libapdu::CAppletHelix direct(&sender);
    ByteVector answer;
    EXPECT_EQ(
        ThrownStatusWord([&] { direct.Pack()->SecureSend(Hex("8024000009 6281068104 31323334"), answer); }),
        0x6900);
    const auto commands = m.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(ToHex(commands.back()), "8086FFFF");
}

TEST(TransactionGuard, FailureToBeginIsUnexpectedAndSendsNothing) {
    moduletest::ModuleCard m;
    m.Commands();
    helixsim::Readers::Instance().ResetCard(moduletest::kReader);  // the handle now sees SCARD_W_RESET_CARD
    EXPECT_EQ(ThrownStatus([&] { CTransactionGuard guard(m.Card()); }),
              static_cast<StatusCode>(SCARD_E_UNEXPECTED));
    EXPECT_TRUE(m.Commands().empty());
}

TEST(TransactionGuard, IsEndedWhenTheWorkInsideFails) {
    moduletest::ModuleCard m;
    try {
        CTransactionGuard guard(m.Card());
        throw std::runtime_error("card work failed");
    } catch (const std::runtime_error&) {
    }
    // Ended with leave-card: another connection can take the card at once.
    const SCARDHANDLE card = m.Connect();
    helixsim::Readers::Instance().SetWaitLimit(std::chrono::milliseconds(200));
    EXPECT_EQ(pcsc::BeginTransaction(card), SCARD_S_SUCCESS);
    EXPECT_EQ(pcsc::EndTransaction(card, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    EXPECT_EQ(helixsim::Readers::Instance().BlockedCalls(), 0u);
}
