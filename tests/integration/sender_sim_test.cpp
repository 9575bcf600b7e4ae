// The module's sender over the simulated readers.
#include <gtest/gtest.h>

#include "hex.h"
#include "module_over_sim.h"
#include "sim_card.h"

using libapdu::ByteVector;

TEST(SenderOverSimulator, TalksT1ToTheCardWhateverTheCallerGuessed) {
    moduletest::ModuleCard m;
    CSCardSender sender(m.Card(), pcsc::kProtocolT0);
    EXPECT_EQ(sender.GetATR(), helixsim::DefaultProfile().atr);
    ByteVector response;
    sender.Transmit(Hex(simtest::kSelectApplet), response);
    EXPECT_EQ(simtest::Sw(response), 0x9000);
    // The card identifier file through SELECT by path and READ BINARY: a length prefix of 16.
    sender.Transmit(Hex("80A4080C08 3F00300030034000 00"), response);
    EXPECT_EQ(simtest::Sw(response), 0x9000);
    sender.Transmit(Hex("00B0000012"), response);
    ASSERT_EQ(response.size(), 20u);
    EXPECT_EQ(ByteVector(response.begin(), response.begin() + 2), Hex("0010"));
}
