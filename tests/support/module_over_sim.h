// The module over a simulated card: a card in an in-process reader with host connections to it,
// CARD_DATA records filled as the Windows stack fills them (allocation callbacks that account for
// every buffer), a card context or a token over the module's own channel, and logs made
// comparable with expected files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "card/card_context.h"
#include "channel/pcsc.h"
#include "channel/scard_sender.h"
#include "helixsim/card.h"
#include "hex.h"
#include "libapdu/libapdu.h"
#include "pcsc/sim_readers.h"
#include "platform/minidriver.h"
#include "platform/platform.h"
#include "thrown.h"

namespace moduletest {

using libapdu::ByteVector;
using libapdu::CardPath;

inline const char* const kReader = "Helix Sim 0";
inline const ByteVector kSelectApplet = Hex("00A404000CA000000164505249534D0001");
inline const ByteVector kDefaultPin{'1', '2', '3', '4', '5', '6', '7', '8'};

inline const CardPath kCardDirectory{0x3F00, 0x3000, 0x3003};
inline const CardPath kCardidPath{0x3F00, 0x3000, 0x3003, 0x4000};
inline const CardPath kCardcfPath{0x3F00, 0x3000, 0x3003, 0x4001};
inline const CardPath kRootsPath{0x3F00, 0x3000, 0x3003, 0x3005, 0x4004};
inline const CardPath kMapPath{0x3F00, 0x3000, 0x3001, 0x867F};
inline CardPath CertificatePath(uint16_t id) {
    return {0x3F00, 0x3000, 0x3001, id};
}

// 80 A4 08 0C: SELECT by path, identifiers high byte first.
inline ByteVector SelectCommand(const CardPath& path) {
    ByteVector cmd{0x80, 0xA4, 0x08, 0x0C, static_cast<uint8_t>(2 * path.size())};
    for (uint16_t id : path) {
        cmd.push_back(static_cast<uint8_t>(id >> 8));
        cmd.push_back(static_cast<uint8_t>(id & 0xFF));
    }
    cmd.push_back(0x00);
    return cmd;
}

inline bool Sent(const std::vector<ByteVector>& commands, const ByteVector& command) {
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// Host allocations by address; a buffer freed twice fails the test at once, one left over when
// the reader goes. The host's allocator is a C one, as the Windows stack's is.
// NOLINTBEGIN(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
class HostMemory {
public:
    static std::map<void*, size_t>& Live() {
        static std::map<void*, size_t> live;
        return live;
    }
    static bool& FailNext() {
        static bool fail = false;
        return fail;
    }
    static LPVOID WINAPI Alloc(SIZE_T size) {
        if (FailNext()) {
            FailNext() = false;
            return nullptr;
        }
        void* p = std::malloc(size == 0 ? 1 : size);
        Live()[p] = size;
        return p;
    }
    static LPVOID WINAPI ReAlloc(LPVOID address, SIZE_T size) {
        Live().erase(address);
        void* p = std::realloc(address, size == 0 ? 1 : size);
        Live()[p] = size;
        return p;
    }
    static void WINAPI Free(LPVOID address) {
        if (address == nullptr) return;
        EXPECT_EQ(Live().erase(address), 1u) << "freed twice or never allocated";
        std::free(address);
    }
};
// NOLINTEND(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)

// The record takes the name as a non-const pointer.
inline WCHAR g_cardName[] = u"Helix Card";  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// A record as the host fills it before CardAcquireContext; the slots are left zero.
inline CARD_DATA HostRecord(std::vector<BYTE>& atr, SCARDCONTEXT context, SCARDHANDLE card,
                            DWORD version = CARD_DATA_VERSION_SEVEN) {
    CARD_DATA record{};
    record.dwVersion = version;
    record.pbAtr = atr.data();
    record.cbAtr = static_cast<DWORD>(atr.size());
    record.pwszCardName = g_cardName;
    record.pfnCspAlloc = &HostMemory::Alloc;
    record.pfnCspReAlloc = &HostMemory::ReAlloc;
    record.pfnCspFree = &HostMemory::Free;
    record.hSCardCtx = context;
    record.hScard = card;
    return record;
}

// A simulated card in a reader of its own, with a host connection to it. The registry is
// emptied when the last reader of a test goes.
class SimReader {
public:
    explicit SimReader(std::string name = kReader,
                       const helixsim::Profile& profile = helixsim::DefaultProfile())
        : m_name(std::move(name)), m_profile(profile) {
        if (Count()++ == 0) HostMemory::Live().clear();
        helixsim::Readers::Instance().InsertCard(m_name, std::make_unique<helixsim::HelixCard>(profile));
        m_context = NewHostContext();
        m_card = Connect();
    }
    virtual ~SimReader() {
        m_token.reset();
        m_other.reset();
        for (SCARDHANDLE card : m_handles) pcsc::Disconnect(card, pcsc::kLeaveCard);
        for (SCARDCONTEXT context : m_contexts) pcsc::ReleaseContext(context);
        helixsim::Readers::Instance().RemoveReader(m_name);
        if (--Count() == 0) {
            helixsim::Readers::Instance().Clear();
            EXPECT_TRUE(HostMemory::Live().empty()) << HostMemory::Live().size() << " host buffers left";
        }
    }
    SimReader(const SimReader&) = delete;
    SimReader& operator=(const SimReader&) = delete;

    // Another connection to the same card, as another host would have.
    SCARDHANDLE Connect() {
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        EXPECT_EQ(pcsc::Connect(m_context, m_name.c_str(), &card, &protocol), SCARD_S_SUCCESS);
        m_handles.push_back(card);
        return card;
    }
    // A resource-manager context of its own, as a host that started again would have.
    SCARDCONTEXT NewHostContext() {
        SCARDCONTEXT context = 0;
        EXPECT_EQ(pcsc::EstablishContext(&context), SCARD_S_SUCCESS);
        m_contexts.push_back(context);
        return context;
    }
    SCARDHANDLE Card() const { return m_card; }
    const helixsim::Profile& Profile() const { return m_profile; }
    CARD_DATA Record(DWORD version = CARD_DATA_VERSION_SEVEN) { return RecordFor(m_card, version); }
    CARD_DATA RecordFor(SCARDHANDLE card, DWORD version = CARD_DATA_VERSION_SEVEN) {
        return HostRecord(m_profile.atr, m_context, card, version);
    }

    // Runs `use` on the card under the registry's lock (inspection, faults).
    template <class F>
    void WithCard(F use) {
        helixsim::Readers::Instance().WithCard(m_name, [&](helixsim::HelixCard& card) { use(card); });
    }
    // The commands the card received since the last call.
    std::vector<ByteVector> Commands() {
        std::vector<ByteVector> out;
        WithCard([&](helixsim::HelixCard& card) {
            for (const auto& c : card.CommandLog()) out.emplace_back(c.begin(), c.end());
            m_commandsSeen += card.CommandLog().size();
            card.ClearCommandLog();
        });
        return out;
    }
    // A fault of `kind` on the card's `ahead`-th command from now (1: the next): a status word
    // `sw` in place of carrying it out, or a reset before it, which the card then never sees.
    void FaultAt(helixsim::Fault::Kind kind, uint32_t ahead, uint32_t tearBytes = 0, uint16_t sw = 0x6F00) {
        WithCard([&](helixsim::HelixCard& card) {
            const auto number = static_cast<uint32_t>(m_commandsSeen + card.CommandLog().size() + ahead);
            card.AddFault({kind, number, sw, tearBytes});
        });
    }
    void FailCommand(uint16_t sw, uint32_t ahead = 1) {
        FaultAt(helixsim::Fault::Kind::StatusWord, ahead, 0, sw);
    }
    void ResetBeforeCommand(uint32_t ahead) { FaultAt(helixsim::Fault::Kind::ResetBefore, ahead); }
    size_t AppletSelections() {
        const std::vector<ByteVector> commands = Commands();
        return static_cast<size_t>(std::count(commands.begin(), commands.end(), kSelectApplet));
    }
    std::optional<ByteVector> CardFile(const CardPath& path) {
        std::optional<ByteVector> content;
        WithCard([&](helixsim::HelixCard& card) {
            if (auto c = card.FileContent(path)) content = ByteVector(c->begin(), c->end());
        });
        return content;
    }
    uint32_t CardFreeMemory() {
        uint32_t bytes = 0;
        WithCard([&](helixsim::HelixCard& card) { bytes = card.FreeMemory(); });
        return bytes;
    }

    // A fresh channel and token over the host connection with the Helix applet selected, as every
    // stretch of the module's card work starts.
    libapdu::IToken& NewToken() {
        m_token = libapdu::CreateToken(std::make_unique<CSCardSender>(m_card, 3));
        m_token->Select(libapdu::kAppletHelix);
        return *m_token;
    }
    libapdu::IToken& Token() { return m_token ? *m_token : NewToken(); }

    // A channel of the test's own on a connection of its own, with the user verified, for
    // preparing the card.
    libapdu::IToken& Other() {
        m_other = libapdu::CreateToken(std::make_unique<CSCardSender>(Connect(), 3));
        m_other->Select(libapdu::kAppletHelix);
        libapdu::IAppPin& pin = *m_other->GetPin();
        pin.SelectPin(pin.GetUserPinRef());
        pin.VerifyPin(m_profile.userPin);
        return *m_other;
    }
    void PutFile(const CardPath& path, const ByteVector& content, uint32_t offset = 0) {
        libapdu::IAppFS& fs = *Other().GetFS();
        fs.SelectPath(path);
        fs.WriteFile(content, offset);
        m_other.reset();
        Commands();
    }

private:
    static int& Count() {
        static int count = 0;
        return count;
    }

    std::string m_name;
    helixsim::Profile m_profile;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    std::vector<SCARDHANDLE> m_handles;
    std::vector<SCARDCONTEXT> m_contexts;
    size_t m_commandsSeen = 0;
    std::unique_ptr<libapdu::IToken> m_token;
    std::unique_ptr<libapdu::IToken> m_other;
};

// A record with a context bound to it through the module's entry, released at the end of the scope.
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

// A card context of the test's own over the reader's card, with the host-side calls; buffers
// handed back are copied out and freed as the host does.
class CardFixture : public SimReader {
public:
    explicit CardFixture(const helixsim::Profile& profile = helixsim::DefaultProfile())
        : SimReader(kReader, profile), m_data(Record()) {}

    CARD_DATA& Data() { return m_data; }
    CCardContext& Context() { return m_card; }

    // Initialises the context and forgets the commands that took.
    CCardContext& Ready() {
        m_card.Initialise(&m_data);
        Commands();
        return m_card;
    }
    // The host connects again, or comes back with a context of its own.
    void NewCardHandle() { m_data.hScard = Connect(); }
    void NewContextHandle() { m_data.hSCardCtx = NewHostContext(); }
    void CachePin() { m_card.Login().StorePin(kDefaultPin); }

    ByteVector Read(const char* directory, const char* file, DWORD flags = 0) {
        PBYTE data = nullptr;
        DWORD size = 0;
        m_card.ReadFile(&m_data, Str(directory), Str(file), flags, &data, &size);
        ByteVector out(data, data + size);
        HostMemory::Free(data);
        return out;
    }
    void Write(const char* directory, const char* file, ByteVector content) {
        m_card.WriteFile(&m_data, Str(directory), Str(file), 0, content.data(),
                         static_cast<DWORD>(content.size()));
    }
    void Create(const char* directory, const char* file, DWORD size) {
        m_card.CreateFile(&m_data, Str(directory), Str(file), size, InvalidAc);
    }
    void Delete(const char* directory, const char* file, DWORD flags = 0) {
        m_card.DeleteFile(&m_data, Str(directory), Str(file), flags);
    }
    DWORD Info(const char* directory, const char* file) {
        CARD_FILE_INFO info{7, 0, InvalidAc};
        m_card.GetFileInfo(&m_data, Str(directory), Str(file), &info);
        EXPECT_EQ(info.dwVersion, 7u);
        return info.cbFileSize;
    }
    CARD_FREE_SPACE_INFO FreeSpace(DWORD version = 0, DWORD flags = 0) {
        CARD_FREE_SPACE_INFO info{version, 0, 0, 0};
        m_card.QueryFreeSpace(&m_data, flags, &info);
        return info;
    }
    CARD_KEY_SIZES KeySizes(DWORD keySpec, DWORD flags = 0) {
        CARD_KEY_SIZES sizes{};
        m_card.QueryKeySizes(&m_data, keySpec, flags, &sizes);
        return sizes;
    }
    std::vector<std::string> Enum(const char* directory) {
        LPSTR names = nullptr;
        DWORD size = 0;
        m_card.EnumFiles(&m_data, Str(directory), &names, &size, 0);
        std::vector<std::string> out;
        EXPECT_GT(size, 0u);
        EXPECT_EQ(names[size - 1], '\0');
        for (DWORD at = 0; at + 1 < size; at += static_cast<DWORD>(out.back().size()) + 1)
            out.emplace_back(names + at);
        HostMemory::Free(names);
        return out;
    }
    // The interface takes names as LPSTR; the module never writes through them.
    static LPSTR Str(const char* text) { return const_cast<LPSTR>(text); }  // NOLINT(*-const-cast)

private:
    CARD_DATA m_data;
    CCardContext m_card;
};

// A token over the module's channel, its applet selected from the start.
class ModuleCard : public SimReader {
public:
    explicit ModuleCard(const helixsim::Profile& profile = helixsim::DefaultProfile())
        : SimReader(kReader, profile) {
        NewToken();
    }
};

// An 86-byte cmapfile record named `name` (UTF-16, low byte first).
inline ByteVector MapRecord(const std::string& name, uint8_t flags = 1, uint16_t exchangeBits = 2048) {
    ByteVector record(sizeof(CONTAINER_MAP_RECORD), 0);
    for (size_t i = 0; i < name.size(); ++i) record[2 * i] = static_cast<uint8_t>(name[i]);
    record[80] = flags;
    record[84] = static_cast<uint8_t>(exchangeBits & 0xFF);
    record[85] = static_cast<uint8_t>(exchangeBits >> 8);
    return record;
}

// The log with what changes from run to run replaced: each time line by "@TIME@", the process
// id by "@PID@" and the calling thread's id by "@TID@".
inline std::string Normalised(const std::string& log, DWORD thread = platform::ThreadId()) {
    static const std::regex kTime(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
    const std::regex pid("P:" + std::to_string(platform::ProcessId()) + ";");
    const std::regex tid("T:" + std::to_string(thread) + "([:;])");
    std::istringstream in(log);
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        line = std::regex_match(line, kTime) ? "@TIME@" : std::regex_replace(line, pid, "P:@PID@;");
        line = std::regex_replace(line, tid, "T:@TID@$1");
        out += line;
        if (!in.eof()) out += '\n';
    }
    return out;
}

// The log entries of a text, each without its trailing blank line.
inline std::vector<std::string> Entries(const std::string& log) {
    std::vector<std::string> entries;
    size_t start = 0;
    for (size_t end = log.find("\n\n"); end != std::string::npos; end = log.find("\n\n", start)) {
        entries.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    return entries;
}

}  // namespace moduletest
