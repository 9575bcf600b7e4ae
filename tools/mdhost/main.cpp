// mdhost: a minidriver host. Loads a minidriver, fills CARD_DATA the way the Windows smart card
// stack does and runs a scenario against a real reader or the module's embedded card.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mdhost/apdu_log.h"
#include "mdhost/host_os.h"
#include "mdhost/keys.h"
#include "mdhost/logon.h"
#include "mdhost/options.h"
#include "mdhost/pin.h"
#include "mdhost/properties.h"
#include "mdhost/readers.h"
#include "mdhost/reset.h"
#include "mdhost/scinfo.h"
#include "mdhost/seed.h"
#include "mdhost/session.h"
#include "mdhost/session_pins.h"
#include "mdhost/status_names.h"
#include "mdhost/steps.h"

namespace mdhost {

namespace {

enum ExitCode { kSuccess = 0, kFailed = 1, kUsage = 2, kUnreachable = 3 };

// Next to mdhost, then in the build tree's library directory.
std::string DefaultModule(const std::string& name) {
    const std::string file = os::LibraryFileName(name);
    const std::string here = os::ExecutableDirectory();
    for (const char* directory : {"/", "/../lib/"}) {
        std::string candidate = here;
        candidate.append(directory).append(file);
        if (os::FileExists(candidate)) return candidate;
    }
    throw std::runtime_error("no " + file + " next to mdhost or in " + here + "/../lib; give --module");
}

class CCommandCounter {
public:
    CCommandCounter(const CApduLog& log, ICardReader& reader)
        : m_log(log), m_reader(reader), m_mark(log.Mark()), m_card(reader.CardCommands()) {}

