// Simulated readers holding simulated cards, and the resource manager that the in-process PC/SC
// seam (channel/pcsc.h) talks to. One registry per process, shared by every thread.
//
// The resource manager behaves as pcsc-lite does where a module can tell the difference:
// - contexts and card handles are unique non-zero values, never reused within the process;
// - a handle that missed a card reset answers SCARD_W_RESET_CARD, one that missed a removal
//   SCARD_W_REMOVED_CARD, until it calls Reconnect; a new Connect to an empty reader answers
//   SCARD_E_NO_SMARTCARD;
// - while one handle holds the transaction, every other handle's Connect, Status, Transmit,
//   BeginTransaction, Reconnect and resetting Disconnect waits for it; transactions nest per handle;
// - a context released while one of its handles holds the transaction resets
//   the card; its other handles go without a reset;
// - ending a transaction with SCARD_UNPOWER_CARD reports the reset to the caller as well;
// - a reset the holder did not ask for (the card's own, or ResetCard below) and a removal end the
//   transaction; after Reconnect the old holder's EndTransaction answers SCARD_E_NOT_TRANSACTED.
// Where pcsc-lite would wait forever, a wait here ends after the wait limit (5 s unless changed)
// with SCARD_E_TIMEOUT, so that a test harness fails instead of hanging.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helixsim/card.h"
#include "platform/win32.h"

namespace helixsim {

class Readers final {
public:
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{5000};

    static Readers& Instance();

    Readers(const Readers&) = delete;
    Readers& operator=(const Readers&) = delete;

    // The host's side: readers and the cards in them.
    void AddReader(const std::string& name);  // an existing reader is kept as it is
    // Handles on a removed reader answer SCARD_E_READER_UNAVAILABLE.
    void RemoveReader(const std::string& name);
    // Puts `card` in the reader (added when unknown), taking the place of any card there before.
    void InsertCard(const std::string& reader, std::unique_ptr<HelixCard> card);
    // The user pulls the card out; it stays on the desk for ReinsertCard or TakeCard.
    void RemoveCard(const std::string& reader);
    void ReinsertCard(const std::string& reader);
    // The card of the reader, in it or on the desk; the reader is empty afterwards.
    std::unique_ptr<HelixCard> TakeCard(const std::string& reader);
    // A power cycle that no handle asked for: every handle sees SCARD_W_RESET_CARD.
    void ResetCard(const std::string& reader);
    // Runs `use` on the reader's card (in it or on the desk) under the registry's lock, for
    // inspection, fault injection and latency settings; `use` must not call the registry. False
    // when the reader holds no card.
    bool WithCard(const std::string& reader, const std::function<void(HelixCard&)>& use);

    bool CardPresent(const std::string& reader) const;
    std::vector<std::string> ReaderNames() const;
    size_t OpenHandles() const;
    // Calls waiting for another handle's transaction right now.
    size_t BlockedCalls() const;
    void SetWaitLimit(std::chrono::milliseconds limit);
    // Forgets every reader, card, context and handle; the wait limit returns to its default.
    void Clear();

    // The resource manager's side: what the functions of namespace pcsc forward to.
    DWORD EstablishContext(SCARDCONTEXT* context);
    DWORD ReleaseContext(SCARDCONTEXT context);
    DWORD ListReaders(SCARDCONTEXT context, std::string* multiString);
    DWORD Connect(SCARDCONTEXT context, const char* reader, SCARDHANDLE* card, DWORD* protocol);
    DWORD Reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol);
    DWORD Disconnect(SCARDHANDLE card, DWORD disposition);
    DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength);
    // The reader's name with its terminating character, as pcsc-lite gives it.
    DWORD ReaderName(SCARDHANDLE card, char* reader, DWORD* readerLength);
    DWORD BeginTransaction(SCARDHANDLE card);
    DWORD EndTransaction(SCARDHANDLE card, DWORD disposition);
    DWORD Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
                   DWORD* recvLength);

private:
    struct Reader {
        uint64_t id = 0;
        std::unique_ptr<HelixCard> card;
        bool present = false;
        bool powered = false;
        uint64_t insertions = 0;  // moves on at every insertion and removal
        uint64_t resets = 0;
        SCARDHANDLE holder = 0;  // the handle holding the transaction
        uint32_t nesting = 0;
    };
    struct Handle {
        SCARDCONTEXT context = 0;
        std::string reader;
        uint64_t readerId = 0;
        uint64_t insertionSeen = 0;
        uint64_t resetSeen = 0;
    };
    using Lock = std::unique_lock<std::mutex>;

    Readers() = default;

    uintptr_t NextId();
    Reader* FindReader(const std::string& name);
    const Reader* FindReader(const std::string& name) const;
    Reader* ReaderOf(const Handle& handle);
    DWORD PendingEvent(const Handle& handle, const Reader& reader) const;
    // Calls `attempt` until it has a result (waking at every change), up to the wait limit.
    DWORD Await(Lock& lock, const std::function<std::optional<DWORD>()>& attempt);
    // Runs `step` once `card` is valid and no other handle holds the transaction, waiting up to
    // the wait limit; events pending on the handle answer first when `checkEvents`.
    DWORD WhenFree(Lock& lock, SCARDHANDLE card, bool checkEvents,
                   const std::function<DWORD(Handle&, Reader&)>& step);
    void PowerUp(Reader& reader);
    // A power cycle of the card; `by` (0 for nobody) keeps its transaction and misses no event.
    void ResetBy(Reader& reader, SCARDHANDLE by);
    // The bookkeeping of a reset that already happened inside the card.
    void NoteReset(Reader& reader, SCARDHANDLE by);
    void MarkRemoved(Reader& reader);
    // Forgets a handle, ending its transaction.
    void Drop(SCARDHANDLE card);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, Reader> m_readers;
    std::set<SCARDCONTEXT> m_contexts;
    std::map<SCARDHANDLE, Handle> m_handles;
    uintptr_t m_lastId = 0x5C000000;
    size_t m_blocked = 0;
    std::chrono::milliseconds m_waitLimit = kDefaultWaitLimit;
};

}  // namespace helixsim
