// The command line of mdhost.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mdhost {

struct Options {
    std::string command;  // scinfo, seed, reset, logon, properties or pin
    std::string module;   // empty: the default module next to mdhost
    std::string reader;   // empty: the embedded card
    std::string profile = "default";
    std::string cardImage;
    std::string pin = "12345678";
    std::string adminKey = "010203040506070811121314151617182122232425262728";
    std::string policy;  // none, on or expired; empty: as the embedded card's profile has it
    std::string authLibrary;
    std::string keys = "rsa2048,p256";  // the key commands' kinds, comma-separated
    bool import = false;                // the key commands import keys made by mdhost
    unsigned runs = 1;
    std::vector<std::string> faults;  // the embedded card's, as --fault spells them
    bool json = false;
    bool help = false;

    bool Embedded() const { return reader.empty(); }
    // The PIN policy the pin scenario expects: as given, else "on" for the embedded card's profile
    // "policy", "expired" for "pin-expired", "none" otherwise.
    std::string PinPolicy() const;
};

// Fills `options` from the arguments after the program name; the words of the first mistake
// on failure.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options);

std::string Usage();

}  // namespace mdhost
