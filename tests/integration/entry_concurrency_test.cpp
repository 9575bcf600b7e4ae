// The call lock seen from outside: calls on two contexts never run at the same time, and a call
// waits while another one holds the lock. Nothing here measures time; pauses only give a broken
// lock the chance to show itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "module_over_sim.h"

namespace {

using moduletest::Acquired;
using moduletest::SimReader;

char g_mscp[] = "mscp";
char g_cmapfile[] = "cmapfile";

// Log entries without their time lines, thread ids made alike.
std::vector<std::string> Entries(const std::string& log) {
    static const std::regex kCaller("T:[0-9]+: hSCardCtx:0x[0-9A-F]{8}; hScard:0x[0-9A-F]{8}");
    std::vector<std::string> entries;
    for (const std::string& entry : moduletest::Entries(log)) {
        const size_t body = entry.find('\n');
        entries.push_back(
            std::regex_replace(body == std::string::npos ? entry : entry.substr(body + 1), kCaller, "T:*"));
    }
    return entries;
}

TEST(CallLock, CallsOnTwoCardsNeverInterleave) {
    constexpr int kRounds = 8;
    SimReader first("Helix Sim A");
    SimReader second("Helix Sim B");
    // Slow cards: calls that were not kept apart would overlap on every round.
    for (SimReader* reader : {&first, &second}) {
        reader->WithCard([](helixsim::HelixCard& card) { card.SetLatency({2000, 0, true}); });
    }
    Acquired a(first.Record());
    Acquired b(second.Record());

    LogCapture log;
    const auto hammer = [](CARD_DATA* record) {
        for (int i = 0; i < kRounds; ++i) {
            CARD_FILE_INFO info{CARD_FILE_INFO_CURRENT_VERSION, 0, InvalidAc};
            EXPECT_EQ(record->pfnCardGetFileInfo(record, g_mscp, g_cmapfile, &info), SCARD_S_SUCCESS);
        }
    };
    std::thread one(hammer, a.get());
    std::thread two(hammer, b.get());
    one.join();
    two.join();

    // Both cards answer alike, so every call is its line followed by the same exchanges; an
    // overlap would move exchanges from one call's block into another's.
    std::vector<std::vector<std::string>> blocks;
    for (const std::string& entry : Entries(log.Read())) {
        if (entry.find(">: CardGetFileInfo(") != std::string::npos) blocks.emplace_back();
        ASSERT_FALSE(blocks.empty()) << entry;
        blocks.back().push_back(entry);
    }
    ASSERT_EQ(blocks.size(), 2u * kRounds);
    ASSERT_GT(blocks.front().size(), 1u);
    for (size_t i = 1; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], blocks.front()) << "call " << i;
}

struct HeldLockCase {
    const char* name;
    std::function<DWORD(CARD_DATA&)> call;
    DWORD status;
    bool waits;  // false: the call takes no lock and returns while another call holds it
};

BYTE g_value[4] = {1, 0, 0, 0};

// Calls that need no card (unsupported, or refused on their arguments): only the lock can hold them.
const HeldLockCase kHeldLockCases[] = {
    {"SetContainerProperty",
     [](CARD_DATA& r) { return r.pfnCardSetContainerProperty(&r, 3, CCP_PIN_IDENTIFIER, g_value, 4, 0); },
     SCARD_E_UNSUPPORTED_FEATURE, true},
    {"QueryCapabilities",
     [](CARD_DATA& r) {
         CARD_CAPABILITIES caps{};
         return r.pfnCardQueryCapabilities(&r, &caps);
     },
     SCARD_S_SUCCESS, true},
    {"ReadFileWithoutOutput",
     [](CARD_DATA& r) { return r.pfnCardReadFile(&r, nullptr, g_cmapfile, 0, nullptr, nullptr); },
     SCARD_E_INVALID_PARAMETER, true},
    {"GetProperty",
     [](CARD_DATA& r) { return r.pfnCardGetProperty(&r, CP_CARD_FREE_SPACE, nullptr, 0, nullptr, 0); },
     SCARD_E_INVALID_PARAMETER, true},
    {"DeleteContext", [](CARD_DATA& r) { return r.pfnCardDeleteContext(&r); }, SCARD_S_SUCCESS, true},
    {"DestroyKey", [](CARD_DATA& r) { return r.pfnCardDestroyKey(&r, 0); }, SCARD_E_UNSUPPORTED_FEATURE,
     false},
    {"GetKeyProperty",
     [](CARD_DATA& r) { return r.pfnCardGetKeyProperty(&r, 0, u"KeyLength", nullptr, 0, nullptr, 0); },
     SCARD_E_UNSUPPORTED_FEATURE, false},
};

// Another host holds the card, so a CardAcquireContext waits for it inside the call lock; the
// call under test, on a context of its own, must wait for that holder too.
TEST(CallLock, EveryLockedCallWaitsForTheHolder) {
    for (const HeldLockCase& c : kHeldLockCases) {
        SCOPED_TRACE(c.name);
        SimReader reader;
        Acquired context(reader.Record());
        CARD_DATA late = reader.RecordFor(reader.Connect());
        const SCARDHANDLE other = reader.Connect();
        ASSERT_EQ(pcsc::BeginTransaction(other), SCARD_S_SUCCESS);
        DWORD lateStatus = 0;
        std::thread holder([&] { lateStatus = CardAcquireContext(&late, 0); });
        for (int i = 0; i < 5000 && helixsim::Readers::Instance().BlockedCalls() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(helixsim::Readers::Instance().BlockedCalls(), 1u);

        std::atomic<bool> returned{false};
        DWORD status = 0;
        std::thread caller([&] {
            status = c.call(*context);
            returned = true;
        });
        if (c.waits) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            caller.join();
        }
        EXPECT_EQ(returned.load(), !c.waits) << "returned while the lock was held";
        EXPECT_EQ(pcsc::EndTransaction(other, pcsc::kLeaveCard), SCARD_S_SUCCESS);
        holder.join();
        if (caller.joinable()) caller.join();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(lateStatus, SCARD_S_SUCCESS);
        if (late.pfnCardDeleteContext != nullptr) late.pfnCardDeleteContext(&late);
    }
}

}  // namespace
