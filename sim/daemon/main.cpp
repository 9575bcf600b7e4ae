// helix-sim: a simulated Helix card in pcscd's virtual reader (vpcd).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helixsim/card.h"
#include "helixsim/hex.h"
#include "options.h"
#include "vpcd_link.h"

namespace {

using helixd::Options;
using helixd::VpcdLink;
using helixsim::HelixCard;
using helixsim::ToHex;

// vpcd's control messages: one byte.
constexpr uint8_t kPowerOff = 0x00;
constexpr uint8_t kPowerOn = 0x01;
constexpr uint8_t kReset = 0x02;
constexpr uint8_t kGetAtr = 0x04;

// Out of the reader for longer than pcscd's poll interval (about 400 ms), so that the removal is seen.
constexpr std::chrono::milliseconds kAwayAfterRemoval{1000};
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLastRetry{2000};

bool g_verbose = false;

void Note(const std::string& text) {
    if (g_verbose) std::fprintf(stderr, "helix-sim: %s\n", text.c_str());
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::unique_ptr<HelixCard> MakeCard(const Options& options) {
    if (!options.cardImage.empty() && FileExists(options.cardImage)) {
        Note("card image " + options.cardImage);
        return HelixCard::Load(options.cardImage);
    }
    auto card = std::make_unique<HelixCard>(helixsim::ProfileByName(options.profile));
    Note("new card, profile " + options.profile);
    // Saved at once, so that other processes sharing the image see this card from the start.
    if (!options.cardImage.empty() && !options.printAtr) card->Save(options.cardImage);
    return card;
}

class Daemon {
public:
    Daemon(const Options& options, std::unique_ptr<HelixCard> card, std::vector<helixd::Address> addresses)
        : m_options(options), m_card(std::move(card)), m_addresses(std::move(addresses)) {}

    // Runs until a stop request or, with --once, until vpcd closes the connection.
    void Run() {
        std::chrono::milliseconds retry = kFirstRetry;
        while (!helixd::StopRequested()) {
            std::optional<VpcdLink> link = VpcdLink::Open(m_addresses);
            if (!link) {
                if (!helixd::Pause(retry)) break;
                retry = std::min(retry * 2, kLastRetry);
                continue;
            }
            retry = kFirstRetry;
            Note("connected to vpcd");
            const Ending ending = Serve(*link);
            link.reset();
            if (ending == Ending::Stopped) break;
            if (ending == Ending::Removed) {
                Note("card removed");
                if (!helixd::Pause(kAwayAfterRemoval)) break;
                continue;
            }
            Note("vpcd closed the connection");
            if (m_options.once) break;
        }
    }

    void SaveImage() const {
        if (!m_options.cardImage.empty()) m_card->Save(m_options.cardImage);
    }

private:
    enum class Ending { Closed, Stopped, Removed };

    Ending Serve(VpcdLink& link) {
        helixsim::Bytes body;
        for (;;) {
            const VpcdLink::Received received = link.Receive(body);
            if (received == VpcdLink::Received::Stopped) return Ending::Stopped;
            if (received == VpcdLink::Received::Closed) return Ending::Closed;
            if (body.size() == 1) {
                if (!Control(link, body[0])) return Ending::Closed;
                continue;
            }
            // Even an empty command is the card's to refuse: vpcd waits for an answer to it.
            const std::optional<Ending> ending = Exchange(link, body);
            if (ending) return *ending;
        }
    }

    // False when the answer could not be sent.
    bool Control(VpcdLink& link, uint8_t code) {
        switch (code) {
            case kPowerOff:
            case kPowerOn:
            case kReset:
                Note(code == kPowerOff ? "power off" : code == kPowerOn ? "power on" : "reset");
                m_card->Reset();
                return true;
            case kGetAtr:
                return link.Send(m_card->Atr());
            default:
                Note("unknown control byte " + ToHex({code}));
                return true;
        }
    }

    // One command and its answer; an ending when the connection must go.
    std::optional<Ending> Exchange(VpcdLink& link, const helixsim::Bytes& command) {
        helixsim::TransmitResult result;
        try {
            result = m_card->Transmit(command);
        } catch (const std::exception& e) {
            // A failure of the model itself, never a card answer: said whatever the verbosity.
            std::fprintf(stderr, "helix-sim: the card model failed on %s: %s\n", ToHex(command).c_str(),
                         e.what());
            result.response = {0x6F, 0x00};
        }
        SaveImage();
        Note("> " + ToHex(command) + "\n           < " + ToHex(result.response));
        const bool removed = result.event == helixsim::TransmitResult::Event::Removed;
        // An answer that no frame can carry is a card failure as far as the host can tell.
        if (result.response.size() > 0xFFFF) result.response = {0x6F, 0x00};
        if (!(removed && result.response.empty()) && !link.Send(result.response)) return Ending::Closed;
        if (removed) return Ending::Removed;
        return std::nullopt;
    }

    const Options& m_options;
    std::unique_ptr<HelixCard> m_card;
    std::vector<helixd::Address> m_addresses;
};

int Main(const std::vector<std::string>& args) {
    Options options;
    std::vector<helixd::Address> addresses;
    try {
        options = helixd::ParseOptions(args);
        if (options.help) {
            std::fputs(helixd::UsageText().c_str(), stdout);
            std::string names = "profiles:";
            for (const std::string& name : helixsim::ProfileNames()) names += " " + name;
            std::puts(names.c_str());
            return 0;
        }
        helixsim::ProfileByName(options.profile);
        addresses = helixd::LoopbackAddresses(options.host, options.port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "helix-sim: %s (see helix-sim --help)\n", e.what());
        return 2;
    }
    g_verbose = options.verbose;
    helixd::StopSignals();

    try {
        std::unique_ptr<HelixCard> card = MakeCard(options);
        if (options.printAtr) {
            std::puts(ToHex(card->Atr()).c_str());
            return 0;
        }
        card->SetLatency(helixsim::Latency{options.latencyMicros, options.baud, true});
        for (const helixsim::Fault& fault : options.faults) card->AddFault(fault);
        Daemon daemon(options, std::move(card), std::move(addresses));
        daemon.Run();
        daemon.SaveImage();
        Note("stopped");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "helix-sim: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    return Main(std::vector<std::string>(argv + 1, argv + argc));
}
