// The module's side over a simulated card: a card in an in-process reader, a PC/SC connection
// to it, and a token whose sender talks through the module's own channel code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel/pcsc.h"
#include "channel/scard_sender.h"
#include "helixsim/card.h"
#include "libapdu/libapdu.h"
#include "pcsc/sim_readers.h"

namespace simtest {

inline const char* const kReader = "Helix Sim 0";

class ModuleCard {
public:
    explicit ModuleCard(const helixsim::Profile& profile = helixsim::DefaultProfile()) : m_profile(profile) {
        helixsim::Readers& readers = helixsim::Readers::Instance();
        readers.Clear();
        readers.InsertCard(kReader, std::make_unique<helixsim::HelixCard>(profile));
        EXPECT_EQ(pcsc::EstablishContext(&m_context), SCARD_S_SUCCESS);
        DWORD protocol = 0;
        EXPECT_EQ(pcsc::Connect(m_context, kReader, &m_handle, &protocol), SCARD_S_SUCCESS);
        NewToken();
    }
    ~ModuleCard() {
        m_token.reset();
        pcsc::Disconnect(m_handle, pcsc::kLeaveCard);
        pcsc::ReleaseContext(m_context);
        helixsim::Readers::Instance().Clear();
    }
    ModuleCard(const ModuleCard&) = delete;
    ModuleCard& operator=(const ModuleCard&) = delete;

    // A fresh channel and token with the Helix applet selected, as every stretch of card work starts.
    libapdu::IToken& NewToken() {
        m_token = libapdu::CreateToken(std::make_unique<CSCardSender>(m_handle, 3));
        m_token->Select(libapdu::kAppletHelix);
        return *m_token;
    }
    libapdu::IToken& Token() { return *m_token; }
    const helixsim::Profile& Profile() const { return m_profile; }
    SCARDHANDLE Handle() const { return m_handle; }

    // Runs `use` on the card under the reader's lock (inspection, faults).
    template <class F>
    void WithCard(F use) {
        helixsim::Readers::Instance().WithCard(kReader, [&](helixsim::HelixCard& card) { use(card); });
    }
    // The commands the card received since the last call, as upper-case hex.
    std::vector<std::string> TakeCommands();

private:
    helixsim::Profile m_profile;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_handle = 0;
    std::unique_ptr<libapdu::IToken> m_token;
};

inline std::vector<std::string> ModuleCard::TakeCommands() {
    std::vector<std::string> out;
    WithCard([&](helixsim::HelixCard& card) {
        for (const auto& c : card.CommandLog()) {
            static const char kDigits[] = "0123456789ABCDEF";
            std::string hex;
            for (uint8_t b : c) {
                hex.push_back(kDigits[b >> 4]);
                hex.push_back(kDigits[b & 0x0F]);
            }
            out.push_back(hex);
        }
        card.ClearCommandLog();
    });
    return out;
}

}  // namespace simtest
