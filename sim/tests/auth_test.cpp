// Authentication objects: the protected PIN cryptogram and the administrator's answer computed
// with libgcrypt, try counters, blocking, logout, biometric objects and the PIN-setting rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim_key_card.h"

namespace {

using namespace simtest;

const char* const kWrongPin = "30303030";  // "0000"

std::set<uint8_t> VerifiedIds(SimCard& card) {
    const Bytes answer = card.Send("80CE000000");
    EXPECT_EQ(Sw(answer), 0x9000);
    const Bytes list = Data(answer);
    std::set<uint8_t> ids;
    for (size_t i = 2; i + 3 <= list.size(); i += 3) ids.insert(list[i]);
    return ids;
}

// The verified list names the PIN once it passed.
TEST(SimAuth, TryCounterFallsIsRestoredBySuccessAndBlocksAtZero) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(ToHex(card.Send("80CE000000")), "00009000");
    EXPECT_EQ(card.VerifyPin(Hex(kWrongPin)), 0x63C4);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x9000);
    EXPECT_EQ(ToHex(card.Send("80CE000000")), "00002001019000");
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
    for (uint16_t expected : {0x63C4, 0x63C3, 0x63C2, 0x63C1, 0x63C0})
        EXPECT_EQ(card.VerifyPin(Hex(kWrongPin)), expected);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x6983);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 0);
    const std::string fcp = ToHex(card.Send("80A4080C04 3F000020 00"));
    EXPECT_NE(fcp.find("85050120000805"), std::string::npos) << fcp;
}

TEST(SimAuth, AChallengeIsFreshAndServesOneVerify) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.Send("0084000004").size(), 6u);
    const Bytes challenge = Data(card.Send("0084000008"));
    ASSERT_EQ(challenge.size(), 8u);
    const Bytes cmd = VerifyCommand(card.GetProfile().userPin, challenge);
    EXPECT_EQ(Sw(card.Send(cmd)), 0x9000);
    EXPECT_EQ(Sw(card.Send(cmd)), 0x6985);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
    EXPECT_NE(Data(card.Send("0084000008")), challenge);
}

TEST(SimAuth, VerifyNamesItsObjectInP2AndNeverTakesThePinPlain) {
    SimCard card;
    const Bytes challenge = Data(card.Send("0084000008"));
    EXPECT_EQ(Sw(card.Send(VerifyCommand(card.GetProfile().userPin, challenge, 0x20))), 0x9000);
    EXPECT_EQ(Sw(card.Send(VerifyCommand(card.GetProfile().userPin, challenge, 0x77))), 0x6A88);
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.SwOf("0020000008 3132333435363738"), 0x6982);
}

TEST(SimAuth, ExternalAuthenticateWithTheAdministratorKey) {
    SimCard card;
    EXPECT_EQ(card.LoginAdmin(), 0x9000);
    EXPECT_EQ(VerifiedIds(card), std::set<uint8_t>{0x10});
    ASSERT_EQ(card.SwOf("0084000008"), 0x9000);
    EXPECT_EQ(card.SwOf("8082000008 0000000000000000"), 0x63C4);
    EXPECT_EQ(card.Card().TriesLeft(0x10), 4);
}

TEST(SimAuth, LogoutResetAndReselectionForgetVerification) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    EXPECT_EQ(card.SwOf("8028000004 00000020"), 0x9000);
    EXPECT_EQ(VerifiedIds(card), std::set<uint8_t>{0x10});
    EXPECT_EQ(card.SwOf("8028000004 00000099"), 0x6A88);
    ASSERT_EQ(card.SwOf(kSelectApplet), 0x9000);
    EXPECT_TRUE(VerifiedIds(card).empty());
    ASSERT_EQ(card.LoginUser(), 0x9000);
    card.Card().Reset();
    EXPECT_EQ(card.SwOf("80CE000000"), 0x6D00);
}

