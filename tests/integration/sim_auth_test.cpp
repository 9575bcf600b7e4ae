// Authentication objects: the protected PIN cryptogram and the administrator's answer computed
// with libgcrypt, try counters, blocking, logout, biometric objects and the PIN-setting rules.
#include <gtest/gtest.h>

#include <set>

#include "libapdu/token/host_crypto.h"
#include "sim_card.h"

namespace {

using simtest::Bytes;
using simtest::Data;
using simtest::SimCard;
using simtest::Sw;
using simtest::VerifyCommand;

std::set<uint8_t> VerifiedIds(SimCard& card) {
    const Bytes answer = card.Send("80CE000000");
    EXPECT_EQ(Sw(answer), 0x9000);
    const Bytes list = Data(answer);
    std::set<uint8_t> ids;
    for (size_t i = 2; i + 3 <= list.size(); i += 3) ids.insert(list[i]);
    return ids;
}

TEST(SimAuth, ProtectedVerifyOfTheUserPinSucceedsAndIsListed) {
    SimCard card;
    EXPECT_EQ(ToHex(card.Send("80CE000000")), "00009000");
    ASSERT_EQ(card.LoginUser(), 0x9000);
    EXPECT_EQ(ToHex(card.Send("80CE000000")), "00002001019000");
}

TEST(SimAuth, WrongPinCountsDownThenBlocks) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    const Bytes wrong{'0', '0', '0', '0'};
    for (uint16_t expected : {0x63C4, 0x63C3, 0x63C2, 0x63C1, 0x63C0})
        EXPECT_EQ(card.VerifyPin(wrong), expected);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x6983);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 0);
    const std::string fcp = ToHex(card.Send("80A4080C04 3F000020 00"));
    EXPECT_NE(fcp.find("85050120000805"), std::string::npos) << fcp;
}

TEST(SimAuth, SuccessRestoresTheCounter) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.VerifyPin({'9', '9', '9', '9'}), 0x63C4);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x9000);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
}

TEST(SimAuth, AChallengeServesOneVerify) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    const Bytes challenge = Data(card.Send("0084000008"));
    const Bytes cmd = VerifyCommand(card.GetProfile().userPin, challenge);
    EXPECT_EQ(Sw(card.Send(cmd)), 0x9000);
    EXPECT_EQ(Sw(card.Send(cmd)), 0x6985);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
}

TEST(SimAuth, ChallengesAreFresh) {
    SimCard card;
    const Bytes a = card.Send("0084000008");
    const Bytes b = card.Send("0084000008");
    ASSERT_EQ(a.size(), 10u);
    EXPECT_NE(a, b);
    EXPECT_EQ(card.Send("0084000004").size(), 6u);
}

TEST(SimAuth, VerifyByObjectInP2) {
    SimCard card;
    const Bytes challenge = Data(card.Send("0084000008"));
    EXPECT_EQ(Sw(card.Send(VerifyCommand(card.GetProfile().userPin, challenge, 0x20))), 0x9000);
    EXPECT_EQ(Sw(card.Send(VerifyCommand(card.GetProfile().userPin, challenge, 0x77))), 0x6A88);
}

TEST(SimAuth, UserPinIsNeverPresentedPlain) {
    SimCard card;
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

TEST(SimAuth, LogoutDropsTheObject) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    EXPECT_EQ(card.SwOf("8028000004 00000020"), 0x9000);
    EXPECT_EQ(VerifiedIds(card), std::set<uint8_t>{0x10});
    EXPECT_EQ(card.SwOf("8028000004 00000099"), 0x6A88);
}

TEST(SimAuth, ResetAndReselectionForgetVerification) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf(simtest::kSelectApplet), 0x9000);
    EXPECT_TRUE(VerifiedIds(card).empty());
    ASSERT_EQ(card.LoginUser(), 0x9000);
    card.Card().Reset();
    EXPECT_EQ(card.SwOf("80CE000000"), 0x6D00);
}

