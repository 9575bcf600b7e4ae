// The "scinfo" scenario: what a certificate tool shows of a smart card, asked the way the Windows
// stack asks a minidriver: the card identifier, the cache file, capabilities, free space, key
// sizes, the containers of the container map, the certificate files and the root store.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mdhost/apdu_log.h"
#include "mdhost/hex.h"
#include "mdhost/host_services.h"
#include "mdhost/json.h"
#include "mdhost/session.h"

namespace mdhost {

struct CallOutcome {
    std::string call;
    DWORD status = 0;
};

struct KeySizesReport {
    DWORD keySpec = 0;
    DWORD status = 0;
    CARD_KEY_SIZES sizes{};
};

struct ContainerReport {
    unsigned index = 0;
    std::string name;
    BYTE flags = 0;
    WORD signatureBits = 0;
    WORD keyExchangeBits = 0;
    std::optional<DWORD> infoStatus;  // asked for valid containers only
    ContainerKeys keys;
};

struct CertificateReport {
    std::string file;
    DWORD status = 0;
    Bytes content;
};

struct ScInfo {
    DWORD cardidStatus = 0;
    Bytes cardid;
    DWORD cardcfStatus = 0;
    Bytes cardcf;
    DWORD capabilitiesStatus = 0;
    CARD_CAPABILITIES capabilities{};
    DWORD freeSpaceStatus = 0;
    CARD_FREE_SPACE_INFO freeSpace{};
    std::vector<KeySizesReport> keySizes;
    DWORD cmapfileStatus = 0;
    std::vector<ContainerReport> containers;
    DWORD enumStatus = 0;
    std::vector<std::string> mscpFiles;
    std::vector<CertificateReport> certificates;
    DWORD msrootsStatus = 0;
    Bytes msroots;
    // Answers other than success and the expected ones ("not supported yet", "no such file").
    std::vector<CallOutcome> failures;
};

// The container records of a cmapfile as the module returns it (86 bytes each); a length
// that is not a whole number of records is a failure.
bool ParseContainerMap(const Bytes& cmapfile, std::vector<ContainerReport>& containers);
// Whether `name` is a certificate file name: "ksc" or "kxc" and two hexadecimal digits.
bool IsCertificateFile(const std::string& name);

ScInfo GatherScInfo(CMinidriverSession& session);

// What the host saw around the scenario.
struct RunStats {
    ApduCount apdus;
    std::optional<uint64_t> cardCommands;
};
struct HostReport {
    std::string command;
    std::string module;
    std::string reader;
    Bytes atr;
    DWORD acquireStatus = 0;
    DWORD deleteStatus = 0;
    AllocationStats allocations;
    RunStats acquire;            // CardAcquireContext
    std::vector<RunStats> runs;  // each run of the scenario
};

// True when the host has nothing to complain about: no allocation left or freed wrongly.
bool AllocationsClean(const AllocationStats& stats);

std::string ScInfoText(const ScInfo& info, const HostReport& host);
std::string ScInfoJson(const ScInfo& info, const HostReport& host);

// The parts every scenario's output shares: its opening (the reader and the module; in JSON also
// the command and CardAcquireContext's answer) and the host's summary.
std::string HostHeading(const HostReport& host);
void WriteHostHeading(JsonWriter& json, const HostReport& host);
void WriteHostJson(JsonWriter& json, const HostReport& host);
std::string HostText(const HostReport& host);

}  // namespace mdhost
