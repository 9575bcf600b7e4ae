#include <gcrypt.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/applet_helix.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/ticket.h"
#include "scripted_card.h"
#include "secure_channel_script.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::PinReference;
using Steps = std::vector<ScriptStep>;

namespace {

struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
    libapdu::IAppPin& pin = *applet.Pin();
};

Steps Join(Steps a, const Steps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The application directory names the user PIN in byte 1 of its tag 86.
Steps Load(uint8_t userId = 0x20) {
    return {{"80A4080C063F00300030 0200", "6205 8603 01" + HexByte(userId) + "00 9000"}};
}

// Selects 3F00/id, whose tag 85 holds `info`.
ScriptStep SelectObject(uint8_t id, const std::string& info) {
    return {"80A4080C04 3F00 00" + HexByte(id) + "00",
            "62" + HexByte(Hex(info).size() + 2) + "85" + HexByte(Hex(info).size()) + info + "9000"};
}

// The user PIN 0x20 selected, with its own counters, not verified.
Steps UserSelected(const std::string& counters = "33") {
    return Join(Load(), {SelectObject(0x20, "0120 00 04" + counters), {"80CE000000", "0000 9000"}});
}

std::string Show(const libapdu::PinState& s) {
    char text[48];
    std::snprintf(text, sizeof text, "len %u-%u tries %u/%u verified %02X", s.minLength, s.maxLength,
                  s.triesLeft, s.maxTries, s.verified);
    return text;
}

// Opens a protected VERIFY under the first 16 bytes of SHA-1(pin), checks that its second block is
// the card's challenge and returns the first (the host's random block).
ByteVector OpenVerify(const ByteVector& command, const ByteVector& pin, const std::string& challenge) {
    EXPECT_EQ(ToHex(ByteVector(command.begin(), command.begin() + 5)), "8020000010");
    if (command.size() != 21) {
        ADD_FAILURE() << "cryptogram of " << command.size() - 5 << " bytes";
        return {};
    }
    ByteVector digest(20);
    gcry_md_hash_buffer(GCRY_MD_SHA1, digest.data(), pin.data(), pin.size());
    const ByteVector plain = TdesCbcDecrypt(ByteVector(digest.begin(), digest.begin() + 16),
                                            ByteVector(command.begin() + 5, command.end()));
    EXPECT_EQ(ToHex(ByteVector(plain.begin() + 8, plain.end())), challenge);
    return ByteVector(plain.begin(), plain.begin() + 8);
}

const std::string kChallenge = "C1C2C3C4C5C6C7C8";

Steps ProtectedVerify(const std::string& answer = "9000") {
    return {{"0084000008", kChallenge + "9000"}, {"8020000010*", answer}};
}

// The verify text for a session record: check value, 01 81, kind, biometric value, identity.
std::string SessionText(uint32_t kind, const ByteVector& biometric, const std::u16string& identity,
                        bool spoil = false) {
    ByteVector data{0x01, 0x81};
    data.resize(2 + libapdu::kSessionRecordSize);
    for (int i = 0; i < 4; ++i) data[2 + i] = static_cast<uint8_t>(kind >> (8 * i));
    std::copy(biometric.begin(), biometric.end(), data.begin() + 6);
    for (size_t i = 0; i < identity.size(); ++i) {
        data[26 + 2 * i] = static_cast<uint8_t>(identity[i] & 0xFF);
        data[27 + 2 * i] = static_cast<uint8_t>(identity[i] >> 8);
    }
    ByteVector all(libapdu::kCheckValueSize);
    libapdu::DeriveKey24(data, all.data(), all.size());
    if (spoil) all[0] ^= 0x01;
    all.insert(all.end(), data.begin(), data.end());
    return libapdu::Base64Encode(all);
}

ByteVector Bytes(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

}  // namespace

TEST(PinHelix, ReferencesAreReadOnceFromTheApplicationDirectory) {
    ScriptedCard card(Load(0x25));
    Helix h;
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 0-0 tries 255/255 verified 10");
    EXPECT_EQ(h.pin.GetUserPinRef(), (PinReference{0x3F00, 0x25}));
    EXPECT_EQ(h.pin.GetAdminKeyRef(), (PinReference{0x3F00, 0x10}));
    EXPECT_EQ(h.pin.GetAuxPinRef(), (PinReference{0x3F00, 0x01}));
    EXPECT_EQ(h.pin.GetPinParameter(), 3);
}

TEST(PinHelix, ShortSecurityAttributesFailWith6281) {
    ScriptedCard card({{"80A4080C063F00300030 0200", "6203 860101 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.GetUserPinRef(); }), 0x6281);
}

struct SelectCase {
    const char* name;
    uint8_t id;
    Steps selection;  // after the references are loaded
    std::string state;
};

void PrintTo(const SelectCase& c, std::ostream* os) {
    *os << c.name;
}

class PinHelixSelect : public testing::TestWithParam<SelectCase> {};

TEST_P(PinHelixSelect, LoadsCountersAndVerifiedState) {
    const SelectCase& c = GetParam();
    ScriptedCard card(Join(Load(), c.selection));
    Helix h;
    h.pin.SelectPin({0x3F00, c.id});
    EXPECT_EQ(Show(h.pin.GetPinState()), c.state);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PinHelixSelect,
    testing::Values(SelectCase{"OwnCountersOfKind0",
                               0x20,
                               {SelectObject(0x20, "0120 00 04 35"), {"80CE000000", "0000 9000"}},
                               "len 4-16 tries 3/5 verified 00"},
                    SelectCase{"OwnCountersOfKind1",
                               0x30,
                               {SelectObject(0x30, "0130 01 04 AF"), {"80CE000000", "0000 9000"}},
                               "len 4-16 tries 10/15 verified 00"},
                    SelectCase{"Kind10ReadsThePinObject",
                               0x25,
                               {SelectObject(0x25, "0325 10 14 00"),
                                SelectObject(0x20, "0120 00 04 24"),
                                {"80CE000000", "0000 9000"}},
                               "len 4-16 tries 2/4 verified 00"},
                    SelectCase{"Kind0FReadsThePinObject",
                               0x23,
                               {SelectObject(0x23, "0323 0F 14 99"),
                                SelectObject(0x20, "0120 00 04 55"),
                                {"80CE000000", "0000 9000"}},
                               "len 4-16 tries 5/5 verified 00"},
                    SelectCase{"OtherKindsHaveNoCounters",
                               0x10,
                               {SelectObject(0x10, "0210 02 10 33"), {"80CE000000", "0000 9000"}},
                               "len 4-16 tries 255/255 verified 00"},
                    SelectCase{"ListedObjectIsVerified",
                               0x20,
                               {SelectObject(0x20, "0120 00 04 33"), {"80CE000000", "0000 200101 9000"}},
                               "len 4-16 tries 3/3 verified FF"},
                    SelectCase{
                        "OnlyTheFirstByteOfAnEntryNamesTheObject",
                        0x20,
                        {SelectObject(0x20, "0120 00 04 33"), {"80CE000000", "0000 102001 232020 9000"}},
                        "len 4-16 tries 3/3 verified 00"}),
    [](const auto& test) { return std::string(test.param.name); });

struct MalformedCase {
    const char* name;
    Steps selection;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
    *os << c.name;
}

class PinHelixSelectMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(PinHelixSelectMalformed, FailsWith6281) {
    ScriptedCard card(Join(Load(), GetParam().selection));
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.SelectPin({0x3F00, 0x20}); }), 0x6281);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PinHelixSelectMalformed,
    testing::Values(MalformedCase{"TwoByteTag85", {SelectObject(0x20, "0120")}},
                    MalformedCase{"CountersMissing", {SelectObject(0x20, "0120 00 04")}},
                    MalformedCase{"ListWithoutItsLeadingBytes",
                                  {SelectObject(0x20, "0120 00 04 33"), {"80CE000000", "00 9000"}}},
                    MalformedCase{"ListWithAPartialEntry",
                                  {SelectObject(0x20, "0120 00 04 33"), {"80CE000000", "0000 2001 9000"}}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(PinHelix, ThirdReferenceRefusesVerifyWithoutACommand) {
    ScriptedCard card(Join(Load(), {SelectObject(0x01, "0101 00 04 33"), {"80CE000000", "0000 9000"}}));
    Helix h;
    h.pin.SelectPin(h.pin.GetAuxPinRef());
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.VerifyPin(Bytes("1234")); }), 0xFACE);
}

TEST(PinHelix, OtherObjectsAreVerifiedPlainAndBecomeVerified) {
    ScriptedCard card(Join(
        Load(),
        {SelectObject(0x30, "0130 00 04 23"), {"80CE000000", "0000 9000"}, {"0020000004 31323334", "9000"}}));
    Helix h;
    h.pin.SelectPin({0x3F00, 0x30});
    h.pin.VerifyPin(Bytes("1234"));
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 3/3 verified FF");
}

TEST(PinHelix, RefusedVerifyLeavesTriesOneLower) {
    ScriptedCard card(Join(
        Load(),
        {SelectObject(0x30, "0130 00 04 23"), {"80CE000000", "0000 9000"}, {"0020000004 31323334", "63C1"}}));
    Helix h;
    h.pin.SelectPin({0x3F00, 0x30});
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.VerifyPin(Bytes("1234")); }), 0x6300);
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 1/3 verified 00");
}

