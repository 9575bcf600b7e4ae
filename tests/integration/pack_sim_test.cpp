#include <gtest/gtest.h>

#include "hex.h"
#include "libapdu/applet_helix.h"
#include "module_over_sim.h"
#include "sim_card.h"
#include "thrown.h"

using libapdu::ByteVector;

namespace {

// The administrator's answer to the card's challenge, computed with libgcrypt.
void LoginAdmin(moduletest::ModuleCard& m) {
    ByteVector response;
    CSCardSender sender(m.Card(), 3);
    sender.Transmit(Hex("80A4080C04 3F000010 00"), response);
    ASSERT_EQ(simtest::Sw(response), 0x9000);
    sender.Transmit(Hex("0084000008"), response);
    const ByteVector answer =
        simtest::GcryTdes(GCRY_CIPHER_MODE_ECB, m.Profile().adminKey, simtest::Data(response));
    ByteVector command = Hex("8082000008");
    command.insert(command.end(), answer.begin(), answer.end());
    sender.Transmit(command, response);
    ASSERT_EQ(simtest::Sw(response), 0x9000);
}

uint16_t VerifyUserPin(moduletest::ModuleCard& m, const ByteVector& pin) {
    CSCardSender sender(m.Card(), 3);
    ByteVector response;
    sender.Transmit(Hex("80A4080C04 3F000020 00"), response);
    sender.Transmit(Hex("0084000008"), response);
    sender.Transmit(simtest::VerifyCommand(pin, simtest::Data(response)), response);
    return simtest::Sw(response);
}

}  // namespace

// The default group's public value needs the extended form (256 bytes); the 1536-bit one fits
// the short form (192 bytes).
class PackOverSimulatorGroup : public testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Groups, PackOverSimulatorGroup, testing::Values("default", "dh-1536"),
                         [](const testing::TestParamInfo<const char*>& param) {
                             return std::string(param.param) == "default" ? "Modp2048" : "Modp1536";
                         });

TEST_P(PackOverSimulatorGroup, SecureSendSetsAPinTheCardThenAccepts) {
    moduletest::ModuleCard m(helixsim::ProfileByName(GetParam()));
    LoginAdmin(m);
    CSCardSender sender(m.Card(), 3);
    libapdu::CAppletHelix direct(&sender);
    const ByteVector pin{'4', '3', '2', '1', '9', '9'};
    ByteVector command = Hex("8024000000");
    command[4] = static_cast<uint8_t>(pin.size() + 5);
    command.insert(command.end(), {0x62, 0x81, static_cast<uint8_t>(pin.size() + 2), 0x81,
                                   static_cast<uint8_t>(pin.size())});
    command.insert(command.end(), pin.begin(), pin.end());
    // The user object must be the current one for the card to know whose PIN is set.
    ByteVector response;
    sender.Transmit(Hex("80A4080C04 3F000020 00"), response);
    ByteVector answer;
    direct.Pack()->SecureSend(command, answer);
    EXPECT_EQ(ToHex(answer), "9000");
    EXPECT_EQ(VerifyUserPin(m, pin), 0x9000);
    EXPECT_EQ(VerifyUserPin(m, m.Profile().userPin), 0x63C4);
}

TEST(PackOverSimulator, RefusedWrappedCommandEndsTheSessionAndThrowsItsWord) {
    moduletest::ModuleCard m;  // nobody logged in: setting a PIN is refused
    CSCardSender sender(m.Card(), 3);
    libapdu::CAppletHelix direct(&sender);
    ByteVector response;
    sender.Transmit(Hex("80A4080C04 3F000020 00"), response);
    ByteVector answer;
    EXPECT_EQ(
        ThrownStatusWord([&] { direct.Pack()->SecureSend(Hex("8024000009 6281068104 31323334"), answer); }),
        0x6900);
    const auto commands = m.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(ToHex(commands.back()), "8086FFFF");
}
