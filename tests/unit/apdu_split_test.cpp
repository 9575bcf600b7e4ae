#include <gtest/gtest.h>

#include <string>

#include "hex.h"
#include "libapdu/token/apdu.h"
#include "libapdu/token/failure.h"
#include "thrown.h"

TEST(SplitApdu, GivesHeaderDataAndLe) {
    struct Case {
        std::string command;
        const char* data;
        uint16_t le;
    };
    const Case cases[] = {
        {"00A40400", "", 0},
        {"00B0000010", "", 0x10},
        {"00B00000000100", "", 0x0100},  // extended Le only
        {"00B0000000", "", 0},
        {"00B000000001", "", 0x0001},
        {"00A40400023F00", "3F00", 0},
        {"802A9E9A0301020300", "010203", 0},
        {"00A40400023F000102", "3F00", 0x0102},
        {"00A40400023F00000100", "3F00", 0x0100},
        {"002A9E9A000003010203", "010203", 0},  // extended data
        {"002A9E9A0000030102030000", "010203", 0},
        {"802A9E9A01AA" + Repeat("55", 256), "AA", 0},  // 256 trailing bytes read as no Le
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const libapdu::ApduParts parts = libapdu::SplitApdu(Hex(c.command));
        EXPECT_EQ(ToHex(parts.header.data(), parts.header.size()), c.command.substr(0, 8));
        EXPECT_EQ(ToHex(parts.data), c.data);
        EXPECT_EQ(parts.le, c.le);
    }
    for (const char* bad : {"", "00A404", "00A40400023F", "002A9E9A0001000102", "00A40400023F0001020304",
                            "00A40400023F00010203"}) {
        EXPECT_EQ(ThrownStatusWord([&] { libapdu::SplitApdu(Hex(bad)); }), 0x6B00) << bad;
    }
}
