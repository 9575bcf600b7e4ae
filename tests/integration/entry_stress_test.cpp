// Five threads over two card contexts on one simulated card, and a third context made and deleted
// all along: every call succeeds, and what a read hands back is something that was written.
// ThreadSanitizer watches the rest (the tsan preset runs it).
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "module_over_sim.h"

namespace {

using libapdu::ByteVector;
using moduletest::Acquired;
using moduletest::SimReader;

constexpr int kRounds = 30;

// The interface takes names and PINs through non-const pointers.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char g_mscp[] = "mscp";
char g_cmapfile[] = "cmapfile";
char g_cardcf[] = "cardcf";
WCHAR g_user[] = u"user";
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// The host's allocator, safe for the threads the Windows stack calls from (the shared test
// helper's is not).
// NOLINTBEGIN(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
struct LockedMemory {
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::set<void*>& Live() {
        static std::set<void*> live;
        return live;
    }
    static LPVOID WINAPI Alloc(SIZE_T size) {
        void* p = std::malloc(size == 0 ? 1 : size);
        const std::lock_guard<std::mutex> hold(Lock());
        Live().insert(p);
        return p;
    }
    static LPVOID WINAPI ReAlloc(LPVOID address, SIZE_T size) {
        const std::lock_guard<std::mutex> hold(Lock());
        Live().erase(address);
        void* p = std::realloc(address, size == 0 ? 1 : size);
        Live().insert(p);
        return p;
    }
    static void WINAPI Free(LPVOID address) {
        if (address == nullptr) return;
        const std::lock_guard<std::mutex> hold(Lock());
        EXPECT_EQ(Live().erase(address), 1u) << "freed twice or never allocated";
        std::free(address);
    }
};
// NOLINTEND(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)

CARD_DATA Record(SimReader& reader, SCARDHANDLE card) {
    CARD_DATA record = reader.RecordFor(card);
    record.pfnCspAlloc = &LockedMemory::Alloc;
    record.pfnCspReAlloc = &LockedMemory::ReAlloc;
    record.pfnCspFree = &LockedMemory::Free;
    return record;
}

// The two cardcf records the writers take turns with; a read may also find the card's own.
const std::array<ByteVector, 2> kWritten{ByteVector{0, 0, 1, 0, 1, 0}, ByteVector{0, 0, 2, 0, 2, 0}};

// What the reading threads compare with: cardcf as it may be, container 0's public key.
struct Known {
    ByteVector cardcf;
    ByteVector key;
};

ByteVector ContainerKey(CARD_DATA& d) {
    CONTAINER_INFO info{};
    info.dwVersion = CONTAINER_INFO_CURRENT_VERSION;
    EXPECT_EQ(d.pfnCardGetContainerInfo(&d, 0, 0, &info), SCARD_S_SUCCESS);
    ByteVector key(info.pbSigPublicKey, info.pbSigPublicKey + info.cbSigPublicKey);
    LockedMemory::Free(info.pbSigPublicKey);
    LockedMemory::Free(info.pbKeyExPublicKey);
    return key;
}

void Reads(CARD_DATA& d, const Known& known) {
    for (int i = 0; i < kRounds; ++i) {
        PBYTE data = nullptr;
        DWORD size = 0;
        EXPECT_EQ(d.pfnCardReadFile(&d, nullptr, g_cardcf, 0, &data, &size), SCARD_S_SUCCESS);
        const ByteVector read(data, data + size);
        LockedMemory::Free(data);
        EXPECT_TRUE(read == known.cardcf || read == kWritten[0] || read == kWritten[1]) << ToHex(read);

        CARD_FILE_INFO info{CARD_FILE_INFO_CURRENT_VERSION, 0, InvalidAc};
        EXPECT_EQ(d.pfnCardGetFileInfo(&d, g_mscp, g_cmapfile, &info), SCARD_S_SUCCESS);
        CARD_FREE_SPACE_INFO space{CARD_FREE_SPACE_INFO_CURRENT_VERSION, 0, 0, 0};
        EXPECT_EQ(d.pfnCardQueryFreeSpace(&d, 0, &space), SCARD_S_SUCCESS);
        LPSTR names = nullptr;
        EXPECT_EQ(d.pfnCardEnumFiles(&d, g_mscp, &names, &size, 0), SCARD_S_SUCCESS);
        LockedMemory::Free(names);
        EXPECT_EQ(ContainerKey(d), known.key);
        BYTE guid[16] = {};
        DWORD guidSize = 0;
        EXPECT_EQ(d.pfnCardGetProperty(&d, CP_CARD_GUID, guid, sizeof guid, &guidSize, 0), SCARD_S_SUCCESS);
    }
}

// Each context presents its own cached PIN again when the other has logged the user off, so
// every call succeeds.
void AuthenticatedCalls(CARD_DATA& d, const ByteVector& record) {
    ByteVector pin = moduletest::kDefaultPin;
    std::array<BYTE, 32> digest{};
    for (int i = 0; i < kRounds; ++i) {
        DWORD attempts = 0;
        EXPECT_EQ(d.pfnCardAuthenticatePin(&d, g_user, pin.data(), static_cast<DWORD>(pin.size()), &attempts),
                  SCARD_S_SUCCESS);
        ByteVector content = record;
        EXPECT_EQ(
            d.pfnCardWriteFile(&d, nullptr, g_cardcf, 0, content.data(), static_cast<DWORD>(content.size())),
            SCARD_S_SUCCESS);
        CARD_SIGNING_INFO info{};
        info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
        info.bContainerIndex = 0;
        info.dwKeySpec = AT_ECDSA_P256;
        info.pbData = digest.data();
        info.cbData = static_cast<DWORD>(digest.size());
        EXPECT_EQ(d.pfnCardSignData(&d, &info), SCARD_S_SUCCESS);
        EXPECT_EQ(info.cbSignedData, 64u);
        LockedMemory::Free(info.pbSignedData);
        EXPECT_EQ(d.pfnCardDeauthenticate(&d, g_user, 0), SCARD_S_SUCCESS);
    }
}

TEST(CallLock, FiveThreadsOverTwoContextsAndOneComingAndGoing) {
    SimReader reader;
    Known known;
    {
        // A signature key in container 0, made through the module.
        CARD_DATA setup = Record(reader, reader.Card());
        ASSERT_EQ(CardAcquireContext(&setup, 0), SCARD_S_SUCCESS);
        ByteVector pin = moduletest::kDefaultPin;
        DWORD attempts = 0;
        ASSERT_EQ(setup.pfnCardAuthenticatePin(&setup, g_user, pin.data(), static_cast<DWORD>(pin.size()),
                                               &attempts),
                  SCARD_S_SUCCESS);
        ASSERT_EQ(setup.pfnCardCreateContainer(&setup, 0, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDSA_P256, 256,
                                               nullptr),
                  SCARD_S_SUCCESS);
        known.cardcf = *reader.CardFile(moduletest::kCardcfPath);
        known.cardcf.erase(known.cardcf.begin(), known.cardcf.begin() + 2);  // the file's length prefix
        ASSERT_EQ(setup.pfnCardDeleteContext(&setup), SCARD_S_SUCCESS);
    }

    Acquired a(Record(reader, reader.Connect()));
    Acquired b(Record(reader, reader.Connect()));
    known.key = ContainerKey(*a);
    ASSERT_FALSE(known.key.empty());
    const SCARDHANDLE third = reader.Connect();
    std::vector<std::thread> threads;
    threads.emplace_back([&] { Reads(*a, known); });
    threads.emplace_back([&] { Reads(*b, known); });
    threads.emplace_back([&] { AuthenticatedCalls(*a, kWritten[0]); });
    threads.emplace_back([&] { AuthenticatedCalls(*b, kWritten[1]); });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            CARD_DATA c = Record(reader, third);
            ASSERT_EQ(CardAcquireContext(&c, 0), SCARD_S_SUCCESS);
            EXPECT_EQ(c.pfnCardDeleteContext(&c), SCARD_S_SUCCESS);
        }
    });
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(LockedMemory::Live().empty()) << LockedMemory::Live().size() << " host buffers left";
}

}  // namespace
