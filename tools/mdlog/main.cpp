// mdlog: the module's diagnostic log read back as calls, commands and answers.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <string>

#include "mdlog/log_lines.h"
#include "mdlog/redact.h"
#include "mdlog/render.h"
#include "mdlog/story.h"

namespace {

constexpr int kExitUnreadable = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoInput = 3;

const char* const kUsage =
    "usage: mdlog [--summary | --json | --redact] [--pid N] [--call NAME] [--failed] [FILE | -]\n"
    "\n"
    "Reads the log that the module writes when TQ_MD_LOG names a file (standard input for '-'\n"
    "or no FILE) and tells it as calls: each entry point with its arguments, the commands it\n"
    "sent by name with the card's answers decoded, and the code the host got.\n"
    "\n"
    "  --summary    per call name: count, failures, APDUs, bytes; the slowest and the failed\n"
    "               calls; processes and threads; the applet's answers\n"
    "  --json       the calls as a JSON array (with --summary: the summary as JSON)\n"
    "  --redact     the log itself with PINs, PIN cryptograms, wrapped payloads and agreed\n"
    "               secrets replaced by xx; headers and status words stay\n"
    "  --pid N      only the calls of process N\n"
    "  --call NAME  only the calls of that entry point (CardReadFile, ...)\n"
    "  --failed     only the calls that failed\n"
    "\n"
    "Exit status: 0 read whole, 1 some lines could not be read (the first is named on standard\n"
    "error), 2 usage, 3 the file cannot be opened.\n";

struct Options {
    bool summary = false;
    bool json = false;
    bool redact = false;
    mdlog::Filter filter;
    std::string path = "-";
};

bool ParseNumber(const char* text, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || parsed > std::numeric_limits<uint32_t>::max()) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// Returns -1 when the options are good, else the exit status.
int ParseOptions(int argc, char** argv, Options& options) {
    bool pathGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--summary") {
            options.summary = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--redact") {
            options.redact = true;
        } else if (arg == "--failed") {
            options.filter.failedOnly = true;
        } else if (arg == "--pid" && hasValue) {
            uint32_t pid = 0;
            if (!ParseNumber(argv[++i], pid)) {
                std::cerr << "mdlog: --pid takes a process number, not '" << argv[i] << "'\n";
                return kExitUsage;
            }
            options.filter.pid = pid;
        } else if (arg == "--call" && hasValue) {
            options.filter.call = argv[++i];
        } else if ((arg.empty() || arg[0] != '-' || arg == "-") && !pathGiven) {
            options.path = arg;
            pathGiven = true;
        } else {
            std::cerr << "mdlog: unexpected argument '" << arg << "'\n" << kUsage;
            return kExitUsage;
        }
    }
    if (options.redact && (options.summary || options.json)) {
        std::cerr << "mdlog: --redact writes the log itself and takes no other view\n";
        return kExitUsage;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = ParseOptions(argc, argv, options);
    if (status >= 0) return status;
    std::ios::sync_with_stdio(false);

    // Standard input is borrowed; a named file is ours to close.
    const auto close = [](std::FILE* file) {
        (void)std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory)
    };
    std::unique_ptr<std::FILE, decltype(close)> owned(nullptr, close);
    std::FILE* input = stdin;
    if (options.path != "-") {
        owned.reset(std::fopen(options.path.c_str(), "rb"));  // NOLINT(cppcoreguidelines-owning-memory)
        if (!owned) {
            std::cerr << "mdlog: cannot open " << options.path << ": " << std::strerror(errno) << "\n";
            return kExitNoInput;
        }
        input = owned.get();
    }
    const std::string source = options.path == "-" ? "standard input" : options.path;

    mdlog::Summary summary;
    mdlog::JsonStory json(std::cout);
    mdlog::Redactor redactor(std::cout);
    mdlog::Assembler assembler([&](const mdlog::Call& call) {
        if (!options.filter.Accepts(call)) return;
        if (options.summary) {
            summary.Add(call);
        } else if (options.json) {
            json.Print(call);
        } else {
            mdlog::PrintStory(call, std::cout);
        }
    });

    mdlog::LineReader reader(input);
    std::string text;
    bool tooLong = false;
    uint64_t unreadable = 0;
    while (reader.Next(text, tooLong)) {
        mdlog::Line line = mdlog::ParseLine(std::move(text), reader.Number());
        if (tooLong) {
            line.kind = mdlog::LineKind::Unreadable;
            line.problem = "longer than " + std::to_string(mdlog::LineReader::kMaxLine) + " bytes";
        }
        if (line.kind == mdlog::LineKind::Unreadable && ++unreadable == 1) {
            std::cerr << "mdlog: " << source << ":" << line.number << ": cannot read this line ("
                      << line.problem << "): " << mdlog::Printable(line.text) << "\n";
        }
        if (options.redact) {
            redactor.Add(line);
        } else {
            assembler.Add(line);
        }
        text.clear();
    }
    const bool readFailed = std::ferror(input) != 0;
    assembler.Finish();
    if (options.summary) {
        summary.Print(std::cout, options.json);
    } else if (options.json && !options.redact) {
        json.Finish();
    }
    std::cout.flush();
    if (readFailed) {
        std::cerr << "mdlog: reading " << source << " failed\n";
        return kExitUnreadable;
    }
    if (unreadable > 1) std::cerr << "mdlog: " << unreadable << " lines in all could not be read\n";
    if (!std::cout) {
        std::cerr << "mdlog: writing the output failed\n";
        return kExitUnreadable;
    }
    return unreadable == 0 ? 0 : kExitUnreadable;
}
