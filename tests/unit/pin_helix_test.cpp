#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/applet_helix.h"
#include "scripted_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::IAppPin;
using libapdu::PinReference;

namespace {

struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
    IAppPin& pin = *applet.Pin();
};

const std::string kLoad = "80A4080C063F00300030 0200";

// The application directory names the user PIN in byte 1 of its tag 86.
Script Load(uint8_t userId = 0x20) {
    return {{kLoad, "6205 8603 01" + HexByte(userId) + "00 9000"}};
}

// Selects 3F00/id, whose tag 85 holds `info`.
Script ByPin(uint8_t id, const std::string& info) {
    return {{"80A4080C04 3F00 00" + HexByte(id) + "00", Tlv("62", Tlv("85", info)) + "9000"}};
}

// The same, then the verified objects read.
Script Select(uint8_t id, const std::string& info, const std::string& verified = "0000 9000") {
    return ByPin(id, info) + Script{{"80CE000000", verified}};
}

// The user PIN 0x20 selected with three tries, not verified.
Script UserSelected() {
    return Load() + Select(0x20, "0120 00 04 33");
}

// Lengths, tries left/maximum, verified.
std::string Show(const libapdu::PinState& s) {
    return std::to_string(s.minLength) + "-" + std::to_string(s.maxLength) + " " +
           std::to_string(s.triesLeft) + "/" + std::to_string(s.maxTries) + " " + HexByte(s.verified);
}

const std::string kVerified = "4-16 3/3 FF";
const std::string kChallenge = "C1C2C3C4C5C6C7C8";

// A protected VERIFY: 16 bytes of cryptogram, the PIN nowhere in clear (the simulator tests check what it
// opens to); returns the cryptogram.
std::string Cryptogram(const ByteVector& command, const std::string& pin) {
    const std::string hex = ToHex(command);
    EXPECT_EQ(hex.substr(0, 10), "8020000010");
    EXPECT_EQ(hex.size(), 42u);
    EXPECT_EQ(hex.find(ToHex(ByteVector(pin.begin(), pin.end()))), std::string::npos) << "PIN in clear";
    return hex.substr(10);
}

Script ProtectedVerify(const std::string& answer = "9000") {
    return {{"0084000008", kChallenge + "9000"}, {"8020000010*", answer}};
}

ByteVector Bytes(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

}  // namespace

