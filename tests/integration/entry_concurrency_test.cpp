// The call lock seen from outside: a call on one context waits while a call on another holds the
// lock, and threads over shared contexts and one card get what was written (ThreadSanitizer
// watches the rest: the tsan preset runs these). Nothing here measures time; pauses only give a
// broken lock the chance to show itself.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "entry/call_frame.h"
#include "module_over_sim.h"

namespace {

using libapdu::ByteVector;
using moduletest::Acquired;
using moduletest::SimReader;

// The interface takes names and PINs through non-const pointers.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char g_mscp[] = "mscp";
char g_cmapfile[] = "cmapfile";
char g_cardcf[] = "cardcf";
WCHAR g_user[] = u"user";
BYTE g_value[4] = {1, 0, 0, 0};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Another host holds the card, so a CardAcquireContext waits for it inside the call lock; the
// call under test, on a context of its own and needing no card, must wait for that holder too,
// but for the unsupported key operations, which take no lock.
TEST(CallLock, EveryLockedCallWaitsForTheHolder) {
    const struct {
        const char* name;
        std::function<DWORD(CARD_DATA&)> call;
        DWORD status;
        bool waits;
    } cases[] = {
        {"SetContainerProperty",
         [](CARD_DATA& r) { return r.pfnCardSetContainerProperty(&r, 3, CCP_PIN_IDENTIFIER, g_value, 4, 0); },
         SCARD_E_UNSUPPORTED_FEATURE, true},
        {"QueryCapabilities",
         [](CARD_DATA& r) {
             CARD_CAPABILITIES caps{};
             return r.pfnCardQueryCapabilities(&r, &caps);
         },
         SCARD_S_SUCCESS, true},
        {"GetProperty",
         [](CARD_DATA& r) { return r.pfnCardGetProperty(&r, CP_CARD_FREE_SPACE, nullptr, 0, nullptr, 0); },
         SCARD_E_INVALID_PARAMETER, true},
        {"DeleteContext", [](CARD_DATA& r) { return r.pfnCardDeleteContext(&r); }, SCARD_S_SUCCESS, true},
        {"DestroyKey", [](CARD_DATA& r) { return r.pfnCardDestroyKey(&r, 0); }, SCARD_E_UNSUPPORTED_FEATURE,
         false},
    };
    for (const auto& c : cases) {
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

// The module allocates and frees host buffers under the call lock; the test frees its own under
// the same lock, so the host's allocator sees one caller at a time.
void HostFree(void* buffer) {
    const std::lock_guard<std::mutex> hold(entry::CallLock());
    moduletest::HostMemory::Free(buffer);
}

ByteVector ContainerKey(CARD_DATA& d) {
    CONTAINER_INFO info{};
    info.dwVersion = CONTAINER_INFO_CURRENT_VERSION;
    EXPECT_EQ(d.pfnCardGetContainerInfo(&d, 0, 0, &info), SCARD_S_SUCCESS);
    ByteVector key(info.pbSigPublicKey, info.pbSigPublicKey + info.cbSigPublicKey);
    HostFree(info.pbSigPublicKey);
    HostFree(info.pbKeyExPublicKey);
    return key;
}

// Five threads over two contexts on one card, and a third context made and deleted all along.
// Each context presents its own cached PIN again when the other has logged the user off, so every
// call succeeds; a read finds the card's cardcf or one that a writer wrote, never a mix.
TEST(CallLock, FiveThreadsOverTwoContextsAndOneComingAndGoing) {
    constexpr int kRounds = 30;
    const std::array<ByteVector, 2> written{ByteVector{0, 0, 1, 0, 1, 0}, ByteVector{0, 0, 2, 0, 2, 0}};
    SimReader reader;
    Acquired a(reader.RecordFor(reader.Connect()));
    Acquired b(reader.RecordFor(reader.Connect()));
    ByteVector pin = moduletest::kDefaultPin;
    DWORD attempts = 0;
    ASSERT_EQ(a->pfnCardAuthenticatePin(a.get(), g_user, pin.data(), 8, &attempts), SCARD_S_SUCCESS);
    ASSERT_EQ(
        a->pfnCardCreateContainer(a.get(), 0, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDSA_P256, 256, nullptr),
        SCARD_S_SUCCESS);
    ASSERT_EQ(a->pfnCardDeauthenticate(a.get(), g_user, 0), SCARD_S_SUCCESS);
    ByteVector cardcf = *reader.CardFile(moduletest::kCardcfPath);
    cardcf.erase(cardcf.begin(), cardcf.begin() + 2);  // the file's length prefix
    const ByteVector key = ContainerKey(*a);
    ASSERT_FALSE(key.empty());

    const auto reads = [&](CARD_DATA& d) {
        for (int i = 0; i < kRounds; ++i) {
            PBYTE data = nullptr;
            DWORD size = 0;
            EXPECT_EQ(d.pfnCardReadFile(&d, nullptr, g_cardcf, 0, &data, &size), SCARD_S_SUCCESS);
            const ByteVector read(data, data + size);
            HostFree(data);
            EXPECT_TRUE(read == cardcf || read == written[0] || read == written[1]) << ToHex(read);
            CARD_FILE_INFO info{CARD_FILE_INFO_CURRENT_VERSION, 0, InvalidAc};
            EXPECT_EQ(d.pfnCardGetFileInfo(&d, g_mscp, g_cmapfile, &info), SCARD_S_SUCCESS);
            EXPECT_EQ(ContainerKey(d), key);
        }
    };
    const auto writes = [&](CARD_DATA& d, ByteVector content) {
        std::array<BYTE, 32> digest{};
        DWORD left = 0;
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(d.pfnCardAuthenticatePin(&d, g_user, pin.data(), 8, &left), SCARD_S_SUCCESS);
            EXPECT_EQ(d.pfnCardWriteFile(&d, nullptr, g_cardcf, 0, content.data(), 6), SCARD_S_SUCCESS);
            CARD_SIGNING_INFO info{};
            info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
            info.dwKeySpec = AT_ECDSA_P256;
            info.pbData = digest.data();
            info.cbData = static_cast<DWORD>(digest.size());
            EXPECT_EQ(d.pfnCardSignData(&d, &info), SCARD_S_SUCCESS);
            EXPECT_EQ(info.cbSignedData, 64u);
            HostFree(info.pbSignedData);
            EXPECT_EQ(d.pfnCardDeauthenticate(&d, g_user, 0), SCARD_S_SUCCESS);
        }
    };
    const SCARDHANDLE third = reader.Connect();
    std::vector<std::thread> threads;
    threads.emplace_back([&] { reads(*a); });
    threads.emplace_back([&] { reads(*b); });
    threads.emplace_back([&] { writes(*a, written[0]); });
    threads.emplace_back([&] { writes(*b, written[1]); });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            CARD_DATA c = reader.RecordFor(third);
            ASSERT_EQ(CardAcquireContext(&c, 0), SCARD_S_SUCCESS);
            EXPECT_EQ(c.pfnCardDeleteContext(&c), SCARD_S_SUCCESS);
        }
    });
    for (std::thread& t : threads) t.join();
}

}  // namespace
