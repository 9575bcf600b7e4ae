// The card's commands as a reader and the host drive them: command forms, 61xx and GET
// RESPONSE, 6Cxx under the strict profile, chaining, then files, authentication objects and key
// objects, each refusal with the card's status word.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "sim_key_card.h"

namespace {

using namespace simtest;

// Commands in turn, each `command = answer end`, separated by `;`.
struct Script {
    const char* name;
    const char* profile;
    Login login;
    uint16_t keySize;  // a key at 3002/0061 for both uses, left selected; 0 for none
    const char* steps;
};

class SimCommand : public testing::TestWithParam<Script> {};

TEST_P(SimCommand, AnswersAsTheCard) {
    const Script& s = GetParam();
    SimCard card(s.profile, s.login);
    if (s.keySize != 0) GeneratedKey(card, 0x0061, s.keySize, s.keySize == 0x40 ? 0x0C : 0x84);
    std::stringstream steps(s.steps);
    for (std::string step; std::getline(steps, step, ';');) {
        const size_t equals = step.find('=');
        std::string end = step.substr(equals + 1);
        end.erase(std::remove(end.begin(), end.end(), ' '), end.end());
        const std::string answer = ToHex(card.Send(step.substr(0, equals)));
        EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), end.size())), end) << step;
    }
}

