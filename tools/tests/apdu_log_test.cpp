#include "mdhost/apdu_log.h"

#include <gtest/gtest.h>

#include <fstream>

#include "mdhost/host_os.h"

namespace mdhost {
namespace {

// As the module writes its entries: a call line with its time line, commands of every kind,
// responses, a record dump whose title also counts bytes, and a transmission error.
const char* const kLog =
    "Fri Dec  4 16:23:38 2026\n<P:1; T:2: hSCardCtx:0x00000001; hScard:0x00000002>: CardReadFile(...)\n\n"
    "CAPDU:  (5 bytes): 00 84 00 00 08 \n\n"
    "RAPDU:  (10 bytes): 01 02 03 04 05 06 07 08 90 00 \n\n"
    "CAPDU_6C:  (5 bytes): 00 b0 00 00 12 \n\n"
    "RAPDU:  (2 bytes): 6c 12 \n\n"
    "CAPDU_reqResponse:  (5 bytes): 00 c0 00 00 20 \n\n"
    "Readed content from cmapfile (19 bytes): 00 86 \n\n"
    "SCardTransmit error = 0x80100068\n\n";

TEST(CountApdus, CountsEveryKindOfCommandAndTheBytesBothWaysButNoMalformedLine) {
    const ApduCount count = CountApdus(kLog);
    EXPECT_EQ(count.commands, 3u);
    EXPECT_EQ(count.bytesSent, 15u);
    EXPECT_EQ(count.bytesReceived, 12u);
    EXPECT_EQ(CountApdus("CAPDU:  (4 bytes): 00 a4 04 00").commands, 1u) << "a last line without line feed";
    const ApduCount malformed = CountApdus(
        "CAPDU: (x bytes): 00\nCAPDU:  (5 byte): 00\nRAPDU:  (99999999999 bytes): \nCAPDU: no count\nCAPDU:  "
        "(");
    EXPECT_EQ(malformed.commands, 0u);
    EXPECT_EQ(malformed.bytesReceived, 0u);
}

TEST(ApduLog, APrivateLogCountsOnlyWhatFollowsTheMarkAndGoesWithTheVariable) {
    os::UnsetEnv("TQ_MD_LOG");
    std::string path;
    {
        const CApduLog log;
        path = log.Path();
        ASSERT_TRUE(log.Private());
        EXPECT_EQ(os::GetEnv("TQ_MD_LOG"), path);
        { std::ofstream(path, std::ios::app) << "CAPDU:  (5 bytes): 00 84 00 00 08 \n\n"; }
        const uint64_t mark = log.Mark();
        {
            std::ofstream(path, std::ios::app)
                << "CAPDU:  (4 bytes): 00 a4 04 00 \n\nRAPDU:  (2 bytes): 90 00 \n";
        }
        const ApduCount count = log.CountSince(mark);
        EXPECT_EQ(count.commands, 1u);
        EXPECT_EQ(count.bytesSent, 4u);
        EXPECT_EQ(count.bytesReceived, 2u);
    }
    EXPECT_FALSE(os::FileExists(path));
    EXPECT_EQ(os::GetEnv("TQ_MD_LOG"), "");
}

TEST(ApduLog, UsesTheLogTheCallerAskedFor) {
    const std::string path = os::CreateTempFile("mdhost-test-", ".log");
    os::SetEnv("TQ_MD_LOG", path);
    {
        const CApduLog log;
        EXPECT_FALSE(log.Private());
        EXPECT_EQ(log.Path(), path);
    }
    EXPECT_TRUE(os::FileExists(path));
    EXPECT_EQ(os::GetEnv("TQ_MD_LOG"), path);
    os::UnsetEnv("TQ_MD_LOG");
    os::RemoveFile(path);
}

}  // namespace
}  // namespace mdhost
