// The in-process PC/SC seam over simulated readers: what a module sees of handles, transactions,
// resets and removals must be what pcsc-lite shows it.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "channel/pcsc.h"
#include "pcsc/sim_readers.h"
#include "sim_card.h"

namespace {

using helixsim::Fault;
using helixsim::Readers;
using simtest::Bytes;
using simtest::Hex;

constexpr char kReader[] = "Helix Sim 0";
const Bytes kChallenge = Hex("0084000008");

// One raw exchange through the seam; `sw` receives the card's status word.
DWORD Send(SCARDHANDLE card, const Bytes& command, uint16_t* sw = nullptr) {
    BYTE buffer[300];
    DWORD length = sizeof buffer;
    const DWORD rv = pcsc::Transmit(card, pcsc::kProtocolT1, command.data(),
                                    static_cast<DWORD>(command.size()), buffer, &length);
    if (sw != nullptr) *sw = simtest::Sw(Bytes(buffer, buffer + length));
    return rv;
}
// The applet answers 9000 once selected, 6D00 after a power cycle.
uint16_t CardIdSw(SCARDHANDLE card) {
    uint16_t sw = 0;
    EXPECT_EQ(Send(card, Hex("80A4080C08 3F00300030034000 00"), &sw), SCARD_S_SUCCESS);
    return sw;
}
DWORD StatusOf(SCARDHANDLE card) {
    DWORD protocol = 0, length = 36;
    BYTE atr[36];
    return pcsc::Status(card, &protocol, atr, &length);
}
DWORD Reconnect(SCARDHANDLE card, DWORD initialization = pcsc::kLeaveCard) {
    DWORD protocol = 0;
    return pcsc::Reconnect(card, initialization, &protocol);
}
DWORD Leave(SCARDHANDLE card) {
    return pcsc::EndTransaction(card, pcsc::kLeaveCard);
}
// A fault on the next command the card receives.
void AddFault(Fault::Kind kind) {
    Readers::Instance().WithCard(kReader, [&](helixsim::HelixCard& c) {
        c.AddFault(Fault{kind, static_cast<uint32_t>(c.CommandLog().size()) + 1});
    });
}

class SimPcsc : public ::testing::Test {
protected:
    void SetUp() override {
        Readers::Instance().Clear();
        Readers::Instance().InsertCard(kReader,
                                       std::make_unique<helixsim::HelixCard>(helixsim::DefaultProfile()));
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
    SCARDHANDLE Selected() {
        const SCARDHANDLE card = Connect();
        EXPECT_EQ(Send(card, Hex(simtest::kSelectApplet)), SCARD_S_SUCCESS);
        return card;
    }

    SCARDCONTEXT m_context = 0;
};

TEST_F(SimPcsc, RefusesWhatPcscRefuses) {
    const SCARDHANDLE card = Connect();
    SCARDHANDLE none = 0;
    DWORD protocol = 0;
    EXPECT_EQ(pcsc::Connect(m_context, "No Such Reader", &none, &protocol), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(pcsc::Connect(m_context + 1000, kReader, &none, &protocol), SCARD_E_INVALID_HANDLE);
    Readers::Instance().AddReader("Another");
    EXPECT_EQ(pcsc::Connect(m_context, "Another", &none, &protocol), SCARD_E_NO_SMARTCARD);
    std::string names;
    ASSERT_EQ(pcsc::ListReaders(m_context, &names), SCARD_S_SUCCESS);
    EXPECT_EQ(names, std::string("Another\0Helix Sim 0\0\0", 21));
    EXPECT_EQ(pcsc::Disconnect(card, 7), SCARD_E_INVALID_VALUE);
    BYTE buffer[4];
    DWORD length = sizeof buffer;
    EXPECT_EQ(pcsc::Transmit(card, pcsc::kProtocolT0, kChallenge.data(), 5, buffer, &length),
              SCARD_E_PROTO_MISMATCH);
    ASSERT_EQ(Send(card, Hex(simtest::kSelectApplet)), SCARD_S_SUCCESS);
    length = sizeof buffer;
    EXPECT_EQ(pcsc::Transmit(card, pcsc::kProtocolT1, kChallenge.data(), 5, buffer, &length),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
    Readers::Instance().RemoveReader(kReader);
    EXPECT_EQ(Send(card, kChallenge), SCARD_E_READER_UNAVAILABLE);
    EXPECT_EQ(pcsc::Disconnect(card, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    EXPECT_EQ(Readers::Instance().OpenHandles(), 0u);
    EXPECT_EQ(pcsc::ReleaseContext(m_context), SCARD_S_SUCCESS);
    EXPECT_EQ(pcsc::ReleaseContext(m_context), SCARD_E_INVALID_HANDLE);
}

// An event that one handle (the watcher) did not cause, and what it must be told.
struct EventCase {
    const char* name;
    std::function<void(SCARDHANDLE actor)> cause;
    DWORD reported;
};

class SimPcscEvents : public SimPcsc, public ::testing::WithParamInterface<EventCase> {};

TEST_P(SimPcscEvents, EveryCallOfAnotherHandleReportsItUntilReconnect) {
    const SCARDHANDLE watcher = Selected(), actor = Connect();
    GetParam().cause(actor);
    EXPECT_EQ(Send(watcher, kChallenge), GetParam().reported);
    EXPECT_EQ(StatusOf(watcher), GetParam().reported);
    EXPECT_EQ(pcsc::BeginTransaction(watcher), GetParam().reported);
    EXPECT_EQ(Leave(watcher), GetParam().reported);
    if (GetParam().reported == SCARD_W_REMOVED_CARD) {
        EXPECT_EQ(Reconnect(watcher), SCARD_E_NO_SMARTCARD);
        Readers::Instance().ReinsertCard(kReader);
    }
    ASSERT_EQ(Reconnect(watcher), SCARD_S_SUCCESS);
    EXPECT_EQ(CardIdSw(watcher), 0x6D00) << "the card went through a power cycle";
}

void ReleasedInsideATransaction(SCARDHANDLE) {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(pcsc::EstablishContext(&context), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::Connect(context, kReader, &card, &protocol), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::BeginTransaction(card), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::ReleaseContext(context), SCARD_S_SUCCESS);
}
// The command the fault is on is answered, then the card resets or leaves.
std::function<void(SCARDHANDLE)> AfterACommand(Fault::Kind kind) {
    return [kind](SCARDHANDLE a) {
        AddFault(kind);
        ASSERT_EQ(Send(a, kChallenge), SCARD_S_SUCCESS);
    };
}

const EventCase kEvents[] = {
    {"ResetAtEndOfTransaction",
     [](SCARDHANDLE a) {
         ASSERT_EQ(pcsc::BeginTransaction(a), SCARD_S_SUCCESS);
         ASSERT_EQ(pcsc::EndTransaction(a, pcsc::kResetCard), SCARD_S_SUCCESS);
     },
     SCARD_W_RESET_CARD},
    {"ResetByReconnect", [](SCARDHANDLE a) { ASSERT_EQ(Reconnect(a, pcsc::kResetCard), SCARD_S_SUCCESS); },
     SCARD_W_RESET_CARD},
    {"ResetByDisconnect", [](SCARDHANDLE a) { pcsc::Disconnect(a, pcsc::kResetCard); }, SCARD_W_RESET_CARD},
    {"UnpowerByDisconnect", [](SCARDHANDLE a) { pcsc::Disconnect(a, pcsc::kUnpowerCard); },
     SCARD_W_RESET_CARD},
    {"ContextReleasedInsideATransaction", ReleasedInsideATransaction, SCARD_W_RESET_CARD},
    {"HostPowerCycle", [](SCARDHANDLE) { Readers::Instance().ResetCard(kReader); }, SCARD_W_RESET_CARD},
    {"CardResetsAfterACommand", AfterACommand(Fault::Kind::ResetAfter), SCARD_W_RESET_CARD},
    {"UserPullsTheCard", [](SCARDHANDLE) { Readers::Instance().RemoveCard(kReader); }, SCARD_W_REMOVED_CARD},
    {"CardLeavesAfterACommand", AfterACommand(Fault::Kind::RemoveAfter), SCARD_W_REMOVED_CARD},
};
INSTANTIATE_TEST_SUITE_P(Events, SimPcscEvents, ::testing::ValuesIn(kEvents), simtest::CaseName);

// Its own reset by reconnection is not reported to a handle, its unpowering end of transaction
// is; a context released outside a transaction leaves the card alone; a fault before a command
// fails that very transmit.
TEST_F(SimPcsc, WhatAHandleIsToldOfItsOwnDoings) {
    const SCARDHANDLE card = Selected();
    SCARDCONTEXT other = 0;
    ASSERT_EQ(pcsc::EstablishContext(&other), SCARD_S_SUCCESS);
    Connect(other);
    ASSERT_EQ(pcsc::ReleaseContext(other), SCARD_S_SUCCESS);
    EXPECT_EQ(CardIdSw(card), 0x9000);
    ASSERT_EQ(Reconnect(card, pcsc::kResetCard), SCARD_S_SUCCESS);
    EXPECT_EQ(CardIdSw(card), 0x6D00);
    ASSERT_EQ(pcsc::BeginTransaction(card), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::EndTransaction(card, pcsc::kUnpowerCard), SCARD_S_SUCCESS);
    EXPECT_EQ(Send(card, kChallenge), SCARD_W_RESET_CARD);
    ASSERT_EQ(Reconnect(card), SCARD_S_SUCCESS);
    AddFault(Fault::Kind::ResetBefore);
    EXPECT_EQ(Send(card, kChallenge), SCARD_W_RESET_CARD);
    ASSERT_EQ(Reconnect(card), SCARD_S_SUCCESS);
    AddFault(Fault::Kind::RemoveBefore);
    EXPECT_EQ(Send(card, kChallenge), SCARD_W_REMOVED_CARD);
    EXPECT_FALSE(Readers::Instance().CardPresent(kReader));
}

// Transactions nest; while one is held every call of another handle waits, here until the wait
// limit. The holder's disconnect ends its transaction, and so does a removal, which also wakes
// the waiters.
TEST_F(SimPcsc, TransactionsNestAndHoldOffOtherHandles) {
    Readers::Instance().SetWaitLimit(std::chrono::milliseconds(20));
    const SCARDHANDLE holder = Selected(), other = Connect(), waiting = Connect();
    EXPECT_EQ(Leave(holder), SCARD_E_NOT_TRANSACTED);
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);
    ASSERT_EQ(Leave(holder), SCARD_S_SUCCESS);
    SCARDHANDLE none = 0;
    DWORD protocol = 0;
    EXPECT_EQ(pcsc::Connect(m_context, kReader, &none, &protocol), SCARD_E_TIMEOUT);
    EXPECT_EQ(pcsc::BeginTransaction(other), SCARD_E_TIMEOUT);
    EXPECT_EQ(Send(other, kChallenge), SCARD_E_TIMEOUT);
    EXPECT_EQ(StatusOf(other), SCARD_E_TIMEOUT);
    EXPECT_EQ(Reconnect(other), SCARD_E_TIMEOUT);
    EXPECT_EQ(pcsc::Disconnect(other, pcsc::kResetCard), SCARD_E_TIMEOUT);
    EXPECT_EQ(Leave(other), SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(CardIdSw(holder), 0x9000);
    ASSERT_EQ(Leave(holder), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::BeginTransaction(other), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::Disconnect(other, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    ASSERT_EQ(pcsc::BeginTransaction(holder), SCARD_S_SUCCESS);

    Readers::Instance().SetWaitLimit(std::chrono::seconds(10));
    DWORD result = 0;
    std::thread waiter([&] { result = pcsc::BeginTransaction(waiting); });
    for (int i = 0; i < 5000 && Readers::Instance().BlockedCalls() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(Readers::Instance().BlockedCalls(), 1u);
    Readers::Instance().RemoveCard(kReader);
    waiter.join();
    EXPECT_EQ(result, SCARD_W_REMOVED_CARD);
    Readers::Instance().ReinsertCard(kReader);
    ASSERT_EQ(Reconnect(holder), SCARD_S_SUCCESS);
    EXPECT_EQ(Leave(holder), SCARD_E_NOT_TRANSACTED);
}

}  // namespace