const Script kScripts[] = {
    // Only the ISO cases reach a command; fixed-length answers under the strict profile answer 6C
    // and the length to a missing or wrong Le, without it they serve what they can.
    {"Cases", "strict-le", kNobody, 0,
     "80CE0000 = 00009000; 80CB011104 = 9000; 80A4080C02 3F00 = 9000; 80A4080C02 3F00 00 = 9000;"
     "80CE0000 000002 = 00009000; 80A4080C 000002 3F00 = 9000; 80A4080C 000002 3F00 0000 = 9000"},
    {"Malformed", "strict-le", kNobody, 0,
     "80A4 = 6700; 80A4080C 000002 3F00 00 = 6700; 80A4080C 02 3F00 0000 = 6700; 80A4080C 05 3F00 = 6700;"
     "00B0000000 01 = 6700; 80A4080C 000000 0000 = 6700; 80A4080C 000003 3F00 = 6700;"
     "80A4080C 000002 3F00 000000 = 6700; 0000000000 = 6D00; 8084000008 = 6E00; 00E8000000 = 6E00"},
    {"StrictLe", "strict-le", kNobody, 0,
     "80CB011102 = 6C04; 80CB011108 = 6C04; 80CB0114 = 6C06; 80CB011400 = 9000; 00CB000302 = 6C04;"
     "0084000000 = 6C08; 0084000010 = 6C08; 0084000004 = 9000; 80CB018803 = 6C05; 80CB018800 = "
     "0000C775009000"},
    {"LenientLe", "default", kNobody, 0, "80CB018803 = 0000C76102; 80CB011408 = 9000"},
    // A short Le leaves the rest for GET RESPONSE until another command.
    {"GetResponse", "default", kNobody, 0,
     "80A4080C08 3F00300030034001 05 = 6218830240 6115; 00C0000010 = 018701018002000886080000002000FF 6105;"
     "00C0000005 = 00FF8A0104 9000; 80A4080C08 3F00300030034001 05 = 6115; 80CE000000 = 9000;"
     "00C0000015 = 6985; 80A4080C08 3F00300030034001 05 = 6115; 00C0010015 = 6A86; 00C0000015 = 6985"},
    // Pieces with CLA | 10 are gathered and carried out with the last one; another command drops them.
    {"Chaining", "default", kUser, 0,
     "80A4080C08 3F00300030034001 00 = 9000; 10D6000003 AABBCC = 9000; 00B0000008 = 6883;"
     "00B0000008 = 0006000000000000 9000; 10D6000003 AABBCC = 9000; 00D6000003 DDEEFF = 9000;"
     "00B0000008 = AABBCCDDEEFF0000 9000"},
    // Files: select, read and update 3F00/3000/3003/4001 (8 bytes, update by the user).
    {"Select", "bio-24", kNobody, 0,
     "80A4080C06 3F0030003002 00 = 621C8302300287013880020000860C00240024002400FF000000FF8A0104 9000;"
     "80A4080C08 3F00300030034001 00 = 9000; 80A4000C02 4000 00 = 9000; 80A4000C02 3000 00 = 9000;"
     "80A4000C02 1234 00 = 6A82; 80A4080C06 3F0030004444 00 = 6A82; 80A4080C04 30003003 00 = 6A82;"
     "80A4080C03 3F0030 00 = 6700; 80A4080006 3F0030003003 00 = 6A86"},
    {"ReadAndRefusals", "default", kNobody, 0,
     "80A4080C08 3F00300030034001 00 = 62188302400187010180020008860800000020 00FF00FF8A0104 9000; "
     "00B0000008 = 00060000000000009000; 00B0000010 = 6282;"
     "00B0000610 = 00006282; 00B0000801 = 6282; 00B0000901 = 6B00; 00D6000002 0102 = 6982;"
     "8030020000 = 6A86; 00E40100 = 6A86; 00E40000 = 6982; 8032000104 00100000 = 6982;"
     "80A4080C06 3F0030003001 00 = 9000; 00E00100 18 628115 8A0104 83028405 80020040 8608 0000 0020 0020 "
     "0020 = 6982"},
    {"Update", "default", kUser, 0,
     "80A4080C08 3F00300030034001 00 = 9000; 00D6000202 AABB = 9000; 00D6000702 CCDD = 6A84;"
     "00D6000902 CCDD = 6B00; 00B0000008 = 0006AABB00000000 9000;"
     "80A4080C06 3F003000EEEE 00 = 9000; 00D6000001 00 = 6982"},
    {"Listing", "default", kNobody, 0,
     "80A4080C06 3F0030003003 00 = 9000; 8030010000 = D2024000D20240019000; 8030380000 = D20230059000;"
     "8030080000 = 9000"},
    // Creation takes 32 bytes and the size; the last file that does not fit answers 6A84.
    {"CreateAndDelete", "default", kUser, 0,
     "80CB011100 = 00017D239000; 80A4080C06 3F0030003001 00 = 9000;"
     "00E00100 18 628115 8A0104 83028405 80020040 8608 0000 0020 0020 0020 = 9000; 80CB011100 = 00017CC39000;"
     "80A4080C06 3F0030003001 00 = 9000;"
     "00E00100 18 628115 8A0104 83028405 80020040 8608 0000 0020 0020 0020 = 6A89;"
     "80A4080C08 3F00300030018405 00 = 9000; 00E40000 = 9000; 80CB011100 = 00017D239000;"
     "80A4080C08 3F00300030018405 00 = 6A82; 80A4080C06 3F0030003001 00 = 9000;"
     "00E00100 18 628115 8A0104 83028410 80027FFF 8608 0000 0020 0020 0020 = 9000;"
     "80A4080C06 3F0030003001 00 = 9000;"
     "00E00100 18 628115 8A0104 83028411 80027FFF 8608 0000 0020 0020 0020 = 9000;"
     "80A4080C06 3F0030003001 00 = 9000;"
     "00E00100 18 628115 8A0104 83028412 80027FFF 8608 0000 0020 0020 0020 = 6A84; 80CB011100 = 00007CE5 "
     "9000"},
    {"Resize", "default", kUser, 0,
     "80A4080C08 3F00300030033005 00 = 9000;"
     "00E00100 18 628115 8A0104 83024004 80020004 8608 0000 0030 0030 0030 = 9000; 00D6000004 01020304 = "
     "9000;"
     "8032000104 00060000 = 9000; 00B0000006 = 010203040000 9000; 8032000104 00020001 = 6A80;"
     "8032000003 000200 = 6A86"},
    {"RewriteAttributes", "default", kUser, 0,
     "80A4080C06 3F0030003001 00 = 9000;"
     "00E00100 1F 62811C 8A0104 83028405 80020040 8608 0000 0020 0020 0020 8405 6B78633035 = 9000;"
     "80E80000 0A 6208 8606 0000 0024 0024 = 6A80; 80E80000 0C 620A 8608 0000 0024 0024 0024 = 9000;"
     "80A4080C08 3F00300030018405 00 = 86080000002400240024 84056B78633035 8A0104 9000; 00D6000001 01 = "
     "6982"},
    // Creation templates under 3F00/3000/3001: the host's form exactly, or 6A80.
    {"Templates", "default", kUser, 0,
     "80A4080C06 3F0030003001 00 = 9000; 00E00100 0E 62810B 8A0104 83028406 80020010 = 6A80;"
     "00E00100 18 628115 8A0105 83028406 80020010 8608 0000 0020 0020 0020 = 6A80;"
     "00E00100 16 628113 8A0104 83028406 80020010 8606 0000 0020 0020 = 6A80;"
     "00E00100 18 628115 8A0104 83028406 80020010 8608 0100 0020 0020 0020 = 6A80;"
     "00E00100 18 628114 8A0104 83028406 80020010 8608 0000 0020 0020 0020 = 6A80;"
     "00E00100 19 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020 00 = 6A80;"
     "00E00100 18 628115 8A0104 83038406 80020010 8608 0000 0020 0020 0020 = 6A80;"
     "00E00100 1C 628119 8A0104 83028406 83028407 80020010 8608 0000 0020 0020 0020 = 6A80;"
     "00E00100 18 638115 8A0104 83028406 80020010 8608 0000 0020 0020 0020 = 6A80;"
     "00E00200 18 628115 8A0104 83028406 80020010 8608 0000 0020 0020 0020 = 6A86;"
     "00E00100 18 628115 8A0104 83023FFF 80020010 8608 0000 0020 0020 0020 = 6A80;"
     "00E00100 18 628115 8A0104 83028406 80027FFF 8608 0000 0020 0020 0020 = 9000"},
    // Authentication objects.
    {"PinNeverPlain", "default", kNobody, 0,
     "80A4080C04 3F000020 00 = 9000; 0020000008 3132333435363738 = 6982"},
    {"VerifyUnknownObject", "default", kNobody, 0, "8020007710 00000000000000000000000000000000 = 6A88"},
    {"VerifyWithoutChallenge", "default", kNobody, 0,
     "80A4080C04 3F000020 00 = 9000; 8020000010 00000000000000000000000000000000 = 6985"},
    {"UnblockNeedsTheAdministrator", "default", kUser, 0, "80A4080C04 3F000020 00 = 9000; 802C000000 = 6982"},
    {"SetPinOnlyInsideSecureMessaging", "default", kUser, 0, "8024000009 6281 06 8104 31313131 = 6982"},
    {"Logout", "default", kUser, 0,
     "8028000004 00000099 = 6A88; 8028000004 00000020 = 9000; 80CE000000 = 00009000"},
    {"TemplateWrongLength", "bio-23", kNobody, 0, "0020002313 00000000000000000000000000000000000000 = 6700"},
    // Key objects: generation, use and their refusals.
    {"KeyCommandsNeedAKeyObject", "default", kUser, 0,
     "80A4080C08 3F00300030034001 00 = 9000; 8048000000 = 6986; 0047000005 AC03800105 = 6986; 002A9E8A03 "
     "800101 00 = 6986"},
    {"GenerateRefusals", "default", kUser, 0x20,
     "0047000004 AC038001 = 6700; 0047000005 AC03800205 = 6A80; 0047010005 AC03800111 = 6A86;"
     "0047000005 AC03800105 = 6A80; 0047000005 AC03800104 = 6A81; 0047000005 AC0380010E = 6A81"},
    {"GenerateNotOffered", "no-4096", kUser, 0x40, "0047000005 AC03800108 = 6A81"},
    {"GenerateNoEc", "no-ec", kUser, 0x40, "0047000005 AC03800111 = 6A81"},
    {"SignRefusals", "default", kUser, 0x20,
     "002A9E9A03 800101 00 = 6A86; 002A9E9103 820101 00 = 6A80; 002A9E9103 800201 00 = 6A80;"
     "002A9E9102 8000 00 = 6A80; 002A9E9124 8022 "
     "00000000000000000000000000000000000000000000000000000000000000000000 00 = 6A80"},
    {"AgreeRefusals", "default", kUser, 0x20, "804A000003 040102 20 = 6700; 8048010000 = 6A86"},
    {"UseNeedsTheUser", "default", kUser, 0x20,
     "8028000004 00000020 = 9000; 002A9E9103 800101 00 = 6982; 0047000005 AC03800111 = 6982;"
     "8048000000 = 9000"},
    // Capabilities: byte 2 80 RSA 4096, 40 RSA 3072, 07 the three curves; byte 3 the small RSA
    // sizes; the short query 08 when curves are offered.
    {"Capabilities", "default", kNobody, 0, "80CB018805 = 0000C775009000; 80CB018003 = 0800009000"},
    {"CapabilitiesNo4096", "no-4096", kNobody, 0, "80CB018805 = 00004775009000"},
    {"CapabilitiesNoEc", "no-ec", kNobody, 0, "80CB018805 = 0000C075009000; 80CB018003 = 0000009000"},
    {"MemoryTotalAndFree", "default", kNobody, 0, "80CB011000 = 000180009000; 80CB011100 = 00017D239000"},
};
INSTANTIATE_TEST_SUITE_P(Table, SimCommand, testing::ValuesIn(kScripts), CaseName);