TEST(SimAuth, ResetRetryCounterNeedsTheAdministrator) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    for (int i = 0; i < 5; ++i) card.VerifyPin({'0', '0', '0', '0'});
    EXPECT_EQ(card.SwOf("802C000000"), 0x6982);
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.SwOf("802C000000"), 0x9000);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x9000);
}

TEST(SimAuth, SetPinValueOutsideSecureMessagingIsRefused) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    EXPECT_EQ(card.SwOf("8024000009 6281 06 8104 31313131"), 0x6982);
}

// The host's secure send: DH over the card's group, then 87/8E pieces under the session keys.
class HostChannel {
public:
    explicit HostChannel(SimCard& card) : m_card(card) {
        libapdu::EnsureGcrypt();
        const Bytes begin = Collect(card.Send("8048008000"));
        size_t at = 0;
        const auto next = [&begin, &at](uint8_t tag) {
            EXPECT_EQ(begin.at(at), tag);
            size_t len = begin.at(at + 1);
            at += 2;
            if (len == 0x81) {
                len = begin.at(at++);
            } else if (len == 0x82) {
                len = (size_t{begin.at(at)} << 8) | begin.at(at + 1);
                at += 2;
            }
            Bytes v(begin.begin() + at, begin.begin() + at + len);
            at += len;
            return v;
        };
        Bytes g = next(0x80);
        const Bytes p = next(0x81);
        const Bytes b = next(0x82);
        g.insert(g.begin(), p.size() - g.size(), 0x00);
        const Bytes r = Hex("0102030405060708090A0B0C0D0E0F1011121314");
        const auto a = libapdu::ModExpWords({g.data(), g.size()}, {r.data(), r.size()}, {p.data(), p.size()});
        const auto k = libapdu::ModExpWords({b.data(), b.size()}, {r.data(), r.size()}, {p.data(), p.size()});
        Bytes agree{0x80,
                    0x86,
                    0x00,
                    0x00,
                    0x00,
                    static_cast<uint8_t>(a.size() >> 8),
                    static_cast<uint8_t>(a.size())};
        agree.insert(agree.end(), a.begin(), a.end());
        agree.push_back(0x00);
        const Bytes masked = Data(card.Send(agree));
        EXPECT_GE(masked.size(), 32u);
        for (size_t i = 0; i < 16; ++i) {
            m_sk1.push_back(masked.at(i) ^ k.at(i));
            m_sk2.push_back(masked.at(16 + i) ^ k.at(24 + i));
        }
    }

    Bytes Send(const Bytes& header, const Bytes& data) {
        ++m_counter;
        const Bytes wrappedHeader{static_cast<uint8_t>(header[0] | 0x0C), header[1], header[2], header[3]};
        const Bytes padded = libapdu::Pad2({data.data(), data.size()});
        const Bytes cryptogram =
            libapdu::TdesCbcEncrypt({m_sk1.data(), m_sk1.size()}, {padded.data(), padded.size()});
        Bytes object{0x87, 0x81, static_cast<uint8_t>(cryptogram.size() + 1), 0x01};
        object.insert(object.end(), cryptogram.begin(), cryptogram.end());
        Bytes macInput(7, 0x00);
        macInput.push_back(m_counter);
        macInput.insert(macInput.end(), wrappedHeader.begin(), wrappedHeader.end());
        macInput.insert(macInput.end(), {0x80, 0x00, 0x00, 0x00});
        macInput.insert(macInput.end(), object.begin(), object.end());
        const Bytes mac =
            libapdu::TdesCbcMac({m_sk2.data(), m_sk2.size()}, {macInput.data(), macInput.size()});
        Bytes cmd = wrappedHeader;
        cmd.push_back(static_cast<uint8_t>(object.size() + 10));
        cmd.insert(cmd.end(), object.begin(), object.end());
        cmd.insert(cmd.end(), {0x8E, 0x08});
        cmd.insert(cmd.end(), mac.begin(), mac.end());
        cmd.push_back(0x00);
        ++m_counter;
        return m_card.Send(cmd);
    }

private:
    Bytes Collect(Bytes response) {
        Bytes all = Data(response);
        while (Sw(response) >> 8 == 0x61) {
            response = m_card.Send(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(Sw(response) & 0xFF)});
            const Bytes more = Data(response);
            all.insert(all.end(), more.begin(), more.end());
        }
        EXPECT_EQ(Sw(response), 0x9000);
        return all;
    }

    SimCard& m_card;
    Bytes m_sk1, m_sk2;
    uint8_t m_counter = 0;
};