TEST(PinHelix, UserPinGoesOutOnlyAsACryptogramOverTheChallenge) {
    ScriptedCard card(Join(Join(UserSelected(), ProtectedVerify()), ProtectedVerify()));
    Helix h;
    h.pin.SelectPin(h.pin.GetUserPinRef());
    h.pin.VerifyPin(Bytes("1234"));
    const ByteVector first = OpenVerify(card.Received().back(), Bytes("1234"), kChallenge);
    h.pin.VerifyPin(Bytes("1234"));
    const ByteVector second = OpenVerify(card.Received().back(), Bytes("1234"), kChallenge);
    EXPECT_NE(first, second);
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 3/3 verified FF");
}

TEST(PinHelix, VerifyWithNothingSelectedSelectsTheUserPin) {
    ScriptedCard card(Join(UserSelected(), ProtectedVerify()));
    Helix h;
    h.pin.VerifyPin(Bytes("1234"));
    OpenVerify(card.Received().back(), Bytes("1234"), kChallenge);
}

TEST(PinHelix, ChallengeOfOtherThanEightBytesFailsWith6281) {
    for (const std::string answer : {"01020304050607", "010203040506070809"}) {
        ScriptedCard card({{"0084000008", answer + "9000"}});
        Helix h;
        EXPECT_EQ(ThrownStatusWord([&] { h.pin.GetChallenge(); }), 0x6281) << answer;
    }
    ScriptedCard card({{"0084000008", kChallenge + "9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.pin.GetChallenge()), kChallenge);
}

struct SessionCase {
    const char* name;
    uint32_t kind;
    std::string biometric;  // 20 bytes
    std::u16string identity;
    Steps verify;
};

void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kTemplate = "A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4";
const std::string kNoTemplate = "0000000000000000000000000000000000000000";

class PinHelixSession : public testing::TestWithParam<SessionCase> {};

TEST_P(PinHelixSession, PresentsTheRecordsPartsInTurn) {
    const SessionCase& c = GetParam();
    const std::string text = SessionText(c.kind, Hex(c.biometric), c.identity);
    ASSERT_EQ(text.size(), 208u);
    ScriptedCard card(Join(UserSelected(), c.verify));
    Helix h;
    h.pin.VerifyPin(Bytes(text));
    if (!c.identity.empty()) OpenVerify(card.Received().back(), Hex("5A6FC3AB"), kChallenge);
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 3/3 verified FF");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PinHelixSession,
    testing::Values(SessionCase{"PinOnly", 0x20, kNoTemplate, u"Zo\u00EB", ProtectedVerify()},
                    SessionCase{"Finger", 0x23, kTemplate, u"", {{"0020002314" + kTemplate, "9000"}}},
                    SessionCase{"FingerWithText", 0x23, kTemplate, u"Zo\u00EB",
                                Join({{"0020002314" + kTemplate, "9000"}}, ProtectedVerify())},
                    SessionCase{"OptionalFingerAbsent", 0x24, kNoTemplate, u"Zo\u00EB", ProtectedVerify()},
                    SessionCase{
                        "OptionalFingerGiven", 0x24, kTemplate, u"", {{"0020002414" + kTemplate, "9000"}}},
                    SessionCase{"FingerAndPin", 0x25, kTemplate, u"Zo\u00EB",
                                Join({{"0020002514" + kTemplate, "9000"}}, ProtectedVerify())}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(PinHelix, RefusedBiometricStopsTheSessionBeforeThePin) {
    ScriptedCard card(Join(UserSelected(), {{"0020002514" + kTemplate, "63C2"}}));
    Helix h;
    const std::string text = SessionText(0x25, Hex(kTemplate), u"1234");
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.VerifyPin(Bytes(text)); }), 0x6300);
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 2/3 verified 00");
}

TEST(PinHelix, SessionRecordWithNothingToPresentSendsNothing) {
    ScriptedCard card({});
    Helix h;
    const std::string text = SessionText(0, Hex(kNoTemplate), u"");
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.VerifyPin(Bytes(text)); }), 0x6300);
}