TEST(SimTransport, EveryCommandBeforeTheAppletAnswers6D00) {
    helixsim::HelixCard card(helixsim::DefaultProfile());
    for (const char* cmd : {"80A4080C02 3F00 00", "0084000008", "00C0000010"})
        EXPECT_EQ(ToHex(card.Transmit(Hex(cmd)).response), "6D00") << cmd;
    EXPECT_EQ(ToHex(card.Transmit(Hex("00A404000C A000000164505249534D0002")).response), "6A82");
}

enum Operation { kSignPkcs1, kSignEcdsa, kDecipher, kRawPssBlock, kAgree };

struct UsageCase {
    const char* name;
    uint16_t size;
    uint8_t use;
    Operation operation;
    uint16_t sw;
};

class SimKeyUsage : public testing::TestWithParam<UsageCase> {};

// Data each operation takes, well formed for the selected key.
TEST_P(SimKeyUsage, TheUsageBlockDecides) {
    const UsageCase& c = GetParam();
    SimCard card(kUser);
    GeneratedKey(card, 0x0061, c.size, c.use);
    Bytes pss(c.size, 0x5A);  // shaped as an EMSA-PSS encoding: top bit clear, trailer BC
    pss.back() = 0xBC;
    const Bytes point =
        c.size == 0x20 ? PublicPart(Data(card.Send("8048000000")), 0x86) : Bytes(1 + 2 * c.size, 4);
    const char* const headers[] = {"002A9E8A", "002A9E91", "002A800C", "002A800C", "804A0000"};
    const Bytes data[] = {DataObject(0x80, DigestInfo(Bytes(32, 1))), DataObject(0x80, Bytes(20, 1)),
                          DataObject(0x82, Bytes(c.size, 1)), DataObject(0x82, pss), point};
    EXPECT_EQ(Sw(Chained(card, headers[c.operation], data[c.operation])), c.sw);
}

