// mdhost's own parts: options, APDU counting and host services.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "mdhost/apdu_log.h"
#include "mdhost/host_os.h"
#include "mdhost/host_services.h"
#include "mdhost/options.h"

namespace mdhost {
namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

TEST(Options, RefusalsNameTheMistake) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "no command"},
        {"scinfo scinfo", "unexpected argument scinfo"},
        {"scinfo --reader", "needs a value"},
        {"scinfo --runs 0", "--runs takes"},
        {"scinfo --runs 101", "--runs takes"},
        {"scinfo --frobnicate 1", "unknown option"},
        {"scinfo --json=yes", "takes no value"},
        {"scinfo --reader R --profile no-ec", "do not go with --reader"},
        {"seed --reader R", "embedded card only"},
        {"reset --runs 2", "scinfo only"},
        {"logon --policy on", "pin only"},
        {"pin --policy strict", "--policy takes"},
        {"scinfo --reader R --fault remove-before:5", "embedded card only"},
        {"scinfo --fault pull:5", "--fault wants KIND:N"},
        {"scinfo --fault reset-after:0", "--fault wants a number from 1"},
        {"scinfo --fault sw:5:6G00", "wants a number from 0 to 65535"},
        {"pin --admin-key 0102030405060708111213141516171821222324252627g8", "--admin-key takes"},
    };
    for (const auto& [line, why] : cases) {
        Options options;
        const auto error = ParseOptions(Words(line), options);
        ASSERT_TRUE(error.has_value()) << line;
        EXPECT_NE(error->find(why), std::string::npos) << *error;
    }
}

TEST(Options, ValuesInBothFormsDefaultsAndFaultsInOrder) {
    Options o;
    ASSERT_FALSE(ParseOptions(Words("--json scinfo --reader=Virtual --module /m.so --runs=100"), o));
    EXPECT_EQ(o.command + " " + o.reader + " " + o.module + " " + std::to_string(o.runs),
              "scinfo Virtual /m.so 100");
    EXPECT_TRUE(o.json);
    EXPECT_FALSE(o.Embedded());
    Options spaced;
    ASSERT_FALSE(ParseOptions({"scinfo", "--reader", "Virtual PCD 00 00"}, spaced));
    EXPECT_EQ(spaced.reader, "Virtual PCD 00 00");
    Options seed;
    ASSERT_FALSE(
        ParseOptions(Words("seed --card-image c.img --fault remove-before:5 --fault=sw:7:6a82"), seed));
    EXPECT_TRUE(seed.Embedded());
    EXPECT_EQ(seed.profile + " " + seed.pin + " " + std::to_string(seed.runs), "default 12345678 1");
    EXPECT_EQ(seed.faults, (std::vector<std::string>{"remove-before:5", "sw:7:6a82"}));
}

TEST(ApduLog, CountsCommandsAndBytesOfWellFormedLinesOnly) {
    const ApduCount count = CountApdus(
        "CAPDU:  (5 bytes): 00 84 00 00 08 \n\nRAPDU:  (10 bytes): 01 02 03 04 05 06 07 08 90 00 \n\n"
        "CAPDU_6C:  (5 bytes): 00 b0 00 00 12 \n\nRAPDU:  (2 bytes): 6c 12 \n\n"
        "CAPDU_reqResponse:  (5 bytes): 00 c0 00 00 20 \n\n"
        "Readed content from cmapfile (19 bytes): 00 86 \n\n"
        "CAPDU: (x bytes): 00\nCAPDU:  (5 byte): 00\nRAPDU:  (99999999999 bytes): \nCAPDU:  (");
    EXPECT_EQ((std::vector<uint64_t>{count.commands, count.bytesSent, count.bytesReceived}),
              (std::vector<uint64_t>{3, 15, 12}));
}

// A private log goes with its variable; a log the caller named is left where it is.
TEST(ApduLog, PrivateLogCountsFromTheMarkAndTheCallersLogStays) {
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
        EXPECT_EQ((std::vector<uint64_t>{count.commands, count.bytesSent, count.bytesReceived}),
                  (std::vector<uint64_t>{1, 4, 2}));
    }
    EXPECT_FALSE(os::FileExists(path));
    EXPECT_EQ(os::GetEnv("TQ_MD_LOG"), "");
    path = os::CreateTempFile("mdhost-test-", ".log");
    os::SetEnv("TQ_MD_LOG", path);
    { EXPECT_FALSE(CApduLog().Private()); }
    EXPECT_TRUE(os::FileExists(path));
    os::UnsetEnv("TQ_MD_LOG");
    os::RemoveFile(path);
}

TEST(HostServices, BlocksAreCountedZeroedAndFreedOnceAndTheCacheHandsOutCopies) {
    CAllocationTracker& tracker = CAllocationTracker::Instance();
    const AllocationStats before = tracker.Stats();
    CARD_DATA data{};
    CHostCache cache;
    FillHostServices(data, cache);
    EXPECT_EQ(data.dwVersion, 7u);
    auto* block = static_cast<uint8_t*>(data.pfnCspAlloc(24));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + 24, 0), 24);
    block = static_cast<uint8_t*>(data.pfnCspReAlloc(block, 100));
    EXPECT_EQ(tracker.Stats().liveBytes, before.liveBytes + 100);
    data.pfnCspFree(block);
    data.pfnCspFree(block);
    int onTheStack = 0;
    EXPECT_EQ(tracker.ReAlloc(&onTheStack, 16), nullptr);
    const AllocationStats after = tracker.Stats();
    EXPECT_EQ(after.live, before.live);
    EXPECT_EQ(after.allocations, before.allocations + 2);
    EXPECT_EQ(after.badFrees, before.badFrees + 2);

    WCHAR tag[] = HELIX_WTEXT("cardcf");
    BYTE content[] = {1, 2, 3};
    ASSERT_EQ(data.pfnCspCacheAddFile(data.pvCacheContext, tag, 0, content, sizeof content), SCARD_S_SUCCESS);
    PBYTE copy = nullptr;
    DWORD size = 0;
    ASSERT_EQ(data.pfnCspCacheLookupFile(data.pvCacheContext, tag, 0, &copy, &size), SCARD_S_SUCCESS);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(copy, content, 3), 0);
    data.pfnCspFree(copy);
    EXPECT_EQ(data.pfnCspCacheDeleteFile(data.pvCacheContext, tag, 0), SCARD_S_SUCCESS);
    EXPECT_EQ(data.pfnCspCacheLookupFile(data.pvCacheContext, tag, 0, &copy, &size), SCARD_E_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace mdhost