    RunStats Stats() const {
        RunStats stats;
        stats.apdus = m_log.CountSince(m_mark);
        const std::optional<uint64_t> card = m_reader.CardCommands();
        if (card && m_card) stats.cardCommands = *card - *m_card;
        return stats;
    }

private:
    const CApduLog& m_log;
    ICardReader& m_reader;
    uint64_t m_mark;
    std::optional<uint64_t> m_card;
};

void Print(const std::string& text) {
    (void)std::fputs(text.c_str(), stdout);
}

int Failed(const std::string& why) {
    (void)std::fprintf(stderr, "mdhost: %s\n", why.c_str());
    return kFailed;
}

// The biometric type the stand-in library's tickets carry: as the environment already says, else
// that of the embedded card's profile ("bio-25"), else a fingerprint card's.
std::string TicketKind(const Options& options) {
    std::string given = os::GetEnv("TQAUTH_KIND");
    if (!given.empty()) return given;
    if (options.Embedded() && options.profile.rfind("bio-", 0) == 0) return options.profile.substr(4);
    return "23";
}

bool IsStepsCommand(const std::string& command) {
    return command == "logon" || command == "properties" || command == "session" || command == "pin" ||
           command == "enroll" || command == "sign" || command == "decrypt" || command == "ecdh" ||
           command == "delete";
}

PinScenario PinScenarioOf(const Options& options) {
    PinScenario scenario;
    scenario.pin = options.pin;
    scenario.adminKey = ParseHex(options.adminKey).value_or(Bytes{});
    const std::string policy = options.PinPolicy();
    scenario.policy = policy == "on"        ? PinPolicy::kOn
                      : policy == "expired" ? PinPolicy::kExpired
                                            : PinPolicy::kNone;
    return scenario;
}

StepsReport RunSteps(const Options& options, CMinidriverSession& session, const CApduLog& log) {
    if (options.command == "logon") return RunLogonScenario(session, options.pin);
    if (options.command == "properties") return RunPropertiesScenario(session, options.pin);
    if (options.command == "pin") return RunPinScenario(session, PinScenarioOf(options), log);
    const KeyOptions keys{options.pin, ParseKeyList(options.keys).value_or(std::vector<std::string>{}),
                          options.import};
    if (options.command == "enroll") return RunEnrollScenario(session, keys);
    if (options.command == "sign") return RunSignScenario(session, keys);
    if (options.command == "decrypt") return RunDecryptScenario(session, keys);
    if (options.command == "ecdh") return RunEcdhScenario(session, keys);
    if (options.command == "delete") return RunDeleteScenario(session, keys);
    const std::string library = options.authLibrary.empty() ? DefaultModule("tqauth") : options.authLibrary;
    return RunSessionPinScenario(session, {library, options.pin, TicketKind(options)});
}

// A scenario over one acquired card context; the allocations are counted once the context is gone.
int RunWithContext(const Options& options, PFN_CARD_ACQUIRE_CONTEXT acquire, ICardReader& reader,
                   const CApduLog& log, HostReport& host) {
    ScInfo info;
    ResetReport reset;
    StepsReport steps;
    SeedReport seed;
    std::string seedFailure;
    {
        CMinidriverSession session(acquire, reader);
        const CCommandCounter acquiring(log, reader);
        host.acquireStatus = session.Acquire();
        host.atr = session.Atr();
        host.acquire = acquiring.Stats();
        if (host.acquireStatus != SCARD_S_SUCCESS)
            return Failed("CardAcquireContext: " + StatusText(host.acquireStatus));
        if (auto* embedded = dynamic_cast<CEmbeddedReader*>(&reader)) {
            for (const std::string& fault : options.faults) {
                const DWORD rv = embedded->AddFault(fault);
                if (rv != SCARD_S_SUCCESS)
                    return Failed("--fault " + fault + ": " + StatusText(rv) + " (" + embedded->LastError() +
                                  ")");
            }
        }
        std::vector<CallOutcome> failures;  // of every run, not only the one shown
        for (unsigned run = 1; run <= options.runs && options.command == "scinfo"; ++run) {
            const CCommandCounter counter(log, reader);
            info = GatherScInfo(session);
            host.runs.push_back(counter.Stats());
            for (CallOutcome& f : info.failures) {
                if (options.runs > 1) f.call = "run " + std::to_string(run) + ": " + f.call;
                failures.push_back(f);
            }
        }
        info.failures = failures;
        if (options.command == "reset") {
            const CCommandCounter counter(log, reader);
            reset = RunResetScenario(session, reader, options.pin);
            host.runs.push_back(counter.Stats());
        }
        if (options.command == "seed") {
            const CCommandCounter counter(log, reader);
            try {
                seed = SeedDemoCard(session, options.pin);
            } catch (const std::exception& e) {
                seedFailure = e.what();
            }
            host.runs.push_back(counter.Stats());
        }
        if (IsStepsCommand(options.command)) {
            const CCommandCounter counter(log, reader);
            steps = RunSteps(options, session, log);
            host.runs.push_back(counter.Stats());
        }
        host.deleteStatus = session.DeleteContext();
    }
    host.allocations = CAllocationTracker::Instance().Stats();
    bool good = host.deleteStatus == SCARD_S_SUCCESS && AllocationsClean(host.allocations);
    if (options.command == "seed") {
        if (!seedFailure.empty()) return Failed("seed: " + seedFailure);
        Print(options.json ? SeedJson(seed, host) : SeedText(seed, host));
    } else if (options.command == "scinfo") {
        Print(options.json ? ScInfoJson(info, host) : ScInfoText(info, host));
        good = good && info.failures.empty();
    } else if (IsStepsCommand(options.command)) {
        Print(options.json ? StepsJson(steps, host) : StepsText(steps, host));
        good = good && StepsBehaved(steps);
    } else {
        Print(options.json ? ResetJson(reset, host) : ResetText(reset, host));
        good = good && ResetBehaved(reset);
    }
    return good ? kSuccess : kFailed;
}

int Run(const Options& options) {
    const std::string modulePath = options.module.empty()
                                       ? DefaultModule(options.Embedded() ? "helixmd-sim" : "helixmd")
                                       : options.module;
    const CApduLog log;  // before the module is loaded: it reads TQ_MD_LOG
    const os::CLibrary library(modulePath);
    const auto acquire = library.Function<PFN_CARD_ACQUIRE_CONTEXT>("CardAcquireContext");
    if (acquire == nullptr) throw std::runtime_error(modulePath + " exports no CardAcquireContext");

    std::unique_ptr<ICardReader> reader;
    HostReport host;
    host.command = options.command;
    host.module = modulePath;
    if (options.Embedded()) {
        reader = std::make_unique<CEmbeddedReader>(library, options.profile, options.cardImage);
        host.reader = "embedded card (" +
                      (options.cardImage.empty() ? "profile " + options.profile : options.cardImage) + ")";
    } else {
        reader = std::make_unique<CPcscReader>(options.reader);
        host.reader = options.reader;
    }

    int rc = RunWithContext(options, acquire, *reader, log, host);
    const DWORD closed = reader->Close();
    if (closed != SCARD_S_SUCCESS) {
        const auto* embedded = dynamic_cast<const CEmbeddedReader*>(reader.get());
        rc = Failed("closing the card: " + StatusText(closed) +
                    (embedded != nullptr ? " (" + embedded->LastError() + ")" : ""));
    }
    return rc;
}

}  // namespace

}  // namespace mdhost

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    mdhost::Options options;
    if (const auto error = mdhost::ParseOptions(args, options)) {
        (void)std::fprintf(stderr, "mdhost: %s\n\n%s", error->c_str(), mdhost::Usage().c_str());
        return mdhost::kUsage;
    }
    if (options.help) {
        (void)std::fputs(mdhost::Usage().c_str(), stdout);
        return mdhost::kSuccess;
    }
    try {
        return mdhost::Run(options);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "mdhost: %s\n", e.what());
        return mdhost::kUnreachable;
    }
}
