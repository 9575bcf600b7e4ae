// The host's side of the module's entry: simulated cards in readers, CARD_DATA records filled as
// the Windows stack fills them, and logs made comparable with expected files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "channel/pcsc.h"
#include "helixsim/card.h"
#include "pcsc/sim_readers.h"
#include "platform/minidriver.h"
#include "platform/platform.h"

namespace entrytest {

inline LPVOID WINAPI HostAlloc(SIZE_T size) {
    return std::malloc(size);
}
inline LPVOID WINAPI HostReAlloc(LPVOID address, SIZE_T size) {
    return std::realloc(address, size);
}
inline void WINAPI HostFree(LPVOID address) {
    std::free(address);
}

inline WCHAR g_cardName[] = u"Helix Card";

// A record as the host fills it before CardAcquireContext; the slots are left zero.
inline CARD_DATA HostRecord(std::vector<BYTE>& atr, SCARDCONTEXT context, SCARDHANDLE card,
                            DWORD version = CARD_DATA_VERSION_SEVEN) {
    CARD_DATA record{};
    record.dwVersion = version;
    record.pbAtr = atr.data();
    record.cbAtr = static_cast<DWORD>(atr.size());
    record.pwszCardName = g_cardName;
    record.pfnCspAlloc = HostAlloc;
    record.pfnCspReAlloc = HostReAlloc;
    record.pfnCspFree = HostFree;
    record.hSCardCtx = context;
    record.hScard = card;
    return record;
}

// A simulated card in a reader of its own, with a host connection to it.
class SimReader {
public:
    explicit SimReader(std::string name, const helixsim::Profile& profile = helixsim::DefaultProfile())
        : m_name(std::move(name)), m_atr(profile.atr) {
        helixsim::Readers::Instance().InsertCard(m_name, std::make_unique<helixsim::HelixCard>(profile));
        EXPECT_EQ(pcsc::EstablishContext(&m_context), SCARD_S_SUCCESS);
        m_card = Connect();
    }
    ~SimReader() {
        for (SCARDHANDLE card : m_extra) pcsc::Disconnect(card, pcsc::kLeaveCard);
        pcsc::Disconnect(m_card, pcsc::kLeaveCard);
        pcsc::ReleaseContext(m_context);
        helixsim::Readers::Instance().RemoveReader(m_name);
    }
    SimReader(const SimReader&) = delete;
    SimReader& operator=(const SimReader&) = delete;

    // A second connection to the same card, as another host would have.
    SCARDHANDLE Connect() {
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        EXPECT_EQ(pcsc::Connect(m_context, m_name.c_str(), &card, &protocol), SCARD_S_SUCCESS);
        if (m_card != 0) m_extra.push_back(card);
        return card;
    }
    CARD_DATA Record(DWORD version = CARD_DATA_VERSION_SEVEN) {
        return HostRecord(m_atr, m_context, m_card, version);
    }
    CARD_DATA RecordFor(SCARDHANDLE card) { return HostRecord(m_atr, m_context, card); }
    SCARDHANDLE Card() const { return m_card; }

    template <class F>
    void WithCard(F use) {
        helixsim::Readers::Instance().WithCard(m_name, [&](helixsim::HelixCard& card) { use(card); });
    }
    // The commands the card received since the last call.
    std::vector<helixsim::Bytes> TakeCommands() {
        std::vector<helixsim::Bytes> commands;
        WithCard([&](helixsim::HelixCard& card) {
            commands = card.CommandLog();
            card.ClearCommandLog();
        });
        return commands;
    }

private:
    std::string m_name;
    std::vector<BYTE> m_atr;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    std::vector<SCARDHANDLE> m_extra;
};

// A record with a context bound to it, released again at the end of the scope.
class Acquired {
public:
    explicit Acquired(CARD_DATA record) : m_record(record) {
        EXPECT_EQ(CardAcquireContext(&m_record, 0), SCARD_S_SUCCESS);
    }
    ~Acquired() {
        if (m_record.pfnCardDeleteContext != nullptr) m_record.pfnCardDeleteContext(&m_record);
    }
    Acquired(const Acquired&) = delete;
    Acquired& operator=(const Acquired&) = delete;

    CARD_DATA& operator*() { return m_record; }
    CARD_DATA* operator->() { return &m_record; }
    CARD_DATA* get() { return &m_record; }

private:
    CARD_DATA m_record;
};

// The log with what changes from run to run replaced: each time line by "@TIME@", the process
// id by "@PID@" and the calling thread's id by "@TID@".
inline std::string Normalised(const std::string& log, DWORD thread = platform::ThreadId()) {
    static const std::regex kTime(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
    const std::string pid = "P:" + std::to_string(platform::ProcessId()) + ";";
    const std::string tid = "T:" + std::to_string(thread);
    std::istringstream in(log);
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        if (std::regex_match(line, kTime)) line = "@TIME@";
        for (size_t at = line.find(pid); at != std::string::npos; at = line.find(pid, at + 1))
            line.replace(at, pid.size(), "P:@PID@;");
        for (const char* end : {":", ";"}) {
            const std::string from = tid + end;
            for (size_t at = line.find(from); at != std::string::npos; at = line.find(from, at + 1))
                line.replace(at, from.size(), std::string("T:@TID@") + end);
        }
        out += line;
        if (!in.eof()) out += '\n';
    }
    return out;
}

}  // namespace entrytest
