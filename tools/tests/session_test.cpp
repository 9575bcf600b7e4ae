// The host's side of the contract, against a stand-in module: what CARD_DATA holds when CardAcquireContext
// sees it, and that every block the module hands over is freed once.
#include "mdhost/session.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mdhost/scinfo.h"

namespace mdhost {
namespace {

// What the stand-in module saw and did.
struct Seen {
    CARD_DATA atAcquire{};
    Bytes atr;
    DWORD flags = 0xFFFFFFFF;
    int deletes = 0;
    int reconnects = 0;
    int transactions = 0;             // the host's, open now
    std::vector<int> transactionsAt;  // open when each call arrived
} g_saw;

class FakeReader final : public ICardReader {
public:
    std::string Name() const override { return "fake"; }
    SCARDCONTEXT Context() const override { return 0x1111; }
    SCARDHANDLE Card() const override { return 0x2222; }
    DWORD Atr(Bytes& atr) override {
        atr = {0x3B, 0x8C, 0x80, 0x01};
        return SCARD_S_SUCCESS;
    }
    DWORD Reconnect() override { return ++g_saw.reconnects, SCARD_S_SUCCESS; }
    DWORD ResetByAnotherApplication() override { return SCARD_S_SUCCESS; }
    std::optional<uint64_t> CardCommands() override { return std::nullopt; }
    bool BeginTransaction() override { return ++g_saw.transactions, true; }
    void EndTransaction() override { --g_saw.transactions; }
    DWORD Close() override { return SCARD_S_SUCCESS; }
};

PBYTE Hand(PCARD_DATA data, const void* bytes, DWORD size) {
    auto* block = static_cast<PBYTE>(data->pfnCspAlloc(size));
    std::memcpy(block, bytes, size);
    return block;
}

DWORD WINAPI ReadFile(PCARD_DATA data, LPSTR, LPSTR name, DWORD, PBYTE* out, PDWORD size) {
    g_saw.transactionsAt.push_back(g_saw.transactions);
    *size = static_cast<DWORD>(std::strlen(name));
    *out = Hand(data, name, *size);
    return SCARD_S_SUCCESS;
}

DWORD WINAPI EnumFiles(PCARD_DATA data, LPSTR, LPSTR* names, LPDWORD size, DWORD) {
    static const char kNames[] = "cmapfile\0kxc00\0";
    *size = sizeof kNames;
    *names = reinterpret_cast<LPSTR>(Hand(data, kNames, sizeof kNames));  // NOLINT
    return SCARD_S_SUCCESS;
}

DWORD WINAPI GetContainerInfo(PCARD_DATA data, BYTE, DWORD, PCONTAINER_INFO info) {
    info->cbSigPublicKey = 4;
    info->pbSigPublicKey = Hand(data, "\x06\x02\x00\x00", 4);
    return SCARD_E_UNEXPECTED;
}

DWORD WINAPI DeleteContext(PCARD_DATA) {
    g_saw.transactionsAt.push_back(g_saw.transactions);
    ++g_saw.deletes;
    return SCARD_S_SUCCESS;
}

DWORD WINAPI Acquire(PCARD_DATA data, DWORD flags) {
    g_saw.transactionsAt.push_back(g_saw.transactions);
    g_saw.atAcquire = *data;
    g_saw.atr.assign(data->pbAtr, data->pbAtr + data->cbAtr);
    g_saw.flags = flags;
    data->pfnCardReadFile = ReadFile;
    data->pfnCardEnumFiles = EnumFiles;
    data->pfnCardGetContainerInfo = GetContainerInfo;
    data->pfnCardDeleteContext = DeleteContext;
    return SCARD_S_SUCCESS;
}

TEST(Session, HandsOverTheReaderCopiesWhatComesBackAndFreesEachBlockOnce) {
    g_saw = Seen{};
    FakeReader reader;
    const AllocationStats before = CAllocationTracker::Instance().Stats();
    {
        CMinidriverSession session(Acquire, reader);
        ASSERT_EQ(session.Acquire(), SCARD_S_SUCCESS);
        const CARD_DATA& seen = g_saw.atAcquire;
        EXPECT_EQ(g_saw.flags, 0u);
        EXPECT_EQ(seen.dwVersion, 7u);
        EXPECT_EQ(g_saw.atr, (Bytes{0x3B, 0x8C, 0x80, 0x01}));
        EXPECT_EQ(seen.hSCardCtx, 0x1111u);
        EXPECT_EQ(seen.hScard, 0x2222u);
        EXPECT_TRUE(seen.pfnCspAlloc && seen.pfnCspCacheAddFile && seen.pfnCspPadData && seen.pvCacheContext);
        EXPECT_EQ(seen.pvVendorSpecific, nullptr);
        EXPECT_EQ(seen.pfnCardReadFile, nullptr);

        Bytes content;
        EXPECT_EQ(session.ReadFile("mscp", "kxc00", content), SCARD_S_SUCCESS);
        EXPECT_EQ(std::string(content.begin(), content.end()), "kxc00");
        std::vector<std::string> names;
        EXPECT_EQ(session.EnumFiles("mscp", names), SCARD_S_SUCCESS);
        EXPECT_EQ(names, (std::vector<std::string>{"cmapfile", "kxc00"}));
        ContainerKeys keys;
        EXPECT_EQ(session.GetContainerInfo(0, keys), SCARD_E_UNEXPECTED);
        EXPECT_EQ(keys.signature.size(), 4u);
        EXPECT_EQ(session.Reconnect(), SCARD_S_SUCCESS);
        EXPECT_EQ(g_saw.reconnects, 1);
        CARD_FREE_SPACE_INFO space{};
        EXPECT_EQ(session.QueryFreeSpace(space), SCARD_E_UNSUPPORTED_FEATURE) << "an empty entry point";
    }
    const AllocationStats after = CAllocationTracker::Instance().Stats();
    EXPECT_EQ(after.allocations, before.allocations + 3);
    EXPECT_EQ(after.live, before.live);
    EXPECT_EQ(after.badFrees, before.badFrees);
    // As the Windows stack does: the module's own transactions nest inside the host's.
    EXPECT_EQ(g_saw.transactionsAt, (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(g_saw.transactions, 0);
    EXPECT_EQ(g_saw.deletes, 1);
    {
        CMinidriverSession session(Acquire, reader);
        ASSERT_EQ(session.Acquire(), SCARD_S_SUCCESS);
        EXPECT_EQ(session.DeleteContext(), SCARD_S_SUCCESS);
    }
    EXPECT_EQ(g_saw.deletes, 2) << "a context deleted by the host is not deleted again";
    { const CMinidriverSession never(Acquire, reader); }
    EXPECT_EQ(g_saw.deletes, 2) << "no context to delete before one was acquired";
}

}  // namespace
}  // namespace mdhost