const UsageCase kSimKeyUsageCases[] = {
    {"SignOnlyRsaDoesNotDecipher", 0x40, 0x04, kDecipher, 0x6985},
    {"SignOnlyRsaSignsAPssBlockRaw", 0x40, 0x04, kRawPssBlock, 0x9000},
    {"DecipherOnlyRsaOpensAPssShapedBlock", 0x40, 0x08, kRawPssBlock, 0x9000},
    {"EcKeyDoesNotSignAPssBlock", 0x20, 0x84, kRawPssBlock, 0x6985},
    {"DecipherOnlyRsaDoesNotSign", 0x40, 0x08, kSignPkcs1, 0x6985},
    {"RsaKeyDoesNotSignEcdsa", 0x40, 0x0C, kSignEcdsa, 0x6985},
    {"EcdsaOnlyKeyDoesNotAgree", 0x20, 0x04, kAgree, 0x6985},
    {"EcdhOnlyKeyDoesNotSign", 0x20, 0x80, kSignEcdsa, 0x6985},
    {"EcKeyDoesNotSignPkcs1", 0x20, 0x84, kSignPkcs1, 0x6985},
};
INSTANTIATE_TEST_SUITE_P(Table, SimKeyUsage, testing::ValuesIn(kSimKeyUsageCases), CaseName);

