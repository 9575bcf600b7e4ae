// The module's entry points timed as the mdhost scenarios call them, on the embedded card. The
// module's share of a call is the thread's CPU time inside the entry point less the time spent in
// the card's transmit (measured at the PC/SC seam) and in the host's own callbacks (padding,
// cache). Benchmarks report; nothing here asserts a time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <unistd.h>

#include "card_clock.h"
#include "mdhost/apdu_log.h"
#include "mdhost/card_objects.h"
#include "mdhost/hex.h"
#include "mdhost/host_os.h"
#include "mdhost/keys.h"
#include "mdhost/logon.h"
#include "mdhost/options.h"
#include "mdhost/pin.h"
#include "mdhost/properties.h"
#include "mdhost/readers.h"
#include "mdhost/scinfo.h"
#include "mdhost/session.h"
#include "mdhost/session_pins.h"

namespace {

namespace fs = std::filesystem;
using mdhost::Bytes;

const char* const kPin = "12345678";

struct CallTotals {
    uint64_t calls = 0;
    uint64_t moduleNs = 0;
    uint64_t cardNs = 0;
    uint64_t hostNs = 0;
    uint64_t commands = 0;
    uint64_t sent = 0;
    uint64_t received = 0;
};

// What the trampolines record, and the module's functions they reach.
struct Clocks {
    std::map<std::string, CallTotals> calls;
    PFN_HELIX_BENCH_CARD_TOTALS cardTotals = nullptr;
    PFN_CARD_ACQUIRE_CONTEXT acquire = nullptr;
    uint64_t hostNs = 0;
};

Clocks& TheClocks() {
    static Clocks clocks;
    return clocks;
}

HelixBenchCardClock CardTotals() {
    const PFN_HELIX_BENCH_CARD_TOTALS totals = TheClocks().cardTotals;
    return totals == nullptr ? HelixBenchCardClock{} : totals();
}

// One entry point call: what the thread spent, less the card and the host inside it.
class CCallScope {
public:
    explicit CCallScope(std::string name)
        : m_name(std::move(name)),
          m_card(CardTotals()),
          m_host(TheClocks().hostNs),
          m_start(HelixBenchThreadNanoseconds()) {}
    ~CCallScope() {
        const uint64_t spent = HelixBenchThreadNanoseconds() - m_start;
        const HelixBenchCardClock card = CardTotals();
        CallTotals& t = TheClocks().calls[m_name];
        const uint64_t cardNs = card.cardNanoseconds - m_card.cardNanoseconds;
        const uint64_t hostNs = TheClocks().hostNs - m_host;
        ++t.calls;
        t.cardNs += cardNs;
        t.hostNs += hostNs;
        t.moduleNs += spent > cardNs + hostNs ? spent - cardNs - hostNs : 0;
        t.commands += card.commands - m_card.commands;
        t.sent += card.bytesSent - m_card.bytesSent;
        t.received += card.bytesReceived - m_card.bytesReceived;
    }
    CCallScope(const CCallScope&) = delete;
    CCallScope& operator=(const CCallScope&) = delete;

private:
    std::string m_name;
    HelixBenchCardClock m_card;
    uint64_t m_host;
    uint64_t m_start;
};

class CHostScope {
public:
    CHostScope() : m_start(HelixBenchThreadNanoseconds()) {}
    ~CHostScope() { TheClocks().hostNs += HelixBenchThreadNanoseconds() - m_start; }
    CHostScope(const CHostScope&) = delete;
    CHostScope& operator=(const CHostScope&) = delete;

private:
    uint64_t m_start;
};

// File calls are told apart by their file, the certificates taken together.
template <class... A>
std::string CallName(const char* entry, const A&... args) {
    using Args = std::tuple<A...>;
    if constexpr (sizeof...(A) >= 3) {
        if constexpr (std::is_same_v<std::tuple_element_t<2, Args>, LPSTR>) {
            const char* file = std::get<2>(std::forward_as_tuple(args...));
            std::string name = file == nullptr ? "" : file;
            const bool certificate =
                name.size() == 5 && (name.rfind("ksc", 0) == 0 || name.rfind("kxc", 0) == 0);
            return std::string(entry) + "(" + (certificate ? "certificate" : name) + ")";
        }
    }
    return entry;
}

// A function table slot replaced by a timing trampoline; Id keeps one trampoline per slot.
template <int Id, bool Host, class F>
struct Hook;
template <int Id, bool Host, class R, class... A>
struct Hook<Id, Host, R (*)(A...)> {
    // A trampoline has no state of its own to reach its slot's function through.
    // NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
    static inline R (*original)(A...) = nullptr;
    static inline const char* name = nullptr;
    // NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)
    static R Call(A... args) {
        if constexpr (Host) {
            const CHostScope scope;
            return original(args...);
        } else {
            const CCallScope scope(CallName(name, args...));
            return original(args...);
        }
    }
};

template <int Id, bool Host, class F>
void Install(F& slot, const char* name) {
    using H = Hook<Id, Host, F>;
    if (slot == nullptr || slot == &H::Call) return;
    H::original = slot;
    H::name = name;
    slot = &H::Call;
}

#define HELIX_ENTRY(field) Install<__COUNTER__, false>(data->field, &#field[3])
#define HELIX_HOST(field) Install<__COUNTER__, true>(data->field, #field)

DWORD WINAPI TimedAcquire(PCARD_DATA data, DWORD flags) {
    HELIX_HOST(pfnCspPadData);
    HELIX_HOST(pfnCspUnpadData);
    HELIX_HOST(pfnCspCacheAddFile);
    HELIX_HOST(pfnCspCacheLookupFile);
    HELIX_HOST(pfnCspCacheDeleteFile);
    const PFN_CARD_ACQUIRE_CONTEXT acquire = TheClocks().acquire;
    if (acquire == nullptr) return SCARD_E_UNEXPECTED;
    DWORD rv = 0;
    {
        const CCallScope scope("CardAcquireContext");
        rv = acquire(data, flags);
    }
    if (rv != SCARD_S_SUCCESS) return rv;
    HELIX_ENTRY(pfnCardDeleteContext);
    HELIX_ENTRY(pfnCardQueryCapabilities);
    HELIX_ENTRY(pfnCardDeleteContainer);
    HELIX_ENTRY(pfnCardCreateContainer);
    HELIX_ENTRY(pfnCardGetContainerInfo);
    HELIX_ENTRY(pfnCardAuthenticatePin);
    HELIX_ENTRY(pfnCardGetChallenge);
    HELIX_ENTRY(pfnCardAuthenticateChallenge);
    HELIX_ENTRY(pfnCardUnblockPin);
    HELIX_ENTRY(pfnCardChangeAuthenticator);
    HELIX_ENTRY(pfnCardDeauthenticate);
    HELIX_ENTRY(pfnCardCreateFile);
    HELIX_ENTRY(pfnCardReadFile);
    HELIX_ENTRY(pfnCardWriteFile);
    HELIX_ENTRY(pfnCardDeleteFile);
    HELIX_ENTRY(pfnCardEnumFiles);
    HELIX_ENTRY(pfnCardGetFileInfo);
    HELIX_ENTRY(pfnCardQueryFreeSpace);
    HELIX_ENTRY(pfnCardQueryKeySizes);
    HELIX_ENTRY(pfnCardSignData);
    HELIX_ENTRY(pfnCardRSADecrypt);
    HELIX_ENTRY(pfnCardConstructDHAgreement);
    HELIX_ENTRY(pfnCardDeriveKey);
    HELIX_ENTRY(pfnCardDestroyDHAgreement);
    HELIX_ENTRY(pfnCardGetChallengeEx);
    HELIX_ENTRY(pfnCardAuthenticateEx);
    HELIX_ENTRY(pfnCardChangeAuthenticatorEx);
    HELIX_ENTRY(pfnCardDeauthenticateEx);
    HELIX_ENTRY(pfnCardGetContainerProperty);
    HELIX_ENTRY(pfnCardSetContainerProperty);
    HELIX_ENTRY(pfnCardGetProperty);
    HELIX_ENTRY(pfnCardSetProperty);
    return rv;
}

// The module with the wrapped seam, and where the cards of the runs live.
struct Bench {
    std::unique_ptr<mdhost::os::CLibrary> library;
    fs::path work;
    std::string tqauth;
};

Bench& TheBench() {
    static Bench bench;
    return bench;
}

Bytes PinBytes() {
    const std::string pin = kPin;
    return {pin.begin(), pin.end()};
}

// The steps of one scenario over an acquired session; a step that misbehaves fails the run.
using Run = std::function<void(mdhost::CMinidriverSession&, const mdhost::CApduLog&)>;

void RequireSteps(const mdhost::StepsReport& report, const std::string& scenario) {
    for (const mdhost::Step& step : report.steps) {
        if (step.status != step.expected || !step.agreed)
            throw std::runtime_error(scenario + ": " + step.call + " answered " +
                                     std::to_string(step.status));
    }
}

// One scenario on a card copied from `image` (a new card of `profile` when empty), saved to run.img.
void RunOnce(const std::string& profile, const fs::path& image, const Run& run) {
    const fs::path card = TheBench().work / "run.img";
    fs::remove(card);
    if (!image.empty()) fs::copy_file(image, card);
    mdhost::CEmbeddedReader reader(*TheBench().library, profile, card.string());
    {
        const mdhost::CApduLog log;
        mdhost::CMinidriverSession session(&TimedAcquire, reader);
        if (session.Acquire() != SCARD_S_SUCCESS) throw std::runtime_error("CardAcquireContext failed");
        run(session, log);
        (void)session.DeleteContext();
    }
    if (reader.Close() != SCARD_S_SUCCESS) throw std::runtime_error("the card image was not saved");
}

// Runs `run` `state.iterations()` times, each on a fresh copy of the card, and reports the module's
// time (manual time) and each entry point's mean figures per scenario run.
void Measure(benchmark::State& state, const std::string& profile, const fs::path& image, const Run& run) {
    TheClocks().calls.clear();
    uint64_t iterations = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable is the API's
        const std::map<std::string, CallTotals> before = TheClocks().calls;
        RunOnce(profile, image, run);
        uint64_t moduleNs = 0;
        for (const auto& [name, t] : TheClocks().calls) {
            auto was = before.find(name);
            moduleNs += t.moduleNs - (was == before.end() ? 0 : was->second.moduleNs);
        }
        state.SetIterationTime(static_cast<double>(moduleNs) * 1e-9);
        ++iterations;
    }
    if (iterations == 0) return;
    const auto per = [&](uint64_t v) { return static_cast<double>(v) / static_cast<double>(iterations); };
    for (const auto& [name, t] : TheClocks().calls) {
        state.counters[name + ".calls"] = per(t.calls);
        state.counters[name + ".module_us"] = per(t.moduleNs) / 1000.0;
        state.counters[name + ".card_us"] = per(t.cardNs) / 1000.0;
        state.counters[name + ".host_us"] = per(t.hostNs) / 1000.0;
        state.counters[name + ".apdus"] = per(t.commands);
        state.counters[name + ".sent"] = per(t.sent);
        state.counters[name + ".received"] = per(t.received);
    }
}

