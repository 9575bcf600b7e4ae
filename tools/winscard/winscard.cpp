// A winscard.dll for the Windows tests under Wine, whose own winscard answers nothing useful: one
// reader, whose card is helix-sim reached over the vpcd protocol. helix-sim connects to this
// process as it would to pcscd's vpcd driver: every message is a 2-byte big-endian length and a
// body; a 1-byte body is a control (0 power off, 1 power on, 2 reset, 4 the ATR, which the card
// answers), any other body a command, which the card answers with its response. A test artifact,
// never shipped.
//
// Environment: HELIX_VPCD_PORT (35963), HELIX_VPCD_WAIT_MS (how long a connection waits for the
// card, 20000), HELIX_READER_NAME ("Helix Test Reader 0").
#define WINSCARDDATA
// winsock2.h before windows.h, as it demands.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#include <winscard.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci{SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

using Bytes = std::vector<BYTE>;

constexpr BYTE kPowerOff = 0;
constexpr BYTE kPowerOn = 1;
constexpr BYTE kReset = 2;
constexpr BYTE kGetAtr = 4;

std::string Environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

struct Handle {
    SCARDCONTEXT context = 0;
    // The card's insertion and reset the handle last saw: a handle that has not seen the latest
    // answers the reset or removal until its host reconnects.
    unsigned insertion = 0;
    unsigned resets = 0;
};

// The reader and its card, shared by every context of the process. The card's link is served
// under the lock, one message at a time, as a reader serves one command at a time.
class Reader {
public:
    LONG Establish(SCARDCONTEXT* context) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!Listen()) return SCARD_E_NO_SERVICE;
        *context = static_cast<SCARDCONTEXT>(m_nextContext++);
        m_contexts[*context] = true;
        return SCARD_S_SUCCESS;
    }

    LONG Release(SCARDCONTEXT context) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_contexts.erase(context) == 0) return SCARD_E_INVALID_HANDLE;
        for (auto it = m_handles.begin(); it != m_handles.end();) {
            it = it->second.context == context ? m_handles.erase(it) : std::next(it);
        }
        return SCARD_S_SUCCESS;
    }

    LONG IsValid(SCARDCONTEXT context) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_contexts.count(context) == 1 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
    }

    LONG Names(SCARDCONTEXT context, std::string* multiString) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
        *multiString = Name() + std::string(2, '\0');
        return SCARD_S_SUCCESS;
    }

    std::string Name() const { return Environment("HELIX_READER_NAME", "Helix Test Reader 0"); }

    LONG Connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE* card, DWORD* protocol) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_contexts.count(context) == 0) return SCARD_E_INVALID_HANDLE;
        if (reader != Name()) return SCARD_E_UNKNOWN_READER;
        if (!Present()) return SCARD_E_NO_SMARTCARD;
        const SCARDHANDLE handle = static_cast<SCARDHANDLE>(m_nextHandle++);
        m_handles[handle] = Handle{context, m_insertion, m_resets};
        *card = handle;
        if (protocol != nullptr) *protocol = SCARD_PROTOCOL_T1;
        return SCARD_S_SUCCESS;
    }

    LONG Reconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) {
        std::unique_lock<std::mutex> lock(m_mutex);
        Handle* handle = Find(card);
        if (handle == nullptr) return SCARD_E_INVALID_HANDLE;
        if (!Present()) return SCARD_W_REMOVED_CARD;
        WaitForTransaction(lock, card);
        handle = Find(card);
        if (handle == nullptr) return SCARD_E_INVALID_HANDLE;
        handle->insertion = m_insertion;
        handle->resets = m_resets;
        if (initialization == SCARD_RESET_CARD || initialization == SCARD_UNPOWER_CARD) {
            if (!ResetCard(initialization == SCARD_UNPOWER_CARD)) return SCARD_W_REMOVED_CARD;
            handle->resets = m_resets;
        }
        if (protocol != nullptr) *protocol = SCARD_PROTOCOL_T1;
        return SCARD_S_SUCCESS;
    }

    LONG Disconnect(SCARDHANDLE card, DWORD disposition) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_handles.find(card);
        if (it == m_handles.end()) return SCARD_E_INVALID_HANDLE;
        const bool current = Current(it->second) == SCARD_S_SUCCESS;
        m_handles.erase(it);
        if (m_transactionOwner == card) EndTransaction();
        if (current && (disposition == SCARD_RESET_CARD || disposition == SCARD_UNPOWER_CARD))
            ResetCard(disposition == SCARD_UNPOWER_CARD);
        return SCARD_S_SUCCESS;
    }

    LONG Begin(SCARDHANDLE card) {
        std::unique_lock<std::mutex> lock(m_mutex);
        LONG rv = SCARD_S_SUCCESS;
        if (Await(lock, card, &rv) == nullptr) return rv;
        m_transactionOwner = card;
        ++m_transactionDepth;
        return SCARD_S_SUCCESS;
    }

    LONG End(SCARDHANDLE card, DWORD disposition) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Handle* handle = Find(card);
        if (handle == nullptr) return SCARD_E_INVALID_HANDLE;
        if (m_transactionOwner != card) return SCARD_E_NOT_TRANSACTED;
        if (--m_transactionDepth == 0) EndTransaction();
        if (const LONG rv = Current(*handle); rv != SCARD_S_SUCCESS) return rv;
        if (disposition == SCARD_RESET_CARD || disposition == SCARD_UNPOWER_CARD) {
            if (!ResetCard(disposition == SCARD_UNPOWER_CARD)) return SCARD_W_REMOVED_CARD;
            handle->resets = m_resets;
        }
        return SCARD_S_SUCCESS;
    }

    LONG Status(SCARDHANDLE card, DWORD* state, DWORD* protocol, Bytes* atr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Handle* handle = Find(card);
        if (handle == nullptr) return SCARD_E_INVALID_HANDLE;
        if (const LONG rv = Current(*handle); rv != SCARD_S_SUCCESS) return rv;
        if (state != nullptr) *state = SCARD_SPECIFIC;
        if (protocol != nullptr) *protocol = SCARD_PROTOCOL_T1;
        *atr = m_atr;
        return SCARD_S_SUCCESS;
    }

    LONG Transmit(SCARDHANDLE card, const Bytes& command, Bytes* response) {
        std::unique_lock<std::mutex> lock(m_mutex);
        LONG rv = SCARD_S_SUCCESS;
        if (Await(lock, card, &rv) == nullptr) return rv;
        if (!Send(command) || !Receive(response)) {
            Removed();
            return SCARD_W_REMOVED_CARD;
        }
        return SCARD_S_SUCCESS;
    }

