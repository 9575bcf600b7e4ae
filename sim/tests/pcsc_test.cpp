// The in-process PC/SC seam over simulated readers: what a module sees of handles, transactions,
// resets and removals must be what pcsc-lite shows it.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "channel/pcsc.h"
#include "pcsc/sim_readers.h"
#include "sim_card.h"

namespace {

using helixsim::Fault;
using helixsim::HelixCard;
using helixsim::Readers;
using simtest::Bytes;
using simtest::Hex;
using simtest::Sw;

constexpr char kReader[] = "Helix Sim 0";
Bytes SelectApplet() {
    return Hex(simtest::kSelectApplet);
}
Bytes Challenge() {
    return Hex("0084000008");
}
Bytes SelectCardId() {
    return Hex("80A4080C08 3F00300030034000 00");
}

// One raw exchange through the seam; `answer` receives what the card said.
DWORD Send(SCARDHANDLE card, const Bytes& command, Bytes* answer = nullptr) {
    BYTE buffer[300];
    DWORD length = sizeof buffer;
    const DWORD rv = pcsc::Transmit(card, pcsc::kProtocolT1, command.data(),
                                    static_cast<DWORD>(command.size()), buffer, &length);
    if (answer != nullptr) answer->assign(buffer, buffer + length);
    return rv;
}

uint16_t SelectSw(SCARDHANDLE card) {
    Bytes answer;
    return Send(card, SelectApplet(), &answer) == SCARD_S_SUCCESS ? Sw(answer) : 0;
}

DWORD StatusOf(SCARDHANDLE card) {
    DWORD protocol = 0;
    BYTE atr[36];
    DWORD length = sizeof atr;
    return pcsc::Status(card, &protocol, atr, &length);
}

DWORD Leave(SCARDHANDLE card) {
    return pcsc::EndTransaction(card, pcsc::kLeaveCard);
}

DWORD Reconnect(SCARDHANDLE card, DWORD initialization = pcsc::kLeaveCard) {
    DWORD protocol = 0;
    return pcsc::Reconnect(card, initialization, &protocol);
}

// Until `count` calls wait for a transaction; false if that never happens.
bool AwaitBlocked(size_t count) {
    for (int i = 0; i < 5000; ++i) {
        if (Readers::Instance().BlockedCalls() == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A fault on the next command the card receives.
void AddFault(Fault::Kind kind) {
    Readers::Instance().WithCard(kReader, [&](HelixCard& c) {
        c.AddFault(Fault{kind, static_cast<uint32_t>(c.CommandLog().size()) + 1});
    });
}

class SimPcsc : public ::testing::Test {
protected:
    void SetUp() override {
        Readers::Instance().Clear();
        Readers::Instance().InsertCard(kReader, std::make_unique<HelixCard>(helixsim::DefaultProfile()));
        ASSERT_EQ(pcsc::EstablishContext(&m_context), SCARD_S_SUCCESS);
    }
    void TearDown() override {
        pcsc::ReleaseContext(m_context);
        Readers::Instance().Clear();
    }

    SCARDHANDLE Connect(SCARDCONTEXT context = 0) {
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        EXPECT_EQ(pcsc::Connect(context != 0 ? context : m_context, kReader, &card, &protocol),
                  SCARD_S_SUCCESS);
        return card;
    }

    SCARDCONTEXT m_context = 0;
};

TEST_F(SimPcsc, HandlesAndContextsAreDistinctAndNonZero) {
    SCARDCONTEXT other = 0;
    ASSERT_EQ(pcsc::EstablishContext(&other), SCARD_S_SUCCESS);
    const SCARDHANDLE a = Connect();
    const SCARDHANDLE b = Connect(other);
    const std::set<uintptr_t> values{m_context, other, a, b};
    EXPECT_EQ(values.size(), 4u);
    EXPECT_EQ(values.count(0), 0u);
    EXPECT_EQ(pcsc::ReleaseContext(other), SCARD_S_SUCCESS);
    EXPECT_EQ(pcsc::ReleaseContext(other), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(pcsc::Disconnect(a, 7), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(StatusOf(a), SCARD_S_SUCCESS) << "a bad disposition changes nothing";
}

TEST_F(SimPcsc, ConnectRefusesWhatPcscRefuses) {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    EXPECT_EQ(pcsc::Connect(m_context, "No Such Reader", &card, &protocol), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(pcsc::Connect(m_context + 1000, kReader, &card, &protocol), SCARD_E_INVALID_HANDLE);
    Readers::Instance().AddReader("Empty Reader");
    EXPECT_EQ(pcsc::Connect(m_context, "Empty Reader", &card, &protocol), SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(card, 0u);
}

TEST_F(SimPcsc, ListReadersGivesEveryReaderOnce) {
    Readers::Instance().AddReader("Another");
    std::string names;
    ASSERT_EQ(pcsc::ListReaders(m_context, &names), SCARD_S_SUCCESS);
    EXPECT_EQ(names, std::string("Another\0Helix Sim 0\0\0", 21));
    Readers::Instance().Clear();
    EXPECT_EQ(pcsc::ListReaders(m_context, &names), SCARD_E_INVALID_HANDLE);
}

TEST_F(SimPcsc, TransmitRefusesT0AndShortBuffers) {
    const SCARDHANDLE card = Connect();
    const Bytes challenge = Challenge();
    BYTE buffer[4];
    DWORD length = sizeof buffer;
    EXPECT_EQ(pcsc::Transmit(card, pcsc::kProtocolT0, challenge.data(), 5, buffer, &length),
              SCARD_E_PROTO_MISMATCH);
    ASSERT_EQ(SelectSw(card), 0x9000);
    length = sizeof buffer;
    EXPECT_EQ(pcsc::Transmit(card, pcsc::kProtocolT1, challenge.data(), 5, buffer, &length),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
}

// An event that one handle (the watcher) did not cause, and what it must be told.
struct EventCase {
    const char* name;
    std::function<void(SCARDHANDLE actor)> cause;
    DWORD reported;
};

class SimPcscEvents : public SimPcsc, public ::testing::WithParamInterface<EventCase> {};

TEST_P(SimPcscEvents, EveryCallOfAnotherHandleReportsItUntilReconnect) {
    const SCARDHANDLE watcher = Connect();
    const SCARDHANDLE actor = Connect();
    ASSERT_EQ(SelectSw(watcher), 0x9000);
    GetParam().cause(actor);

    EXPECT_EQ(Send(watcher, Challenge()), GetParam().reported);
    EXPECT_EQ(StatusOf(watcher), GetParam().reported);
    EXPECT_EQ(pcsc::BeginTransaction(watcher), GetParam().reported);
    EXPECT_EQ(Leave(watcher), GetParam().reported);
    if (GetParam().reported == SCARD_W_REMOVED_CARD) {
        SCARDHANDLE fresh = 0;
        DWORD protocol = 0;
        EXPECT_EQ(pcsc::Connect(m_context, kReader, &fresh, &protocol), SCARD_E_NO_SMARTCARD);
        EXPECT_EQ(Reconnect(watcher), SCARD_E_NO_SMARTCARD);
        Readers::Instance().ReinsertCard(kReader);
    }
    ASSERT_EQ(Reconnect(watcher), SCARD_S_SUCCESS);
    // The card really went through a power cycle: the applet must be selected again.
    Bytes answer;
    ASSERT_EQ(Send(watcher, SelectCardId(), &answer), SCARD_S_SUCCESS);
    EXPECT_NE(Sw(answer), 0x9000);
    EXPECT_EQ(SelectSw(watcher), 0x9000);
}

std::vector<EventCase> Events() {
    return {
        {"ResetAtEndOfTransaction",
         [](SCARDHANDLE a) {
             ASSERT_EQ(pcsc::BeginTransaction(a), SCARD_S_SUCCESS);
             ASSERT_EQ(pcsc::EndTransaction(a, pcsc::kResetCard), SCARD_S_SUCCESS);
         },
         SCARD_W_RESET_CARD},
        {"ResetByReconnect",
         [](SCARDHANDLE a) { ASSERT_EQ(Reconnect(a, pcsc::kResetCard), SCARD_S_SUCCESS); },
         SCARD_W_RESET_CARD},
        {"ResetByDisconnect",
         [](SCARDHANDLE a) { ASSERT_EQ(pcsc::Disconnect(a, pcsc::kResetCard), SCARD_S_SUCCESS); },
         SCARD_W_RESET_CARD},
        {"UnpowerByDisconnect",
         [](SCARDHANDLE a) { ASSERT_EQ(pcsc::Disconnect(a, pcsc::kUnpowerCard), SCARD_S_SUCCESS); },
         SCARD_W_RESET_CARD},
        {"ContextReleasedInsideATransaction",
         [](SCARDHANDLE) {
             SCARDCONTEXT context = 0;
             SCARDHANDLE card = 0;
             DWORD protocol = 0;
             ASSERT_EQ(pcsc::EstablishContext(&context), SCARD_S_SUCCESS);
             ASSERT_EQ(pcsc::Connect(context, kReader, &card, &protocol), SCARD_S_SUCCESS);
             ASSERT_EQ(pcsc::BeginTransaction(card), SCARD_S_SUCCESS);
             ASSERT_EQ(pcsc::ReleaseContext(context), SCARD_S_SUCCESS);
         },
         SCARD_W_RESET_CARD},
        {"HostPowerCycle", [](SCARDHANDLE) { Readers::Instance().ResetCard(kReader); }, SCARD_W_RESET_CARD},
        {"CardResetsAfterACommand",
         [](SCARDHANDLE a) {
             AddFault(Fault::Kind::ResetAfter);
             ASSERT_EQ(Send(a, Challenge()), SCARD_S_SUCCESS);
         },
         SCARD_W_RESET_CARD},
        {"UserPullsTheCard", [](SCARDHANDLE) { Readers::Instance().RemoveCard(kReader); },
         SCARD_W_REMOVED_CARD},
        {"CardLeavesAfterACommand",
         [](SCARDHANDLE a) {
             AddFault(Fault::Kind::RemoveAfter);
             ASSERT_EQ(Send(a, Challenge()), SCARD_S_SUCCESS);
         },
         SCARD_W_REMOVED_CARD},
    };
}

INSTANTIATE_TEST_SUITE_P(Events, SimPcscEvents, ::testing::ValuesIn(Events()), simtest::CaseName);

// A reset by reconnection is not reported to the handle that asked for it (its card was reset
// all the same); an unpowering end of its transaction is.
TEST_F(SimPcsc, TheResettingHandleIsToldOnlyOfUnpowering) {
    const SCARDHANDLE card = Connect();
    ASSERT_EQ(SelectSw(card), 0x9000);
    ASSERT_EQ(Reconnect(card, pcsc::kResetCard), SCARD_S_SUCCESS);
    Bytes answer;
    ASSERT_EQ(Send(card, SelectCardId(), &answer), SCARD_S_SUCCESS);
    EXPECT_NE(Sw(answer), 0x9000);
    ASSERT_EQ(pcsc::BeginTransaction(card), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::EndTransaction(card, pcsc::kUnpowerCard), SCARD_S_SUCCESS);
    EXPECT_EQ(Send(card, SelectApplet()), SCARD_W_RESET_CARD);
}

TEST_F(SimPcsc, ReleasingAContextOutsideATransactionLeavesTheCardAlone) {
    const SCARDHANDLE card = Connect();
    ASSERT_EQ(SelectSw(card), 0x9000);
    SCARDCONTEXT other = 0;
    ASSERT_EQ(pcsc::EstablishContext(&other), SCARD_S_SUCCESS);
    const SCARDHANDLE gone = Connect(other);
    ASSERT_EQ(pcsc::ReleaseContext(other), SCARD_S_SUCCESS);
    EXPECT_EQ(StatusOf(gone), SCARD_E_INVALID_HANDLE);
    Bytes answer;
    ASSERT_EQ(Send(card, SelectCardId(), &answer), SCARD_S_SUCCESS);
    EXPECT_EQ(Sw(answer), 0x9000);
}

TEST_F(SimPcsc, FaultBeforeACommandFailsThatTransmit) {
    const SCARDHANDLE card = Connect();
    AddFault(Fault::Kind::ResetBefore);
    EXPECT_EQ(Send(card, SelectApplet()), SCARD_W_RESET_CARD);
    ASSERT_EQ(Reconnect(card), SCARD_S_SUCCESS);
    AddFault(Fault::Kind::RemoveBefore);
    EXPECT_EQ(Send(card, SelectApplet()), SCARD_W_REMOVED_CARD);
    EXPECT_FALSE(Readers::Instance().CardPresent(kReader));
}

// The second handle's call runs on its own thread; it must not return before the first ends.
struct BlockedCall {
    const char* name;
    std::function<DWORD(SCARDHANDLE)> call;
};

class SimPcscExclusive : public SimPcsc, public ::testing::WithParamInterface<BlockedCall> {};

TEST_P(SimPcscExclusive, WaitsUntilTheHolderEndsItsTransaction) {
    const SCARDHANDLE holder = Connect();
    const SCARDHANDLE other = Connect();
    ASSERT_EQ(SelectSw(holder), 0x9000);
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    std::atomic<bool> ended{false};
    std::atomic<bool> returnedAfterEnd{false};
    DWORD result = 0;
    std::thread waiter([&] {
        result = GetParam().call(other);
        returnedAfterEnd = ended.load();
    });
    const bool blocked = AwaitBlocked(1);
    ended = true;
    EXPECT_EQ(Leave(holder), SCARD_S_SUCCESS);
    waiter.join();
    ASSERT_TRUE(blocked);
    EXPECT_EQ(result, SCARD_S_SUCCESS);
    EXPECT_TRUE(returnedAfterEnd);
}

std::vector<BlockedCall> BlockedCalls() {
    return {
        {"BeginTransaction", [](SCARDHANDLE h) { return pcsc::BeginTransaction(h); }},
        {"Connect",
         [](SCARDHANDLE) {
             SCARDCONTEXT context = 0;
             SCARDHANDLE card = 0;
             DWORD protocol = 0;
             pcsc::EstablishContext(&context);
             const DWORD rv = pcsc::Connect(context, kReader, &card, &protocol);
             pcsc::ReleaseContext(context);
             return rv;
         }},
        {"Transmit", [](SCARDHANDLE h) { return Send(h, Challenge()); }},
        {"Status", [](SCARDHANDLE h) { return StatusOf(h); }},
        {"Reconnect", [](SCARDHANDLE h) { return Reconnect(h); }},
        {"ResettingDisconnect", [](SCARDHANDLE h) { return pcsc::Disconnect(h, pcsc::kResetCard); }},
    };
}

INSTANTIATE_TEST_SUITE_P(Calls, SimPcscExclusive, ::testing::ValuesIn(BlockedCalls()), simtest::CaseName);

// A blocked begin gives up at the wait limit; the holder's disconnect ends its transaction.
TEST_F(SimPcsc, TransactionsNestAndEndOnlyWithTheirHolderOrItsDisconnect) {
    Readers::Instance().SetWaitLimit(std::chrono::milliseconds(20));
    const SCARDHANDLE holder = Connect();
    const SCARDHANDLE other = Connect();
    EXPECT_EQ(Leave(holder), SCARD_E_NOT_TRANSACTED);
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    ASSERT_EQ(Leave(holder), SCARD_S_SUCCESS);
    EXPECT_EQ(pcsc::BeginTransaction(other), SCARD_E_TIMEOUT);
    EXPECT_EQ(Leave(other), SCARD_E_SHARING_VIOLATION);
    ASSERT_EQ(Leave(holder), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::BeginTransaction(other), SCARD_S_SUCCESS);
    const SCARDHANDLE card = other;
    ASSERT_EQ(pcsc::Disconnect(card, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    EXPECT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    EXPECT_EQ(StatusOf(other), SCARD_E_INVALID_HANDLE);
}

TEST_F(SimPcsc, RemovalEndsTheTransactionAndWakesWaiters) {
    const SCARDHANDLE holder = Connect();
    const SCARDHANDLE other = Connect();
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    DWORD result = 0;
    std::thread waiter([&] { result = pcsc::BeginTransaction(other); });
    const bool blocked = AwaitBlocked(1);
    Readers::Instance().RemoveCard(kReader);
    waiter.join();
    ASSERT_TRUE(blocked);
    EXPECT_EQ(result, SCARD_W_REMOVED_CARD);

    Readers::Instance().ReinsertCard(kReader);
    ASSERT_EQ(Reconnect(holder), SCARD_S_SUCCESS);
    EXPECT_EQ(Leave(holder), SCARD_E_NOT_TRANSACTED);
}

TEST_F(SimPcsc, HandlesOnARemovedReaderAnswerReaderUnavailable) {
    const SCARDHANDLE card = Connect();
    Readers::Instance().RemoveReader(kReader);
    EXPECT_EQ(Send(card, Challenge()), SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(pcsc::Disconnect(card, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    EXPECT_EQ(Readers::Instance().OpenHandles(), 0u);
}

}  // namespace