mdhost::KeyOptions Keys() {
    return mdhost::KeyOptions{kPin, {"rsa2048", "p256"}, false};
}

// The card the key scenarios start from: the enrolled default keys, made once.
const fs::path& KeysImage() {
    static const fs::path image = [] {
        fs::path path = TheBench().work / "keys.img";
        RunOnce("default", {}, [](mdhost::CMinidriverSession& session, const mdhost::CApduLog&) {
            RequireSteps(mdhost::RunEnrollScenario(session, Keys()), "enroll");
        });
        fs::copy_file(TheBench().work / "run.img", path, fs::copy_options::overwrite_existing);
        return path;
    }();
    return image;
}

struct Scenario {
    const char* name;
    const char* profile;
    bool keys;  // starts from the enrolled card
    int iterations;
    Run run;
};

std::vector<Scenario> Scenarios() {
    using mdhost::CApduLog;
    using mdhost::CMinidriverSession;
    return {
        {"scinfo", "default", true, 30,
         [](CMinidriverSession& s, const CApduLog&) {
             if (!mdhost::GatherScInfo(s).failures.empty()) throw std::runtime_error("scinfo failed");
         }},
        {"logon", "default", false, 30,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunLogonScenario(s, kPin), "logon");
         }},
        {"pin", "default", false, 10,
         [](CMinidriverSession& s, const CApduLog& log) {
             mdhost::PinScenario pin;
             pin.pin = kPin;
             pin.adminKey = mdhost::ParseHex(mdhost::Options{}.adminKey).value_or(Bytes{});
             RequireSteps(mdhost::RunPinScenario(s, pin, log), "pin");
         }},
        // Once: the run loads the stand-in library, and its first step needs the library missing.
        {"session", "bio-23", false, 1,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunSessionPinScenario(s, {TheBench().tqauth, kPin, "23"}), "session");
         }},
        {"properties", "default", false, 30,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunPropertiesScenario(s, kPin), "properties");
         }},
        {"enroll", "default", false, 5,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunEnrollScenario(s, Keys()), "enroll");
         }},
        {"sign", "default", true, 10,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunSignScenario(s, Keys()), "sign");
         }},
        {"decrypt", "default", true, 10,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunDecryptScenario(s, Keys()), "decrypt");
         }},
        {"ecdh", "default", true, 10,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunEcdhScenario(s, Keys()), "ecdh");
         }},
        {"delete", "default", true, 10,
         [](CMinidriverSession& s, const CApduLog&) {
             RequireSteps(mdhost::RunDeleteScenario(s, Keys()), "delete");
         }},
    };
}