// Selecting an object loads its counters (its own, or the PIN object's for kinds 0F and 10) and whether the
// card lists it as verified; an empty state means the answers fail with 6281.
TEST(PinHelix, SelectionLoadsCountersAndVerifiedState) {
    struct Case {
        const char* name;
        uint8_t id;
        Script script;
        std::string state;
    };
    const Case cases[] = {
        {"own counters of kind 0", 0x20, Load() + Select(0x20, "0120 00 04 35"), "4-16 3/5 00"},
        {"kind 10 reads the PIN object", 0x25,
         Load() + ByPin(0x25, "0325 10 14 00") + Select(0x20, "0120 00 04 24"), "4-16 2/4 00"},
        {"other kinds have no counters", 0x10, Load() + Select(0x10, "0210 02 10 33"), "4-16 255/255 00"},
        {"listed object is verified", 0x20, Load() + Select(0x20, "0120 00 04 33", "0000 200101 9000"),
         kVerified},
        {"only the first byte of an entry names the object", 0x20,
         Load() + Select(0x20, "0120 00 04 33", "0000 102001 232020 9000"), "4-16 3/3 00"},
        {"short security attributes", 0x20, {{kLoad, "6203 860101 9000"}}, ""},
        {"two-byte tag 85", 0x20, Load() + ByPin(0x20, "0120"), ""},
        {"list without its leading bytes", 0x20, Load() + Select(0x20, "0120 00 04 33", "00 9000"), ""},
        {"list with a partial entry", 0x20, Load() + Select(0x20, "0120 00 04 33", "0000 2001 9000"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedCard card(c.script);
        Helix h;
        if (c.state.empty()) {
            EXPECT_EQ(ThrownStatusWord([&] { h.pin.SelectPin({0x3F00, c.id}); }), 0x6281);
        } else {
            h.pin.SelectPin({0x3F00, c.id});
            EXPECT_EQ(Show(h.pin.GetPinState()), c.state);
        }
    }
}

// Objects other than the user PIN: plain VERIFY, EXTERNAL AUTHENTICATE for the administrator key, LOGOUT
// naming the selected object; a refusal leaves one try less, success all of them.
TEST(PinHelix, OtherObjectsAreVerifiedPlainlyAndCounted) {
    struct Case {
        const char* name;
        Script steps;  // after the selection
        std::function<void(IAppPin&)> call;
        std::string state;
        std::optional<uint16_t> refused;
        uint8_t id;
    };
    const auto verify = [](IAppPin& p) { p.VerifyPin(Bytes("1234")); };
    const auto answer = [](IAppPin& p) { p.ExternalAuthenticate(Hex("1122334455667788")); };
    const auto logout = [](IAppPin& p) { p.Logout(); };
    const std::string plain = "0020000004 31323334";
    const std::string external = "8082000008 1122334455667788";
    const Case cases[] = {
        {"plain verify", {{plain, "9000"}}, verify, kVerified, {}, 0x30},
        {"refused verify", {{plain, "63C1"}}, verify, "4-16 1/3 00", 0x6300, 0x30},
        {"administrator answer", {{external, "9000"}}, answer, kVerified, {}, 0x10},
        {"refused answer", {{external, "63C1"}}, answer, "4-16 1/3 00", 0x6300, 0x10},
        {"logout", {{"802800000400000030", "9000"}}, logout, "4-16 2/3 00", {}, 0x30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedCard card(Load() + Select(c.id, "01" + HexByte(c.id) + " 00 04 23") + c.steps);
        Helix h;
        h.pin.SelectPin({0x3F00, c.id});
        EXPECT_EQ(ThrownStatusWord([&] { c.call(h.pin); }), c.refused);
        EXPECT_EQ(Show(h.pin.GetPinState()), c.state);
    }
}

// With nothing selected the user PIN is selected first; each VERIFY carries a fresh host block.
TEST(PinHelix, UserPinGoesOutOnlyAsACryptogramOverTheChallenge) {
    ScriptedCard card(UserSelected() + ProtectedVerify() + ProtectedVerify());
    Helix h;
    h.pin.VerifyPin(Bytes("1234"));
    const std::string first = Cryptogram(card.Received().back(), "1234");
    h.pin.VerifyPin(Bytes("1234"));
    EXPECT_NE(first, Cryptogram(card.Received().back(), "1234"));
    EXPECT_EQ(Show(h.pin.GetPinState()), kVerified);
}

TEST(PinHelix, ChallengeOfOtherThanEightBytesFailsWith6281) {
    for (const std::string answer : {"01020304050607", "010203040506070809"}) {
        ScriptedCard card({{"0084000008", answer + "9000"}});
        Helix h;
        EXPECT_EQ(ThrownStatusWord([&] { h.pin.GetChallenge(); }), 0x6281) << answer;
    }
}

TEST(PinHelix, UnusableValuesAreRefusedBeforeAnyCommand) {
    const std::pair<std::string, uint16_t> newValues[] = {
        {"", 0x6300}, {"313280", 0x6300}, {"310032", 0x6300}, {Repeat("33", 251), 0x6B00}};
    ScriptedCard card({});
    Helix h;
    for (const auto& entry : newValues) {
        const ByteVector value = Hex(entry.first);
        EXPECT_EQ(ThrownStatusWord([&] { h.pin.ChangePin(value); }), entry.second) << entry.first;
        EXPECT_EQ(ThrownStatusWord([&] { h.pin.UnblockPin(value); }), entry.second) << entry.first;
    }
}

// Unblock resets the counter before it sets the new value; change only sets it.
TEST(PinHelix, UnblockResetsTheCounterFirst) {
    ScriptedCard card({{"802C000000", "9000"}, {"8048008000", "6A88"}, {"8048008000", "6A88"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.UnblockPin(Bytes("98765")); }), 0x6A82);
    EXPECT_EQ(ThrownStatusWord([&] { h.pin.ChangePin(Bytes("98765")); }), 0x6A82);
}
