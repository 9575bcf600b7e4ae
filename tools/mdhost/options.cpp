#include "mdhost/options.h"

#include "mdhost/keys.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include "helixsim/fault.h"
#include "mdhost/hex.h"

namespace mdhost {

namespace {

constexpr unsigned kMaxRuns = 100;

const char* const kCommands[] = {"scinfo", "seed",   "reset", "logon",   "properties", "session",
                                 "pin",    "enroll", "sign",  "decrypt", "ecdh",       "delete"};
const char* const kPolicies[] = {"none", "on", "expired"};
constexpr size_t kAdminKeySize = 24;

struct Valued {
    const char* name;
    std::string Options::*field;
};

const Valued kValued[] = {
    {"--module", &Options::module},
    {"--reader", &Options::reader},
    {"--profile", &Options::profile},
    {"--card-image", &Options::cardImage},
    {"--pin", &Options::pin},
    {"--auth-library", &Options::authLibrary},
    {"--admin-key", &Options::adminKey},
    {"--policy", &Options::policy},
    {"--key", &Options::keys},
};

bool IsCommand(const std::string& word) {
    return std::any_of(std::begin(kCommands), std::end(kCommands), [&](const char* c) { return word == c; });
}

std::optional<std::string> SetRuns(const std::string& text, Options& options) {
    char* end = nullptr;
    const unsigned long runs = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || runs < 1 || runs > kMaxRuns)
        return "--runs takes a number from 1 to " + std::to_string(kMaxRuns);
    options.runs = static_cast<unsigned>(runs);
    return std::nullopt;
}

// One option, given as "--name value" (the value taken from `next`) or "--name=value".
std::optional<std::string> TakeOption(const std::string& arg, const std::string* next, bool& usedNext,
                                      Options& options) {
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (name == "--json" || name == "--help" || name == "-h" || name == "--import") {
        if (equals != std::string::npos) return name + " takes no value";
        (name == "--json" ? options.json : name == "--import" ? options.import : options.help) = true;
        return std::nullopt;
    }
    std::string value;
    if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
    } else if (next != nullptr) {
        value = *next;
        usedNext = true;
    } else {
        return name + " needs a value";
    }
    if (name == "--runs") return SetRuns(value, options);
    if (name == "--fault") {
        try {
            (void)helixsim::ParseFault(value);
        } catch (const std::invalid_argument& e) {
            return std::string("--fault ") + e.what();
        }
        options.faults.push_back(value);
        return std::nullopt;
    }
    for (const Valued& v : kValued) {
        if (name == v.name) {
            if (value.empty()) return name + " needs a value";
            options.*v.field = value;
            return std::nullopt;
        }
    }
    return "unknown option " + name;
}

std::optional<std::string> Check(const Options& options) {
    if (options.help) return std::nullopt;
    if (options.command.empty()) return std::string("no command given");
    if (!options.Embedded() && (options.profile != "default" || !options.cardImage.empty()))
        return std::string(
            "--profile and --card-image choose the embedded card; they do not go with --reader");
    if (!options.faults.empty() && !options.Embedded())
        return std::string("--fault goes with the embedded card only");
    if (options.command == "seed" && !options.Embedded())
        return std::string("seed writes the embedded card only");
    if (options.command == "seed" && options.cardImage.empty())
        return std::string("seed needs --card-image to keep what it writes");
    if (options.runs != 1 && options.command != "scinfo") return std::string("--runs goes with scinfo only");
    if (!options.policy.empty() && options.command != "pin")
        return std::string("--policy goes with pin only");
    if (!options.policy.empty() && std::none_of(std::begin(kPolicies), std::end(kPolicies),
                                                [&](const char* p) { return options.policy == p; }))
        return std::string("--policy takes none, on or expired");
    if (!ParseKeyList(options.keys))
        return std::string(
            "--key takes rsa1024 to rsa4096, p256, p384, p521, ecdh-p256 to ecdh-p521, comma-separated");
    const bool keyCommand = options.command == "enroll" || options.command == "sign" ||
                            options.command == "decrypt" || options.command == "ecdh" ||
                            options.command == "delete";
    if (options.import && !keyCommand) return std::string("--import goes with the key commands only");
    const auto key = ParseHex(options.adminKey);
    if (!key || key->size() != kAdminKeySize) return std::string("--admin-key takes 24 bytes in hex");
    return std::nullopt;
}

}  // namespace

std::string Options::PinPolicy() const {
    if (!policy.empty()) return policy;
    if (Embedded() && profile == "policy") return "on";
    if (Embedded() && profile == "pin-expired") return "expired";
    return "none";
}

std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.compare(0, 1, "-") == 0) {
            bool usedNext = false;
            const std::string* next = i + 1 < args.size() ? &args[i + 1] : nullptr;
            if (auto error = TakeOption(arg, next, usedNext, options)) return error;
            if (usedNext) ++i;
        } else if (options.command.empty() && IsCommand(arg)) {
            options.command = arg;
        } else {
            return options.command.empty() ? "unknown command " + arg : "unexpected argument " + arg;
        }
    }
    return Check(options);
}

