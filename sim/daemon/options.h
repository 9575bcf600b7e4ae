// The daemon's command line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "helixsim/card.h"

namespace helixd {

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 35963;  // vpcd's first slot
    std::string profile = "default";
    std::string cardImage;  // empty: the card lives in memory only
    uint32_t latencyMicros = 0;
    uint32_t baud = 0;
    std::vector<helixsim::Fault> faults;
    bool once = false;
    bool verbose = false;
    bool printAtr = false;
    bool help = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError for an unknown option, a missing value or a number out of range.
Options ParseOptions(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace helixd
