// The command line of mdhost.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mdhost {

struct Options {
    std::string command;  // scinfo, seed, reset, logon or properties
    std::string module;   // empty: the default module next to mdhost
    std::string reader;   // empty: the embedded card
    std::string profile = "default";
    std::string cardImage;
    std::string pin = "12345678";
    std::string authLibrary;
    unsigned runs = 1;
    bool json = false;
    bool help = false;

    bool Embedded() const { return reader.empty(); }
};

// Fills `options` from the arguments after the program name; the words of the first mistake
// on failure.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options);

std::string Usage();

}  // namespace mdhost