private:
    Handle* Find(SCARDHANDLE card) {
        const auto it = m_handles.find(card);
        return it == m_handles.end() ? nullptr : &it->second;
    }

    LONG Current(const Handle& handle) const {
        if (m_link == INVALID_SOCKET || handle.insertion != m_insertion) return SCARD_W_REMOVED_CARD;
        if (handle.resets != m_resets) return SCARD_W_RESET_CARD;
        return SCARD_S_SUCCESS;
    }

    // Another handle's transaction keeps this one waiting, as the smart card service does.
    void WaitForTransaction(std::unique_lock<std::mutex>& lock, SCARDHANDLE card) {
        m_released.wait(lock, [&] { return m_transactionOwner == 0 || m_transactionOwner == card; });
    }

    // The handle once the card is free for it and it has seen the card's latest reset and
    // insertion; else null, with the host's answer in `rv`.
    Handle* Await(std::unique_lock<std::mutex>& lock, SCARDHANDLE card, LONG* rv) {
        *rv = SCARD_E_INVALID_HANDLE;
        if (Find(card) == nullptr) return nullptr;
        WaitForTransaction(lock, card);
        Handle* handle = Find(card);  // its context may have been released meanwhile
        if (handle == nullptr) return nullptr;
        *rv = Current(*handle);
        return *rv == SCARD_S_SUCCESS ? handle : nullptr;
    }

    void EndTransaction() {
        m_transactionOwner = 0;
        m_transactionDepth = 0;
        m_released.notify_all();
    }

    bool Listen() {
        if (m_listener != INVALID_SOCKET) return true;
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
        const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener == INVALID_SOCKET) return false;
        // One test run after another binds the same port while the last one's closes linger.
        const BOOL reuse = TRUE;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port =
            htons(static_cast<u_short>(std::atoi(Environment("HELIX_VPCD_PORT", "35963").c_str())));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 1) != 0) {
            closesocket(listener);
            return false;
        }
        m_listener = listener;
        return true;
    }

    // A card in the reader, waiting for helix-sim to connect when none is.
    bool Present() {
        if (m_link != INVALID_SOCKET) return true;
        const int waitMs = std::atoi(Environment("HELIX_VPCD_WAIT_MS", "20000").c_str());
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_listener, &set);
        timeval timeout{waitMs / 1000, (waitMs % 1000) * 1000};
        if (select(0, &set, nullptr, nullptr, &timeout) != 1) return false;
        const SOCKET link = accept(m_listener, nullptr, nullptr);
        if (link == INVALID_SOCKET) return false;
        const BOOL noDelay = TRUE;
        setsockopt(link, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        m_link = link;
        ++m_insertion;
        if (!Send({kPowerOn}) || !Send({kGetAtr}) || !Receive(&m_atr)) {
            Removed();
            return false;
        }
        return true;
    }

    void Removed() {
        if (m_link != INVALID_SOCKET) closesocket(m_link);
        m_link = INVALID_SOCKET;
        m_atr.clear();
        EndTransaction();
    }

    bool ResetCard(bool unpower) {
        ++m_resets;
        const bool sent = unpower ? Send({kPowerOff}) && Send({kPowerOn}) : Send({kReset});
        if (!sent) Removed();
        return sent;
    }

    bool Send(const Bytes& body) {
        if (m_link == INVALID_SOCKET || body.size() > 0xFFFF) return false;
        Bytes frame{static_cast<BYTE>(body.size() >> 8), static_cast<BYTE>(body.size())};
        frame.insert(frame.end(), body.begin(), body.end());
        return SendAll(frame.data(), frame.size());
    }

    bool Receive(Bytes* body) {
        BYTE length[2];
        if (!ReceiveAll(length, 2)) return false;
        body->assign(static_cast<size_t>(length[0] << 8 | length[1]), 0);
        return body->empty() || ReceiveAll(body->data(), body->size());
    }

    bool SendAll(const BYTE* data, size_t size) {
        while (size > 0) {
            const int sent = send(m_link, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
            if (sent <= 0) return false;
            data += sent;
            size -= static_cast<size_t>(sent);
        }
        return true;
    }

    bool ReceiveAll(BYTE* data, size_t size) {
        while (size > 0) {
            const int got = recv(m_link, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
            if (got <= 0) return false;
            data += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    std::mutex m_mutex;
    std::condition_variable m_released;
    SOCKET m_listener = INVALID_SOCKET;
    SOCKET m_link = INVALID_SOCKET;
    Bytes m_atr;
    unsigned m_insertion = 0;
    unsigned m_resets = 0;
    uintptr_t m_nextContext = 0x1000;
    uintptr_t m_nextHandle = 0x2000;
    std::map<SCARDCONTEXT, bool> m_contexts;
    std::map<SCARDHANDLE, Handle> m_handles;
    SCARDHANDLE m_transactionOwner = 0;
    int m_transactionDepth = 0;
};

Reader& TheReader() {
    static Reader* reader = new Reader;  // never destroyed: hosts call in while the process ends
    return *reader;
}

// Copies `value` (characters or bytes) out as PC/SC does: the size alone when the buffer is null,
// a buffer of our own for SCARD_AUTOALLOCATE, the insufficient-buffer answer when it is short.
template <typename T>
LONG CopyOut(const std::vector<T>& value, T* buffer, DWORD* size) {
    if (size == nullptr) return SCARD_E_INVALID_PARAMETER;
    const DWORD needed = static_cast<DWORD>(value.size());
    if (buffer == nullptr) {
        *size = needed;
        return SCARD_S_SUCCESS;
    }
    if (*size == SCARD_AUTOALLOCATE) {
        T* copy = static_cast<T*>(std::malloc(needed * sizeof(T) + 1));
        if (copy == nullptr) return SCARD_E_NO_MEMORY;
        std::memcpy(copy, value.data(), needed * sizeof(T));
        *reinterpret_cast<T**>(buffer) = copy;
        *size = needed;
        return SCARD_S_SUCCESS;
    }
    const DWORD room = *size;
    *size = needed;
    if (room < needed) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, value.data(), needed * sizeof(T));
    return SCARD_S_SUCCESS;
}

std::vector<char> Narrow(const std::string& text) {
    return std::vector<char>(text.begin(), text.end());
}

std::vector<WCHAR> Wide(const std::string& text) {
    return std::vector<WCHAR>(text.begin(), text.end());  // reader names are ASCII
}

std::string FromWide(LPCWSTR text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) narrow.push_back(static_cast<char>(*text));
    return narrow;
}

template <typename T>
LONG StatusOf(SCARDHANDLE card, T* names, DWORD* namesLength, DWORD* state, DWORD* protocol, BYTE* atr,
              DWORD* atrLength, std::vector<T> (*convert)(const std::string&)) {
    Bytes cardAtr;
    const LONG rv = TheReader().Status(card, state, protocol, &cardAtr);
    if (rv != SCARD_S_SUCCESS) return rv;
    if (namesLength != nullptr) {
        std::vector<T> multiString = convert(TheReader().Name());
        multiString.push_back(0);
        multiString.push_back(0);
        if (const LONG copied = CopyOut(multiString, names, namesLength); copied != SCARD_S_SUCCESS)
            return copied;
    }
    if (atrLength != nullptr) return CopyOut(cardAtr, atr, atrLength);
    return SCARD_S_SUCCESS;
}

}  // namespace

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    return TheReader().Establish(context);
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
    return TheReader().Release(context);
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT context) {
    return TheReader().IsValid(context);
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID memory) {
    std::free(const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
    std::string names;
    const LONG rv = TheReader().Names(context, &names);
    return rv != SCARD_S_SUCCESS ? rv : CopyOut(Narrow(names), readers, length);
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT context, LPCWSTR, LPWSTR readers, LPDWORD length) {
    std::string names;
    const LONG rv = TheReader().Names(context, &names);
    return rv != SCARD_S_SUCCESS ? rv : CopyOut(Wide(names), readers, length);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD, DWORD protocols, LPSCARDHANDLE card,
                          LPDWORD protocol) {
    if (reader == nullptr || card == nullptr) return SCARD_E_INVALID_PARAMETER;
    if ((protocols & SCARD_PROTOCOL_T1) == 0) return SCARD_E_PROTO_MISMATCH;
    return TheReader().Connect(context, reader, card, protocol);
}

LONG WINAPI SCardConnectW(SCARDCONTEXT context, LPCWSTR reader, DWORD share, DWORD protocols,
                          LPSCARDHANDLE card, LPDWORD protocol) {
    if (reader == nullptr) return SCARD_E_INVALID_PARAMETER;
    return SCardConnectA(context, FromWide(reader).c_str(), share, protocols, card, protocol);
}

LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD, DWORD protocols, DWORD initialization, LPDWORD protocol) {
    if ((protocols & SCARD_PROTOCOL_T1) == 0) return SCARD_E_PROTO_MISMATCH;
    return TheReader().Reconnect(card, initialization, protocol);
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    return TheReader().Disconnect(card, disposition);
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) {
    return TheReader().Begin(card);
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    return TheReader().End(card, disposition);
}

LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR names, LPDWORD namesLength, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atrLength) {
    return StatusOf<char>(card, names, namesLength, state, protocol, atr, atrLength, Narrow);
}

LONG WINAPI SCardStatusW(SCARDHANDLE card, LPWSTR names, LPDWORD namesLength, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atrLength) {
    return StatusOf<WCHAR>(card, names, namesLength, state, protocol, atr, atrLength, Wide);
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST, LPCBYTE send, DWORD sendLength,
                          LPSCARD_IO_REQUEST, LPBYTE receive, LPDWORD receiveLength) {
    if (send == nullptr || receive == nullptr || receiveLength == nullptr) return SCARD_E_INVALID_PARAMETER;
    Bytes response;
    const LONG rv = TheReader().Transmit(card, Bytes(send, send + sendLength), &response);
    if (rv != SCARD_S_SUCCESS) {
        *receiveLength = 0;
        return rv;
    }
    return CopyOut(response, receive, receiveLength);
}

}  // extern "C"
