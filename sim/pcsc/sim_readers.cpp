#include "pcsc/sim_readers.h"

#include <algorithm>
#include <stdexcept>

#include "channel/pcsc.h"

namespace helixsim {

namespace {

constexpr DWORD kEjectCard = 3;
// pcsc-lite's largest command: an extended APDU with both length fields and room for a trailer.
constexpr DWORD kMaxCommand = 4 + 3 + 65536 + 3 + 2;

bool ValidDisposition(DWORD disposition) {
    return disposition <= kEjectCard;
}

bool Resets(DWORD disposition) {
    return disposition == pcsc::kResetCard || disposition == pcsc::kUnpowerCard;
}

std::invalid_argument UnknownReader(const std::string& name) {
    return std::invalid_argument("no simulated reader named \"" + name + "\"");
}

}  // namespace

Readers& Readers::Instance() {
    static Readers instance;
    return instance;
}

void Readers::AddReader(const std::string& name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader& reader = m_readers[name];
    if (reader.id == 0) reader.id = NextId();
}

void Readers::RemoveReader(const std::string& name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_readers.erase(name);
    m_changed.notify_all();
}

void Readers::InsertCard(const std::string& name, std::unique_ptr<HelixCard> card) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader& reader = m_readers[name];
    if (reader.id == 0) reader.id = NextId();
    if (reader.present) MarkRemoved(reader);
    reader.card = std::move(card);
    reader.present = reader.card != nullptr;
    reader.powered = false;
    ++reader.insertions;
    m_changed.notify_all();
}

void Readers::RemoveCard(const std::string& name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader* reader = FindReader(name);
    if (reader == nullptr) throw UnknownReader(name);
    if (reader->present) MarkRemoved(*reader);
}

void Readers::ReinsertCard(const std::string& name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader* reader = FindReader(name);
    if (reader == nullptr) throw UnknownReader(name);
    if (reader->card == nullptr) throw std::logic_error("no card to put back into \"" + name + "\"");
    if (reader->present) return;
    reader->present = true;
    reader->powered = false;
    ++reader->insertions;
    m_changed.notify_all();
}

std::unique_ptr<HelixCard> Readers::TakeCard(const std::string& name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader* reader = FindReader(name);
    if (reader == nullptr) throw UnknownReader(name);
    if (reader->present) MarkRemoved(*reader);
    return std::move(reader->card);
}

void Readers::ResetCard(const std::string& name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader* reader = FindReader(name);
    if (reader == nullptr) throw UnknownReader(name);
    if (!reader->present) throw std::logic_error("no card in \"" + name + "\" to reset");
    ResetBy(*reader, 0);
}

bool Readers::WithCard(const std::string& name, const std::function<void(HelixCard&)>& use) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Reader* reader = FindReader(name);
    if (reader == nullptr || reader->card == nullptr) return false;
    use(*reader->card);
    return true;
}

bool Readers::CardPresent(const std::string& name) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Reader* reader = FindReader(name);
    return reader != nullptr && reader->present;
}

std::vector<std::string> Readers::ReaderNames() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& entry : m_readers) names.push_back(entry.first);
    return names;
}

size_t Readers::OpenHandles() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_handles.size();
}

size_t Readers::BlockedCalls() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocked;
}

void Readers::SetWaitLimit(std::chrono::milliseconds limit) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_waitLimit = limit;
}

void Readers::Clear() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_readers.clear();
    m_contexts.clear();
    m_handles.clear();
    m_waitLimit = kDefaultWaitLimit;
    m_changed.notify_all();
}

DWORD Readers::EstablishContext(SCARDCONTEXT* context) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    const std::lock_guard<std::mutex> lock(m_mutex);
    *context = NextId();
    m_contexts.insert(*context);
    return SCARD_S_SUCCESS;
}

DWORD Readers::ReleaseContext(SCARDCONTEXT context) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_contexts.erase(context) == 0) return SCARD_E_INVALID_HANDLE;
    std::vector<SCARDHANDLE> left;
    for (const auto& entry : m_handles) {
        if (entry.second.context == context) left.push_back(entry.first);
    }
    // A client that goes away in the middle of a transaction leaves a reset card behind, so that
    // nobody inherits the half-done work (applet selection, verified PIN); other handles go quietly.
    for (const SCARDHANDLE card : left) {
        const Handle& handle = m_handles.at(card);
        Reader* reader = ReaderOf(handle);
        if (reader != nullptr && reader->holder == card && PendingEvent(handle, *reader) == SCARD_S_SUCCESS) {
            ResetBy(*reader, card);
        }
        Drop(card);
    }
    return SCARD_S_SUCCESS;
}

