// The "seed" scenario: makes the embedded card look like a card in use, with two containers and
// their certificates, written below the module as the card's owner would (the user PIN
// presented through the simulator's host functions), so that seeding does not depend on the
// module's own authentication.
//
// What lands on the card: for each container an RSA 2048 key pair generated on the card, the
// private key file that describes it, and a certificate for its public key issued by a demo
// authority made on the host; the container map naming both; the authority's certificate as
// the root store; a cache file whose counters say that containers and files were written.
#pragma once

#include <string>
#include <vector>

#include "mdhost/readers.h"
#include "mdhost/scinfo.h"

namespace mdhost {

struct SeededContainer {
    unsigned index = 0;
    std::string name;
    std::string keySpec;
    std::string certificateFile;
    std::string certificateSha1;
    std::string subject;
};

struct SeedReport {
    std::vector<SeededContainer> containers;
    Bytes cardcf;
    size_t msrootsSize = 0;
    std::string rootSha1;
};

// Throws std::runtime_error naming the step that failed.
SeedReport SeedDemoCard(CEmbeddedReader& reader, const std::string& pin);

std::string SeedText(const SeedReport& report, const HostReport& host);
std::string SeedJson(const SeedReport& report, const HostReport& host);

}  // namespace mdhost
