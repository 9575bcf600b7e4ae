// mdlog: the module's diagnostic log read back as calls, commands and answers.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    if (errno != 0 || end == text || *end != 0 || parsed > 0xFFFFFFFFUL) return false;
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
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--summary") {
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
                std::fprintf(stderr, "mdlog: --pid takes a process number, not '%s'\n", argv[i]);
                return kExitUsage;
            }
            options.filter.pid = pid;
        } else if (arg == "--call" && hasValue) {
            options.filter.call = argv[++i];
        } else if ((arg.empty() || arg[0] != '-' || arg == "-") && !pathGiven) {
            options.path = arg;
            pathGiven = true;
        } else {
            std::fprintf(stderr, "mdlog: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
            return kExitUsage;
        }
    }
    if (options.redact && (options.summary || options.json)) {
        std::fprintf(stderr, "mdlog: --redact writes the log itself and takes no other view\n");
        return kExitUsage;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = ParseOptions(argc, argv, options);
    if (status >= 0) return status;

    std::FILE* input = stdin;
    if (options.path != "-") {
        input = std::fopen(options.path.c_str(), "rb");
        if (input == nullptr) {
            std::fprintf(stderr, "mdlog: cannot open %s: %s\n", options.path.c_str(), std::strerror(errno));
            return kExitNoInput;
        }
    }
    const std::string source = options.path == "-" ? "standard input" : options.path;

    mdlog::Summary summary;
    mdlog::JsonStory json(stdout);
    mdlog::Redactor redactor(stdout);
    mdlog::Assembler assembler([&](const mdlog::Call& call) {
        if (!options.filter.Accepts(call)) return;
        if (options.summary) {
            summary.Add(call);
        } else if (options.json) {
            json.Print(call);
        } else {
            mdlog::PrintStory(call, stdout);
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
            std::fprintf(stderr, "mdlog: %s:%llu: cannot read this line (%s): %s\n", source.c_str(),
                         static_cast<unsigned long long>(line.number), line.problem.c_str(),
                         mdlog::Printable(line.text).c_str());
        }
        if (options.redact) {
            redactor.Add(line);
        } else {
            assembler.Add(line);
        }
        text.clear();
    }
    const bool readFailed = std::ferror(input) != 0;
    if (input != stdin) std::fclose(input);
    assembler.Finish();
    if (options.summary) {
        summary.Print(stdout, options.json);
    } else if (options.json && !options.redact) {
        json.Finish();
    }
    if (readFailed) {
        std::fprintf(stderr, "mdlog: reading %s failed\n", source.c_str());
        return kExitUnreadable;
    }
    if (unreadable > 1)
        std::fprintf(stderr, "mdlog: %llu lines in all could not be read\n",
                     static_cast<unsigned long long>(unreadable));
    return unreadable == 0 ? 0 : kExitUnreadable;
}