// Key objects need the curve's own domain; material only comes inside secure messaging; RSA
// inputs must fit the modulus and leave room for padding.
TEST(SimKeys, ObjectsAndInputsAreChecked) {
    SimCard card(kUser);
    const uint32_t before = card.Card().FreeMemory();
    Bytes wrongB = KeyTemplate(0x0061, 0x20, 0x04);
    const Bytes b = helixsim::crypto::CurveParameters(helixsim::crypto::Curve::P256).b;
    std::search(wrongB.begin(), wrongB.end(), b.begin(), b.end())[0] ^= 0x01;
    EXPECT_EQ(CreateKeyObject(card, wrongB), 0x6A80);
    EXPECT_EQ(CreateKeyObject(card, KeyTemplate(0x0062, 0x40, 0x0C, Hex("900101"))), 0x6982);
    ASSERT_EQ(CreateKeyObject(card, KeyTemplate(0x0061, 0x20, 0x04)), 0x9000);
    EXPECT_EQ(card.Card().FreeMemory(), before - 32 - 3 * 0x20);
    EXPECT_EQ(card.SwOf("8048000000"), 0x6985);
    EXPECT_EQ(card.SwOf("002A9E9103 800101 00"), 0x6985);

    GeneratedKey(card, 0x0042, 0x40, 0x0C);
    EXPECT_EQ(Sw(Chained(card, "002A800C", DataObject(0x82, Bytes(0x3F, 0x01)))), 0x6A80);
    EXPECT_EQ(Sw(Chained(card, "002A800C", DataObject(0x82, Bytes(0x40, 0xFF)))), 0x6A80);
    EXPECT_EQ(Sw(Chained(card, "002A9E8A", DataObject(0x80, Bytes(0x40 - 10, 0x01)))), 0x6A80);
    EXPECT_EQ(Sw(Chained(card, "002A9E8A", DataObject(0x80, Bytes(0x40 - 11, 0x01)))), 0x9000);
}

const Bytes kWrongPin = Hex("30303030");