// A certificate of exactly `bytes` bytes (at least 26): the names the card object keeps, all empty,
// and an octet string of filler where the key and signature would be.
Bytes FillerCertificate(size_t bytes) {
    const size_t filler = bytes - 26;
    const size_t outer = bytes - 4;
    Bytes der{0x30, 0x82, static_cast<uint8_t>(outer >> 8), static_cast<uint8_t>(outer & 0xFF)};
    const Bytes tbs{0x30, 0x10, 0xA0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01,
                    0x01, 0x30, 0x00, 0x30, 0x00, 0x30, 0x00, 0x30, 0x00};
    der.insert(der.end(), tbs.begin(), tbs.end());
    der.insert(der.end(),
               {0x04, 0x82, static_cast<uint8_t>(filler >> 8), static_cast<uint8_t>(filler & 0xFF)});
    der.resize(bytes, 0x5A);
    return der;
}

// A card with `containers` P-256 signature containers, each with a certificate file of `bytes`
// bytes.
fs::path GrowthCard(unsigned containers, size_t bytes) {
    fs::path path =
        TheBench().work / ("growth-" + std::to_string(containers) + "-" + std::to_string(bytes) + ".img");
    if (fs::exists(path)) return path;
    RunOnce("default", {}, [&](mdhost::CMinidriverSession& s, const mdhost::CApduLog&) {
        DWORD attempts = 0;
        if (s.AuthenticateUser(PinBytes(), attempts) != SCARD_S_SUCCESS) throw std::runtime_error("PIN");
        Bytes cmapfile;
        for (unsigned i = 0; i < containers; ++i) {
            const BYTE flags = CONTAINER_MAP_VALID_CONTAINER | (i == 0 ? CONTAINER_MAP_DEFAULT_CONTAINER : 0);
            const Bytes record = mdhost::ContainerRecordBytes(
                mdhost::ContainerRecord(mdhost::NewContainerName(), flags, 256, 0));
            cmapfile.insert(cmapfile.end(), record.begin(), record.end());
        }
        if (containers > 0 && s.WriteFile("mscp", "cmapfile", cmapfile) != SCARD_S_SUCCESS)
            throw std::runtime_error("cmapfile");
        const Bytes certificate = FillerCertificate(bytes);
        for (unsigned i = 0; i < containers; ++i) {
            const auto index = static_cast<BYTE>(i);
            if (s.CreateContainer(index, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDSA_P256, 256) !=
                SCARD_S_SUCCESS)
                throw std::runtime_error("CardCreateContainer " + std::to_string(i));
            char name[16];
            (void)std::snprintf(name, sizeof name, "ksc%02x", i);
            const DWORD created = s.CreateFile("mscp", name, static_cast<DWORD>(bytes));
            const DWORD written =
                created == SCARD_S_SUCCESS ? s.WriteFile("mscp", name, certificate) : created;
            if (written != SCARD_S_SUCCESS)
                throw std::runtime_error(std::string("certificate ") + name + ": " + std::to_string(written));
        }
    });
    fs::copy_file(TheBench().work / "run.img", path, fs::copy_options::overwrite_existing);
    return path;
}

