// A card context over a simulated card, with a CARD_DATA filled as the Windows stack fills it:
// allocation callbacks that account for every buffer, the card's ATR and a connected handle.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card_context.h"
#include "channel/pcsc.h"
#include "channel/scard_sender.h"
#include "helixsim/card.h"
#include "hex.h"
#include "pcsc/sim_readers.h"
#include "thrown.h"

namespace cardtest {

inline const char* const kReader = "Helix Card Test 0";
inline const libapdu::ByteVector kSelectApplet = Hex("00A404000CA000000164505249534D0001");
inline const libapdu::ByteVector kDefaultPin{'1', '2', '3', '4', '5', '6', '7', '8'};

// Host allocations by address; a test fails when one is left over or freed twice.
class Allocations {
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

class CardFixture {
public:
    explicit CardFixture(const helixsim::Profile& profile = helixsim::DefaultProfile()) : m_atr(profile.atr) {
        helixsim::Readers& readers = helixsim::Readers::Instance();
        readers.Clear();
        readers.InsertCard(kReader, std::make_unique<helixsim::HelixCard>(profile));
        EXPECT_EQ(pcsc::EstablishContext(&m_context), SCARD_S_SUCCESS);
        m_handle = Connect();
        m_data.dwVersion = CARD_DATA_CURRENT_VERSION;
        m_data.pbAtr = m_atr.data();
        m_data.cbAtr = static_cast<DWORD>(m_atr.size());
        m_data.pwszCardName = m_cardName;
        m_data.pfnCspAlloc = &Allocations::Alloc;
        m_data.pfnCspReAlloc = &Allocations::ReAlloc;
        m_data.pfnCspFree = &Allocations::Free;
        m_data.hSCardCtx = m_context;
        m_data.hScard = m_handle;
        Allocations::Live().clear();
    }
    ~CardFixture() {
        EXPECT_TRUE(Allocations::Live().empty()) << Allocations::Live().size() << " host buffers left";
        m_other.reset();
        for (SCARDHANDLE h : m_handles) pcsc::Disconnect(h, pcsc::kLeaveCard);
        pcsc::ReleaseContext(m_context);
        helixsim::Readers::Instance().Clear();
    }
    CardFixture(const CardFixture&) = delete;
    CardFixture& operator=(const CardFixture&) = delete;

    CARD_DATA& Data() { return m_data; }
    CCardContext& Context() { return m_card; }

    // Initialises the context and forgets the commands that took.
    CCardContext& Ready() {
        m_card.Initialise(&m_data);
        Commands();
        return m_card;
    }

    SCARDHANDLE Connect() {
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        EXPECT_EQ(pcsc::Connect(m_context, kReader, &handle, &protocol), SCARD_S_SUCCESS);
        m_handles.push_back(handle);
        return handle;
    }
    // The host connects again: the cache must not trust what it read under the old handle.
    void NewCardHandle() { m_data.hScard = Connect(); }

    template <class F>
    void WithCard(F use) {
        helixsim::Readers::Instance().WithCard(kReader, [&](helixsim::HelixCard& card) { use(card); });
    }
    // The commands the card received since the last call.
    std::vector<libapdu::ByteVector> Commands() {
        std::vector<libapdu::ByteVector> out;
        WithCard([&](helixsim::HelixCard& card) {
            for (const auto& c : card.CommandLog()) out.emplace_back(c.begin(), c.end());
            m_commandsSeen += card.CommandLog().size();
            card.ClearCommandLog();
        });
        return out;
    }
    // The card answers the next command with `sw` without carrying it out.
    void FailNextCommand(uint16_t sw) {
        WithCard([&](helixsim::HelixCard& card) {
            const auto number = static_cast<uint32_t>(m_commandsSeen + card.CommandLog().size() + 1);
            card.AddFault({helixsim::Fault::Kind::StatusWord, number, sw});
        });
    }
    size_t AppletSelections() {
        size_t count = 0;
        for (const auto& c : Commands()) count += c == kSelectApplet;
        return count;
    }
    std::optional<libapdu::ByteVector> CardFile(const libapdu::CardPath& path) {
        std::optional<libapdu::ByteVector> content;
        WithCard([&](helixsim::HelixCard& card) {
            if (auto c = card.FileContent(path)) content = libapdu::ByteVector(c->begin(), c->end());
        });
        return content;
    }

    // A second channel of the test's own, with the user verified, for preparing the card.
    libapdu::IToken& Other() {
        m_other = libapdu::CreateToken(std::make_unique<CSCardSender>(Connect(), 3));
        m_other->Select(libapdu::kAppletHelix);
        libapdu::IAppPin& pin = *m_other->GetPin();
        pin.SelectPin(pin.GetUserPinRef());
        pin.VerifyPin(kDefaultPin);
        return *m_other;
    }
    void PutFile(const libapdu::CardPath& path, const libapdu::ByteVector& content, uint32_t offset = 0) {
        libapdu::IAppFS& fs = *Other().GetFS();
        fs.SelectPath(path);
        fs.WriteFile(content, offset);
        m_other.reset();
        Commands();
    }

    // Host-side calls; buffers handed back are copied out and freed as the host does.
    libapdu::ByteVector Read(const char* directory, const char* file, DWORD flags = 0) {
        PBYTE data = nullptr;
        DWORD size = 0;
        m_card.ReadFile(&m_data, Str(directory), Str(file), flags, &data, &size);
        libapdu::ByteVector out(data, data + size);
        Allocations::Free(data);
        return out;
    }
    void Write(const char* directory, const char* file, libapdu::ByteVector content) {
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
        Allocations::Free(names);
        return out;
    }
    uint32_t CardFreeMemory() {
        uint32_t bytes = 0;
        WithCard([&](helixsim::HelixCard& card) { bytes = card.FreeMemory(); });
        return bytes;
    }
    void CachePin() { m_card.Login().StorePin(kDefaultPin); }

private:
    static LPSTR Str(const char* text) { return const_cast<LPSTR>(text); }

    libapdu::ByteVector m_atr;
    WCHAR m_cardName[6] = {'H', 'e', 'l', 'i', 'x', 0};
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_handle = 0;
    std::vector<SCARDHANDLE> m_handles;
    size_t m_commandsSeen = 0;
    CARD_DATA m_data{};
    CCardContext m_card;
    std::unique_ptr<libapdu::IToken> m_other;
};

inline const libapdu::CardPath kCardidPath{0x3F00, 0x3000, 0x3003, 0x4000};
inline const libapdu::CardPath kCardcfPath{0x3F00, 0x3000, 0x3003, 0x4001};
inline const libapdu::CardPath kRootsPath{0x3F00, 0x3000, 0x3003, 0x3005, 0x4004};
inline const libapdu::CardPath kMapPath{0x3F00, 0x3000, 0x3001, 0x867F};
inline libapdu::CardPath CertificatePath(uint16_t id) {
    return {0x3F00, 0x3000, 0x3001, id};
}

// An 86-byte cmapfile record named `name` (UTF-16, low byte first).
inline libapdu::ByteVector HostRecord(const std::string& name, uint8_t flags = 1,
                                      uint16_t exchangeBits = 2048) {
    libapdu::ByteVector record(sizeof(CONTAINER_MAP_RECORD), 0);
    for (size_t i = 0; i < name.size(); ++i) record[2 * i] = static_cast<uint8_t>(name[i]);
    record[80] = flags;
    record[84] = static_cast<uint8_t>(exchangeBits & 0xFF);
    record[85] = static_cast<uint8_t>(exchangeBits >> 8);
    return record;
}

}  // namespace cardtest