// Unblocking takes the administrator; the PIN is unchanged until a new one is set under
// secure messaging.
TEST(SimAuth, AdministratorUnblocksAndSetsANewPinThroughSecureMessaging) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    for (int i = 0; i < 5; ++i) card.VerifyPin(Hex(kWrongPin));
    ASSERT_EQ(card.Card().TriesLeft(0x20), 0);
    EXPECT_EQ(card.SwOf("802C000000"), 0x6982);
    EXPECT_EQ(Sw(HostChannel(card).Send("80240000", Hex("6281 06 8104 31323334"))), 0x6982)
        << "nobody verified";
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.SwOf("802C000000"), 0x9000);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x9000);
    HostChannel channel(card);
    EXPECT_EQ(Sw(channel.Send("80240000", Hex("6281 08 8106 313131313131"))), 0x9000);
    EXPECT_EQ(card.VerifyPin({'1', '1', '1', '1', '1', '1'}), 0x9000);
}

struct GroupCase {
    const char* name;
    const char* profile;
    const char* agreementHead;  // the agreement command up to its data
};

class SimSecureChannel : public testing::TestWithParam<GroupCase> {};

// The profile's group decides the form of the agreement command: 4E for 2048 bits, 4S for 1536.
// Only under secure messaging.
TEST_P(SimSecureChannel, SetsThePinAfterTheUserInEitherGroup) {
    SimCard card(kUser, GetParam().profile);
    EXPECT_EQ(card.SwOf("8024000009 6281 06 8104 31313131"), 0x6982);
    card.Card().ClearCommandLog();
    HostChannel channel(card);
    EXPECT_EQ(Sw(channel.Send("80240000", Hex("6281 06 8104 31323334"))), 0x9000);
    EXPECT_EQ(card.VerifyPin({'1', '2', '3', '4'}), 0x9000);
    const Bytes head = Hex(GetParam().agreementHead);
    const auto& log = card.Card().CommandLog();
    const auto agree = std::find_if(log.begin(), log.end(), [](const Bytes& c) { return c[1] == 0x86; });
    ASSERT_NE(agree, log.end());
    EXPECT_EQ(Slice(*agree, 0, head.size()), head);
}

const GroupCase kSimSecureChannelCases[] = {
    {"Modp2048", "default", "80860000 000100"},
    {"Modp1536", "dh-1536", "80860000 C0"},
};
INSTANTIATE_TEST_SUITE_P(Groups, SimSecureChannel, testing::ValuesIn(kSimSecureChannelCases), CaseName);

struct BioCase {
    const char* name;
    const char* profile;
    bool templateOk;
    bool pinOk;
    bool verified;
};

class SimBiometric : public testing::TestWithParam<BioCase> {};

// 0x23 by the template alone, 0x24 by the template or the PIN, 0x25 by both.
TEST_P(SimBiometric, ObjectCountsAsVerified) {
    const BioCase& c = GetParam();
    SimCard card(c.profile);
    const uint8_t id = card.GetProfile().biometricId;
    if (c.templateOk) {
        ASSERT_EQ(Sw(card.Send(Concat({{0x00, 0x20, 0x00, id, 0x14}, card.GetProfile().biometricTemplate}))),
                  0x9000);
    }
    if (c.pinOk) {
        ASSERT_EQ(card.LoginUser(), 0x9000);
    }
    EXPECT_EQ(VerifiedIds(card).count(id) == 1, c.verified);
}

const BioCase kSimBiometricCases[] = {
    {"Bio23ByTemplate", "bio-23", true, false, true},
    {"Bio23NotByPin", "bio-23", false, true, false},
    {"Bio24ByTemplate", "bio-24", true, false, true},
    {"Bio24ByPin", "bio-24", false, true, true},
    {"Bio25NotByTemplateAlone", "bio-25", true, false, false},
    {"Bio25NotByPinAlone", "bio-25", false, true, false},
    {"Bio25ByBoth", "bio-25", true, true, true},
};
INSTANTIATE_TEST_SUITE_P(Table, SimBiometric, testing::ValuesIn(kSimBiometricCases), CaseName);

TEST(SimAuth, WrongTemplateUsesTheSharedCounter) {
    SimCard card("bio-23");
    EXPECT_EQ(card.SwOf("0020002314 0000000000000000000000000000000000000000"), 0x63C4);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 4);
    EXPECT_EQ(card.Card().TriesLeft(0x23), 4);
    EXPECT_EQ(card.SwOf("0020002313 00000000000000000000000000000000000000"), 0x6700);
}

}  // namespace
