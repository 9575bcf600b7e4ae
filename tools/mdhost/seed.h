// The "seed" scenario: makes the embedded card look like a card in use, with two containers and
// their certificates, enrolled through the module as the Windows stack enrols a certificate: the
// user authenticated with the PIN, the container map written, each container's RSA 2048 key
// pair generated on the card by CardCreateContainer and its public key read back, then the
// certificate files (created first where missing), the root store and the cache file with its
// counters bumped. The certificates are issued by a demo authority made on the host, whose
// certificate becomes the root store.
#pragma once

#include <string>
#include <vector>

#include "mdhost/readers.h"
#include "mdhost/scinfo.h"
#include "mdhost/session.h"

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
    Bytes cardcf;  // the record written through the module
    size_t msrootsSize = 0;
    std::string rootSha1;
};

// Over `session`, acquired on `reader`. Throws std::runtime_error naming the step that failed.
SeedReport SeedDemoCard(CMinidriverSession& session, const std::string& pin);

std::string SeedText(const SeedReport& report, const HostReport& host);
std::string SeedJson(const SeedReport& report, const HostReport& host);

}  // namespace mdhost