TEST(SimAuth, SetPinValueInsideSecureMessagingAfterTheUser) {
    SimCard card;
    ASSERT_EQ(card.LoginUser(), 0x9000);
    HostChannel channel(card);
    EXPECT_EQ(Sw(channel.Send(Hex("80240000"), Hex("6281 06 8104 31323334"))), 0x9000);
    EXPECT_EQ(card.VerifyPin({'1', '2', '3', '4'}), 0x9000);
}

TEST(SimAuth, SetPinValueInsideSecureMessagingNeedsAnAuthentication) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    HostChannel channel(card);
    EXPECT_EQ(Sw(channel.Send(Hex("80240000"), Hex("6281 06 8104 31323334"))), 0x6982);
}

TEST(SimAuth, UnblockByTheAdministratorThroughSecureMessaging) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    for (int i = 0; i < 5; ++i) card.VerifyPin({'0', '0', '0', '0'});
    ASSERT_EQ(card.LoginAdmin(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    ASSERT_EQ(card.SwOf("802C000000"), 0x9000);
    HostChannel channel(card);
    EXPECT_EQ(Sw(channel.Send(Hex("80240000"), Hex("6281 08 8106 313131313131"))), 0x9000);
    EXPECT_EQ(card.VerifyPin({'1', '1', '1', '1', '1', '1'}), 0x9000);
}

struct BioCase {
    const char* profile;
    bool templateOk;
    bool pinOk;
    bool verified;
};

class SimBiometric : public testing::TestWithParam<BioCase> {};

// 0x23 by the template alone, 0x24 by the template or the PIN, 0x25 by both.
TEST_P(SimBiometric, ObjectCountsAsVerified) {
    const BioCase& c = GetParam();
    SimCard card(helixsim::ProfileByName(c.profile));
    const uint8_t id = card.GetProfile().biometricId;
    if (c.templateOk) {
        Bytes cmd{0x00, 0x20, 0x00, id, 0x14};
        cmd.insert(cmd.end(), card.GetProfile().biometricTemplate.begin(),
                   card.GetProfile().biometricTemplate.end());
        ASSERT_EQ(Sw(card.Send(cmd)), 0x9000);
    }
    if (c.pinOk) {
        ASSERT_EQ(card.LoginUser(), 0x9000);
    }
    EXPECT_EQ(VerifiedIds(card).count(id) == 1, c.verified);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimBiometric,
    testing::Values(BioCase{"bio-23", true, false, true}, BioCase{"bio-23", false, true, false},
                    BioCase{"bio-24", true, false, true}, BioCase{"bio-24", false, true, true},
                    BioCase{"bio-25", true, false, false}, BioCase{"bio-25", false, true, false},
                    BioCase{"bio-25", true, true, true}));

TEST(SimAuth, WrongTemplateUsesTheSharedCounter) {
    SimCard card(helixsim::ProfileByName("bio-23"));
    EXPECT_EQ(card.SwOf("0020002314 0000000000000000000000000000000000000000"), 0x63C4);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 4);
    EXPECT_EQ(card.Card().TriesLeft(0x23), 4);
    EXPECT_EQ(card.SwOf("0020002313 00000000000000000000000000000000000000"), 0x6700);
}

}  // namespace