DWORD Readers::ListReaders(SCARDCONTEXT context, std::string* multiString) {
    if (multiString == nullptr) return SCARD_E_INVALID_PARAMETER;
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
    multiString->clear();
    if (m_readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    for (const auto& entry : m_readers) {
        multiString->append(entry.first);
        multiString->push_back('\0');
    }
    multiString->push_back('\0');
    return SCARD_S_SUCCESS;
}

DWORD Readers::Connect(SCARDCONTEXT context, const char* name, SCARDHANDLE* card, DWORD* protocol) {
    if (card == nullptr) return SCARD_E_INVALID_PARAMETER;
    *card = 0;
    if (name == nullptr) return SCARD_E_INVALID_PARAMETER;
    Lock lock(m_mutex);
    return Await(lock, [&]() -> std::optional<DWORD> {
        if (m_contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
        Reader* reader = FindReader(name);
        if (reader == nullptr) return SCARD_E_UNKNOWN_READER;
        if (!reader->present) return SCARD_E_NO_SMARTCARD;
        if (reader->holder != 0) return std::nullopt;
        PowerUp(*reader);
        const SCARDHANDLE id = NextId();
        m_handles[id] = Handle{context, name, reader->id, reader->insertions, reader->resets};
        *card = id;
        if (protocol != nullptr) *protocol = pcsc::kProtocolT1;
        return SCARD_S_SUCCESS;
    });
}

DWORD Readers::Reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) {
    if (!ValidDisposition(initialization)) return SCARD_E_INVALID_VALUE;
    Lock lock(m_mutex);
    return WhenFree(lock, card, false, [&](Handle& handle, Reader& reader) {
        if (!reader.present) return SCARD_E_NO_SMARTCARD;
        PowerUp(reader);
        if (Resets(initialization)) ResetBy(reader, card);
        handle.insertionSeen = reader.insertions;
        handle.resetSeen = reader.resets;
        if (protocol != nullptr) *protocol = pcsc::kProtocolT1;
        return SCARD_S_SUCCESS;
    });
}

DWORD Readers::Disconnect(SCARDHANDLE card, DWORD disposition) {
    if (!ValidDisposition(disposition)) return SCARD_E_INVALID_VALUE;
    Lock lock(m_mutex);
    const auto it = m_handles.find(card);
    if (it == m_handles.end()) return SCARD_E_INVALID_HANDLE;
    const Reader* reader = ReaderOf(it->second);
    if (reader == nullptr || !reader->present || !Resets(disposition)) {
        Drop(card);
        return SCARD_S_SUCCESS;
    }
    return WhenFree(lock, card, false, [&](Handle&, Reader& current) {
        if (current.present) {
            ResetBy(current, card);
            if (disposition == pcsc::kUnpowerCard) current.powered = false;
        }
        Drop(card);
        return SCARD_S_SUCCESS;
    });
}

DWORD Readers::Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    Lock lock(m_mutex);
    return WhenFree(lock, card, true, [&](Handle&, Reader& reader) {
        const Bytes& cardAtr = reader.card->Atr();
        const DWORD size = static_cast<DWORD>(cardAtr.size());
        if (atrLength != nullptr) {
            if (atr != nullptr && *atrLength < size) {
                *atrLength = size;
                return SCARD_E_INSUFFICIENT_BUFFER;
            }
            if (atr != nullptr) std::copy(cardAtr.begin(), cardAtr.end(), atr);
            *atrLength = size;
        }
        if (protocol != nullptr) *protocol = pcsc::kProtocolT1;
        return SCARD_S_SUCCESS;
    });
}

DWORD Readers::ReaderName(SCARDHANDLE card, char* reader, DWORD* readerLength) {
    Lock lock(m_mutex);
    return WhenFree(lock, card, true, [&](Handle& handle, Reader&) {
        const auto length = static_cast<DWORD>(handle.reader.size() + 1);
        const DWORD room = *readerLength;
        *readerLength = length;
        if (reader == nullptr) return SCARD_S_SUCCESS;
        if (room < length) return SCARD_E_INSUFFICIENT_BUFFER;
        std::copy(handle.reader.begin(), handle.reader.end(), reader);
        reader[length - 1] = '\0';
        return SCARD_S_SUCCESS;
    });
}

DWORD Readers::BeginTransaction(SCARDHANDLE card) {
    Lock lock(m_mutex);
    return WhenFree(lock, card, true, [&](Handle&, Reader& reader) {
        reader.holder = card;
        ++reader.nesting;
        return SCARD_S_SUCCESS;
    });
}

DWORD Readers::EndTransaction(SCARDHANDLE card, DWORD disposition) {
    if (!ValidDisposition(disposition)) return SCARD_E_INVALID_VALUE;
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_handles.find(card);
    if (it == m_handles.end()) return SCARD_E_INVALID_HANDLE;
    Reader* reader = ReaderOf(it->second);
    if (reader == nullptr) return SCARD_E_READER_UNAVAILABLE;
    const DWORD event = PendingEvent(it->second, *reader);
    if (event != SCARD_S_SUCCESS) return event;
    if (reader->holder != card)
        return reader->holder == 0 ? SCARD_E_NOT_TRANSACTED : SCARD_E_SHARING_VIOLATION;
    if (Resets(disposition)) ResetBy(*reader, card);
    // pcsc-lite tells even the caller that its unpowering end of transaction reset the card.
    if (disposition == pcsc::kUnpowerCard) --it->second.resetSeen;
    if (--reader->nesting == 0) reader->holder = 0;
    m_changed.notify_all();
    return SCARD_S_SUCCESS;
}