TEST(PinHelix, SessionTextWithAWrongCheckValueIsAnOrdinaryPin) {
    const std::string text = SessionText(0x25, Hex(kTemplate), u"1234", true);
    ScriptedCard card(Join(UserSelected(), ProtectedVerify()));
    Helix h;
    h.pin.VerifyPin(Bytes(text));
    OpenVerify(card.Received().back(), Bytes(text), kChallenge);
}

struct NewPinCase {
    const char* name;
    std::string value;
    uint16_t sw;
};

void PrintTo(const NewPinCase& c, std::ostream* os) {
    *os << c.name;
}

class PinHelixNewPin : public testing::TestWithParam<NewPinCase> {};

TEST_P(PinHelixNewPin, IsRefusedBeforeAnyCommand) {
    ScriptedCard card({});
    Helix h;
    const ByteVector value = Hex(GetParam().value);
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.ChangePin(value); }), GetParam().sw);
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.UnblockPin(value); }), GetParam().sw);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PinHelixNewPin,
    testing::Values(NewPinCase{"Empty", "", 0x6300}, NewPinCase{"HighBitSet", "313280", 0x6300},
                    NewPinCase{"ZeroByte", "310032", 0x6300},
                    NewPinCase{"LongerThanOneCommand", std::string(2 * 251, '3'), 0x6B00}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(PinHelix, ChangeSendsTheNewValueUnderTheSecureChannel) {
    ScriptedCard card(SecureChannel("8C240000"));
    Helix h;
    h.pin.ChangePin(Bytes("1234"));
    EXPECT_EQ(OpenSecured(card.Received()), Hex("6281068104 31323334"));
}

TEST(PinHelix, UnblockResetsTheCounterThenSetsTheValue) {
    ScriptedCard card(Join({{"802C000000", "9000"}}, SecureChannel("8C240000")));
    Helix h;
    h.pin.UnblockPin(Bytes("98765"));
    EXPECT_EQ(OpenSecured(card.Received()), Hex("6281078105 3938373635"));
}

TEST(PinHelix, LogoutNamesTheSelectedObject) {
    ScriptedCard card(Join(UserSelected(), {{"802800000400000020", "9000"}}));
    Helix h;
    h.pin.SelectPin({0x3F00, 0x20});
    h.pin.Logout();
}

TEST(PinHelix, AcceptedAnswerMarksTheKeyVerifiedWithFullTries) {
    ScriptedCard card(Join(Load(), {SelectObject(0x10, "0210 00 10 23"),
                                    {"80CE000000", "0000 9000"},
                                    {"8082000008 1122334455667788", "9000"}}));
    Helix h;
    h.pin.SelectPin(h.pin.GetAdminKeyRef());
    h.pin.ExternalAuthenticate(Hex("1122334455667788"));
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 3/3 verified FF");
}

TEST(PinHelix, RefusedAnswerLeavesTriesOneLower) {
    ScriptedCard card(Join(Load(), {SelectObject(0x10, "0210 00 10 23"),
                                    {"80CE000000", "0000 9000"},
                                    {"8082000008 1122334455667788", "63C1"}}));
    Helix h;
    h.pin.SelectPin(h.pin.GetAdminKeyRef());
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.ExternalAuthenticate(Hex("1122334455667788")); }), 0x6300);
    EXPECT_EQ(Show(h.pin.GetPinState()), "len 4-16 tries 1/3 verified 00");
}