// Tries fall with each wrong PIN, the right one restores them, zero blocks. A challenge serves
// one verify or one answer of the administrator, whose wrong answer spends one of its tries.
TEST(SimAuth, TryCountersChallengesAndTheAdministrator) {
    SimCard card;
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.VerifyPin(kWrongPin), 0x63C4);
    const Bytes challenge = Data(card.Send("0084000008"));
    const Bytes verify = VerifyCommand(card.GetProfile().userPin, challenge);
    EXPECT_EQ(Sw(card.Send(verify)), 0x9000);
    EXPECT_EQ(Sw(card.Send(verify)), 0x6985);
    EXPECT_NE(Data(card.Send("0084000008")), challenge);
    EXPECT_EQ(ToHex(card.Send("80CE000000")), "00002001019000");
    for (uint16_t expected : {0x63C4, 0x63C3, 0x63C2, 0x63C1, 0x63C0})
        EXPECT_EQ(card.VerifyPin(kWrongPin), expected);
    EXPECT_EQ(card.VerifyPin(card.GetProfile().userPin), 0x6983);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 0);
    EXPECT_NE(ToHex(card.Send("80A4080C04 3F000020 00")).find("85050120000805"), std::string::npos);

    ASSERT_EQ(card.SwOf(kSelectApplet), 0x9000);
    EXPECT_EQ(card.Send("80CE000000"), Hex("00009000")) << "selecting the applet forgets verification";
    ASSERT_EQ(card.SwOf("80A4080C04 3F000010 00"), 0x9000);
    const Bytes challenge2 = Data(card.Send("0084000008"));
    const Bytes answer =
        Concat({Hex("8082000008"), GcryTdes(GCRY_CIPHER_MODE_ECB, card.GetProfile().adminKey, challenge2)});
    EXPECT_EQ(Sw(card.Send(answer)), 0x9000);
    EXPECT_EQ(Sw(card.Send(answer)), 0x6985);
    EXPECT_EQ(ToHex(card.Send("80CE000000")), "00001001019000");
    ASSERT_EQ(card.SwOf("80A4080C04 3F000020 00"), 0x9000);
    EXPECT_EQ(card.SwOf("802C000000"), 0x9000);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 5);
    ASSERT_EQ(card.SwOf("80A4080C04 3F000010 00"), 0x9000);
    ASSERT_EQ(card.SwOf("0084000008"), 0x9000);
    EXPECT_EQ(card.SwOf("8082000008 0000000000000000"), 0x63C4);
    EXPECT_EQ(card.Card().TriesLeft(0x10), 4);
}

struct BioCase {
    const char* name;
    const char* profile;
    bool templateOk, pinOk, verified;
};

class SimBiometric : public testing::TestWithParam<BioCase> {};

// 0x23 by the template alone, 0x24 by the template or the PIN, 0x25 by both. A wrong template
// spends a try of the PIN's counter.
TEST_P(SimBiometric, ObjectCountsAsVerified) {
    const BioCase& c = GetParam();
    SimCard card(c.profile);
    const Bytes verify = Concat({{0x00, 0x20, 0x00, card.GetProfile().biometricId, 0x14}, Bytes(20, 0)});
    EXPECT_EQ(Sw(card.Send(verify)), 0x63C4);
    EXPECT_EQ(card.Card().TriesLeft(0x20), 4);
    if (c.templateOk) {
        ASSERT_EQ(Sw(card.Send(Concat({Slice(verify, 0, 5), card.GetProfile().biometricTemplate}))), 0x9000);
    }
    if (c.pinOk) {
        ASSERT_EQ(card.LoginUser(), 0x9000);
    }
    const std::string listed = ToHex(Concat({{card.GetProfile().biometricId}, Hex("0101")}));
    EXPECT_EQ(ToHex(card.Send("80CE000000")).find(listed) != std::string::npos, c.verified);
}

const BioCase kSimBiometricCases[] = {
    {"Bio23ByTemplate", "bio-23", true, false, true},     {"Bio23NotByPin", "bio-23", false, true, false},
    {"Bio24ByTemplate", "bio-24", true, false, true},     {"Bio24ByPin", "bio-24", false, true, true},
    {"Bio25NotByTemplate", "bio-25", true, false, false}, {"Bio25NotByPin", "bio-25", false, true, false},
    {"Bio25ByBoth", "bio-25", true, true, true},
};
INSTANTIATE_TEST_SUITE_P(Table, SimBiometric, testing::ValuesIn(kSimBiometricCases), CaseName);

}  // namespace
