// The three views of the calls: the story, JSON for tools, and the summary.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "mdlog/story.h"

namespace mdlog {

struct Filter {
    std::optional<uint32_t> pid;
    std::optional<std::string> call;
    bool failedOnly = false;

    bool Accepts(const Call& call) const;
};

// One exchange as a person reads it.
struct ExchangeView {
    std::string name;  // with "chained piece 2 of 3" where it is one
    bool known = false;
    std::string command;   // hex
    std::string response;  // hex, empty when none came
    std::string answer;    // the decoded status word and data, or the transmission error
};

std::vector<ExchangeView> Describe(const Call& call);

// "SCARD_E_FILE_NOT_FOUND (0x80100024)", "success".
std::string OutcomeText(const Call& call);

void PrintStory(const Call& call, std::ostream& out);

// A JSON array, one object per call, written as the calls end.
class JsonStory {
public:
    explicit JsonStory(std::ostream& out) : m_out(out) {}
    void Print(const Call& call);
    void Finish();

private:
    std::ostream& m_out;
    bool m_first = true;
};

class Summary {
public:
    void Add(const Call& call);
    void Print(std::ostream& out, bool json) const;

private:
    struct PerName {
        uint64_t count = 0;
        uint64_t failures = 0;
        uint64_t commands = 0;
        uint64_t bytes = 0;
    };
    struct Noted {
        int64_t seconds = 0;
        std::string time;
        std::string text;
        uint64_t line = 0;
    };
    static constexpr size_t kMaxNames = 256;
    static constexpr size_t kMaxListed = 20;
    static constexpr size_t kMaxProcesses = 256;
    static constexpr size_t kMaxThreads = 64;

    std::map<std::string, PerName> m_names;
    uint64_t m_otherNames = 0;
    std::vector<Noted> m_slowest;
    std::vector<Noted> m_failing;
    uint64_t m_failures = 0;
    uint64_t m_calls = 0;
    std::map<uint32_t, std::pair<std::string, std::set<uint32_t>>> m_processes;
    std::vector<std::pair<std::string, std::string>> m_appletAnswers;  // command, answer
};

}  // namespace mdlog
