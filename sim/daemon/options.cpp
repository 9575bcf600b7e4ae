#include "options.h"

#include <charconv>
#include <limits>

namespace helixd {

namespace {

uint32_t ParseNumber(const std::string& option, const std::string& text, uint32_t min, uint32_t max) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
        throw UsageError(option + " wants a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not \"" + text + "\"");
    }
    return value;
}

helixsim::Fault ParseFault(const std::string& text) {
    try {
        return helixsim::ParseFault(text);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--fault ") + e.what());
    }
}

// The value of `option`, taken from the next argument.
const std::string& ValueOf(const std::vector<std::string>& args, size_t& i) {
    if (i + 1 >= args.size()) throw UsageError(args[i] + " wants a value");
    return args[++i];
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--host") {
            o.host = ValueOf(args, i);
        } else if (a == "--port") {
            o.port = static_cast<uint16_t>(ParseNumber(a, ValueOf(args, i), 1, 65535));
        } else if (a == "--profile") {
            o.profile = ValueOf(args, i);
        } else if (a == "--card-image") {
            o.cardImage = ValueOf(args, i);
        } else if (a == "--latency-us") {
            o.latencyMicros = ParseNumber(a, ValueOf(args, i), 0, 60u * 1000 * 1000);
        } else if (a == "--baud") {
            o.baud = ParseNumber(a, ValueOf(args, i), 0, std::numeric_limits<uint32_t>::max());
        } else if (a == "--fault") {
            o.faults.push_back(ParseFault(ValueOf(args, i)));
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--print-atr") {
            o.printAtr = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else {
            throw UsageError("unknown option \"" + a + "\"");
        }
    }
    return o;
}

std::string UsageText() {
    return "usage: helix-sim [options]\n"
           "A simulated Helix card for pcscd's vpcd reader driver. helix-sim connects to vpcd\n"
           "(loopback addresses only), answers the reader's power and ATR requests and the\n"
           "host's commands, and comes back when pcscd restarts.\n"
           "\n"
           "  --host ADDR        vpcd's address, a loopback name or address (127.0.0.1)\n"
           "  --port N           vpcd's port (35963, the first slot)\n"
           "  --profile NAME     profile of a new card (default)\n"
           "  --card-image FILE  load the card from FILE when it exists, else create it from the\n"
           "                     profile; the card is saved to FILE after every command and on exit\n"
           "  --latency-us N     card processing time per command, in microseconds\n"
           "  --baud N           wire time per byte at N baud (0: none)\n"
           "  --fault F          inject a fault, counting commands from 1 since the card was made or\n"
           "                     loaded; F is KIND:N with KIND reset-before, reset-after,\n"
           "                     remove-before or remove-after, sw:N:XXXX (answer command N with the\n"
           "                     hex status word XXXX) or tear:N:BYTES; may be repeated. A removed\n"
           "                     card leaves the reader for a second and comes back\n"
           "  --once             exit when vpcd closes the connection instead of reconnecting\n"
           "  --print-atr        print the card's ATR in hex and exit\n"
           "  --verbose, -v      log to standard error\n"
           "  --help, -h         this text\n"
           "\n"
           "Exit status: 0 after SIGTERM, SIGINT or (--once) a closed connection; 1 when the card\n"
           "image cannot be read or written; 2 for a wrong command line.\n";
}

}  // namespace helixd