DWORD Readers::Transmit(SCARDHANDLE card, DWORD protocol, const BYTE* send, DWORD sendLength, BYTE* recv,
                        DWORD* recvLength) {
    if (send == nullptr || recv == nullptr || recvLength == nullptr) return SCARD_E_INVALID_PARAMETER;
    const DWORD capacity = *recvLength;
    *recvLength = 0;
    if (sendLength > kMaxCommand) return SCARD_E_INSUFFICIENT_BUFFER;
    Lock lock(m_mutex);
    return WhenFree(lock, card, true, [&](Handle&, Reader& reader) {
        if (protocol == pcsc::kProtocolT0) return SCARD_E_PROTO_MISMATCH;
        PowerUp(reader);
        const TransmitResult result = reader.card->Transmit(Bytes(send, send + sendLength));
        if (result.event == TransmitResult::Event::Reset) NoteReset(reader, 0);
        if (result.event == TransmitResult::Event::Removed) MarkRemoved(reader);
        if (result.response.empty() && result.event != TransmitResult::Event::None) {
            return result.event == TransmitResult::Event::Reset ? SCARD_W_RESET_CARD : SCARD_W_REMOVED_CARD;
        }
        if (result.response.size() > capacity) return SCARD_E_INSUFFICIENT_BUFFER;
        std::copy(result.response.begin(), result.response.end(), recv);
        *recvLength = static_cast<DWORD>(result.response.size());
        return SCARD_S_SUCCESS;
    });
}

uintptr_t Readers::NextId() {
    return ++m_lastId;
}

Readers::Reader* Readers::FindReader(const std::string& name) {
    const auto it = m_readers.find(name);
    return it == m_readers.end() ? nullptr : &it->second;
}

const Readers::Reader* Readers::FindReader(const std::string& name) const {
    const auto it = m_readers.find(name);
    return it == m_readers.end() ? nullptr : &it->second;
}

Readers::Reader* Readers::ReaderOf(const Handle& handle) {
    Reader* reader = FindReader(handle.reader);
    return reader != nullptr && reader->id == handle.readerId ? reader : nullptr;
}

DWORD Readers::PendingEvent(const Handle& handle, const Reader& reader) const {
    if (!reader.present || handle.insertionSeen != reader.insertions) return SCARD_W_REMOVED_CARD;
    if (handle.resetSeen != reader.resets) return SCARD_W_RESET_CARD;
    return SCARD_S_SUCCESS;
}

DWORD Readers::Await(Lock& lock, const std::function<std::optional<DWORD>()>& attempt) {
    const auto deadline = std::chrono::steady_clock::now() + m_waitLimit;
    for (;;) {
        const std::optional<DWORD> result = attempt();
        if (result) return *result;
        ++m_blocked;
        const std::cv_status waited = m_changed.wait_until(lock, deadline);
        --m_blocked;
        if (waited == std::cv_status::timeout) return SCARD_E_TIMEOUT;
    }
}

DWORD Readers::WhenFree(Lock& lock, SCARDHANDLE card, bool checkEvents,
                        const std::function<DWORD(Handle&, Reader&)>& step) {
    return Await(lock, [&]() -> std::optional<DWORD> {
        const auto it = m_handles.find(card);
        if (it == m_handles.end()) return SCARD_E_INVALID_HANDLE;
        Reader* reader = ReaderOf(it->second);
        if (reader == nullptr) return SCARD_E_READER_UNAVAILABLE;
        if (checkEvents) {
            const DWORD event = PendingEvent(it->second, *reader);
            if (event != SCARD_S_SUCCESS) return event;
        }
        if (reader->holder != 0 && reader->holder != card) return std::nullopt;
        return step(it->second, *reader);
    });
}

void Readers::PowerUp(Reader& reader) {
    if (reader.powered) return;
    reader.card->Reset();
    reader.powered = true;
}

void Readers::ResetBy(Reader& reader, SCARDHANDLE by) {
    reader.card->Reset();
    NoteReset(reader, by);
}

void Readers::NoteReset(Reader& reader, SCARDHANDLE by) {
    reader.powered = true;
    ++reader.resets;
    const auto it = m_handles.find(by);
    if (it != m_handles.end()) it->second.resetSeen = reader.resets;
    if (reader.holder != by) {
        reader.holder = 0;
        reader.nesting = 0;
    }
    m_changed.notify_all();
}

void Readers::MarkRemoved(Reader& reader) {
    reader.present = false;
    reader.powered = false;
    ++reader.insertions;
    reader.holder = 0;
    reader.nesting = 0;
    m_changed.notify_all();
}

void Readers::Drop(SCARDHANDLE card) {
    const auto it = m_handles.find(card);
    if (it == m_handles.end()) return;
    Reader* reader = ReaderOf(it->second);
    if (reader != nullptr && reader->holder == card) {
        reader->holder = 0;
        reader->nesting = 0;
    }
    m_handles.erase(it);
    m_changed.notify_all();
}

}  // namespace helixsim