void RegisterAll() {
    for (const Scenario& scenario : Scenarios()) {
        benchmark::RegisterBenchmark(("scenario/" + std::string(scenario.name)).c_str(),
                                     [scenario](benchmark::State& state) {
                                         const fs::path image = scenario.keys ? KeysImage() : fs::path{};
                                         Measure(state, scenario.profile, image, scenario.run);
                                     })
            ->UseManualTime()
            ->Iterations(scenario.iterations)
            ->Unit(benchmark::kMicrosecond);
    }
    const auto scinfo = [](mdhost::CMinidriverSession& s, const mdhost::CApduLog&) {
        if (!mdhost::GatherScInfo(s).failures.empty()) throw std::runtime_error("scinfo failed");
    };
    const auto growth = [scinfo](const std::string& name, unsigned containers, size_t bytes) {
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State& state) {
                                         Measure(state, "default", GrowthCard(containers, bytes), scinfo);
                                     })
            ->UseManualTime()
            ->Iterations(10)
            // The median of five runs: the slope is read from these, and other builds share the machine.
            ->Repetitions(5)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMicrosecond);
    };
    for (unsigned containers = 0; containers <= 30; containers += 5)
        growth("growth/containers:" + std::to_string(containers), containers, 1024);
    for (size_t bytes : {512, 1024, 2048, 3072, 4096})
        growth("growth/certificate:" + std::to_string(bytes), 8, bytes);
}

}  // namespace

namespace {

int RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench& bench = TheBench();
    const std::string here = mdhost::os::ExecutableDirectory();
    bench.library = std::make_unique<mdhost::os::CLibrary>(here + "/../lib/libhelixmd-bench.so");
    bench.tqauth = here + "/../lib/libtqauth.so";
    TheClocks().acquire = bench.library->Function<PFN_CARD_ACQUIRE_CONTEXT>("CardAcquireContext");
    TheClocks().cardTotals = bench.library->Function<PFN_HELIX_BENCH_CARD_TOTALS>("HelixBenchCardTotals");
    if (TheClocks().acquire == nullptr || TheClocks().cardTotals == nullptr) {
        (void)std::fprintf(stderr, "libhelixmd-bench.so lacks its entry points\n");
        return 1;
    }
    bench.work = fs::temp_directory_path() / ("helix-bench-" + std::to_string(::getpid()));
    fs::create_directories(bench.work);
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(bench.work);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return RunBenchmarks(argc, argv);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "scenario_bench: %s\n", e.what());
        return 1;
    }
}