std::string Usage() {
    return "usage: mdhost COMMAND [options]\n"
           "\n"
           "Loads a minidriver, fills CARD_DATA as the Windows smart card stack does and drives it.\n"
           "\n"
           "commands:\n"
           "  scinfo   what a certificate tool shows of the card: identifier, cache file, capabilities,\n"
           "           free space, key sizes, containers, certificate files, root store; then the\n"
           "           host's summary (allocations left unfreed, APDUs and bytes exchanged)\n"
           "  seed     give the embedded card two containers with keys generated on the card,\n"
           "           their certificates and a root store, written through the module as the\n"
           "           user (needs --card-image)\n"
           "  reset    the user logged on, a reset of the card by another application, a write that\n"
           "           needs the user (which fails), the host's reconnection, the same write again\n"
           "           (which works: the module presents the cached PIN)\n"
           "  logon    the user PIN right, a wrong PIN (tries left shown), right again, deauthentication,\n"
           "           and a write that needs the user refused after it\n"
           "  properties  every card property read, each settable one written; the card identifier\n"
           "           written as it was read and read back\n"
           "  session  on a biometric card: a session PIN generated through the outside\n"
           "           authentication library (missing, cancelled, failing, then right), presented\n"
           "           in a new context, refused once altered\n"
           "  pin      the user PIN changed and changed back; the administrator's challenge-response;\n"
           "           the PIN blocked with wrong PINs and unblocked by the administrator. With a PIN\n"
           "           policy (--policy on): a recent PIN refused by the history, the change demanded\n"
           "           after an unblock; an expired PIN refused (--policy expired). The card ends with\n"
           "           the PIN it started with and its tries full\n"
           "  enroll   containers created as the Windows stack enrolls a certificate: the key made on\n"
           "           the card (or imported), its public key read, the map, the certificate, cardcf\n"
           "  sign     PKCS#1 v1.5 and PSS (SHA-1/256/384/512) and ECDSA with each container, each\n"
           "           signature verified with OpenSSL\n"
           "  decrypt  a block OpenSSL encrypted to each RSA key, deciphered by the card\n"
           "  ecdh     an agreement of each ECDH container with an OpenSSL key; the HASH, HMAC and\n"
           "           SP800_56A_CONCAT derivations compared with OpenSSL's\n"
           "  delete   the last container and its certificate removed, the map and cardcf written\n"
           "\n"
           "options:\n"
           "  --reader NAME       a reader of the PC/SC service (default: the embedded card)\n"
           "  --module PATH       the minidriver to load (default: libhelixmd-sim.so for the embedded\n"
           "                      card, libhelixmd.so for a reader; looked for next to mdhost and in\n"
           "                      ../lib)\n"
           "  --profile NAME      the embedded card's profile for a new card (default: default)\n"
           "  --card-image FILE   load the embedded card from FILE when it exists; save it there at exit\n"
           "  --pin PIN           the user PIN for seed, reset, logon, properties, session and pin\n"
           "                      (default: 12345678)\n"
           "  --auth-library PATH the stand-in authentication library for session (default: libtqauth.so\n"
           "                      next to mdhost or in ../lib)\n"
           "  --admin-key HEX     the administrator key for pin, 24 bytes (default: the simulator's,\n"
           "                      0102..08 1112..18 2122..28)\n"
           "  --policy WHAT       the card's PIN policy for pin: none; on (a history of 3, a maximum\n"
           "                      age not reached, a change after unblock); expired (the same, the PIN\n"
           "                      older than the maximum age). Default: on for the embedded profile\n"
           "                      policy, expired for pin-expired, none otherwise\n"
           "  --key LIST          the key commands' keys: rsa1024 to rsa4096, p256, p384, p521,\n"
           "                      ecdh-p256 to ecdh-p521, comma-separated (default: rsa2048,p256)\n"
           "  --import            enroll keys made by mdhost instead of generating them on the card\n"
           "  --fault F           a fault of the embedded card, counting its commands (GET RESPONSE\n"
           "                      included) from 1 just after CardAcquireContext: F is KIND:N with\n"
           "                      KIND reset-before, reset-after, remove-before or remove-after,\n"
           "                      sw:N:XXXX (command N answered with the hex status word XXXX) or\n"
           "                      tear:N:BYTES; may be repeated. A removed card stays out until exit\n"
           "  --runs N            scinfo N times over the same card context (the module's caches)\n"
           "  --json              machine-readable output\n"
           "\n"
           "exit status: 0 success; 1 a call failed, an allocation was left unfreed or freed wrongly,\n"
           "or a scenario did not behave; 2 a wrong command line; 3 the module or the card could not\n"
           "be reached\n";
}

}  // namespace mdhost
