#include "mdhost/scinfo.h"

#include <cstdio>

#include "mdhost/status_names.h"
#include "mdhost/x509.h"

namespace mdhost {

namespace {

constexpr size_t kRecordBytes = 86;
constexpr size_t kNameCharacters = 40;
constexpr DWORD kFirstKeySpec = 1;
constexpr DWORD kLastKeySpec = 8;

const char* KeySpecName(DWORD keySpec) {
    static const char* const kNames[] = {"",
                                         "AT_KEYEXCHANGE",
                                         "AT_SIGNATURE",
                                         "AT_ECDSA_P256",
                                         "AT_ECDSA_P384",
                                         "AT_ECDSA_P521",
                                         "AT_ECDHE_P256",
                                         "AT_ECDHE_P384",
                                         "AT_ECDHE_P521"};
    return keySpec <= kLastKeySpec ? kNames[keySpec] : "";
}

unsigned U16LE(const Bytes& bytes, size_t at) {
    return static_cast<unsigned>(bytes[at] | (bytes[at + 1] << 8));
}

uint32_t U32LE(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(U16LE(bytes, at) | (U16LE(bytes, at + 2) << 16));
}

// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8(const std::vector<unsigned>& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Records a call; answers other than success and `expected` count as failures.
DWORD Note(ScInfo& info, const std::string& call, DWORD status, DWORD expected = SCARD_S_SUCCESS) {
    if (status != SCARD_S_SUCCESS && status != expected) info.failures.push_back({call, status});
    return status;
}

// "RSA 2048 bits" for a PUBLICKEYBLOB, "EC 256 bits" for an ECC key blob.
std::string KeyBlobText(const Bytes& blob) {
    constexpr uint8_t kPublicKeyBlob = 0x06;
    if (blob.size() >= 20 && blob[0] == kPublicKeyBlob)
        return "RSA " + std::to_string(U32LE(blob, 12)) + " bits";
    if (blob.size() >= 8) return "EC " + std::to_string(8 * U32LE(blob, 4)) + " bits";
    return std::to_string(blob.size()) + " bytes";
}

struct CardCf {
    unsigned version;
    unsigned pins;
    unsigned containers;
    unsigned files;
};

std::optional<CardCf> ParseCardCf(const Bytes& cardcf) {
    if (cardcf.size() != 6) return std::nullopt;
    return CardCf{cardcf[0], cardcf[1], U16LE(cardcf, 2), U16LE(cardcf, 4)};
}

std::string YesNo(BOOL value) {
    return value != 0 ? "yes" : "no";
}

std::string Line(const char* label, const std::string& value) {
    char head[32];
    (void)std::snprintf(head, sizeof head, "%-22s", label);
    return std::string(head) + value + "\n";
}

std::string Outcome(DWORD status) {
    return status == SCARD_S_SUCCESS ? "" : "failed: " + StatusText(status);
}

std::string CertificateText(const CertificateReport& c) {
    if (c.status != SCARD_S_SUCCESS) return "  " + c.file + "  " + Outcome(c.status) + "\n";
    const std::optional<std::string> subject = CertificateSubject(c.content);
    return "  " + c.file + "  " + std::to_string(c.content.size()) + " bytes  SHA-1 " + Sha1Hex(c.content) +
           "\n         subject: " + subject.value_or("(not a certificate)") + "\n";
}

std::string ContainerText(const ContainerReport& c) {
    std::string flags;
    if ((c.flags & CONTAINER_MAP_VALID_CONTAINER) != 0) flags += " valid";
    if ((c.flags & CONTAINER_MAP_DEFAULT_CONTAINER) != 0) flags += " default";
    if (flags.empty()) flags = " empty";
    std::string text = "  [" + std::to_string(c.index) + "] " + (c.name.empty() ? "(no name)" : c.name) +
                       flags + "\n      signature key " + std::to_string(c.signatureBits) +
                       " bits, key exchange key " + std::to_string(c.keyExchangeBits) + " bits\n";
    if (!c.infoStatus) return text;
    if (*c.infoStatus == SCARD_E_UNSUPPORTED_FEATURE)
        return text + "      CardGetContainerInfo: not supported yet\n";
    if (*c.infoStatus != SCARD_S_SUCCESS)
        return text + "      CardGetContainerInfo " + Outcome(*c.infoStatus) + "\n";
    if (!c.keys.signature.empty())
        text += "      signature public key: " + KeyBlobText(c.keys.signature) + "\n";
    if (!c.keys.keyExchange.empty())
        text += "      key exchange public key: " + KeyBlobText(c.keys.keyExchange) + "\n";
    return text;
}

std::string RunText(const RunStats& r) {
    std::string text = std::to_string(r.apdus.commands) + " APDUs, " + std::to_string(r.apdus.bytesSent) +
                       " bytes sent, " + std::to_string(r.apdus.bytesReceived) + " bytes received";
    if (r.cardCommands) text += " (the card counted " + std::to_string(*r.cardCommands) + " commands)";
    return text;
}

void WriteRunJson(JsonWriter& json, const char* key, const RunStats& r) {
    json.BeginObject(key)
        .Number("apdus", r.apdus.commands)
        .Number("bytes_sent", r.apdus.bytesSent)
        .Number("bytes_received", r.apdus.bytesReceived)
        .Number("bytes", r.apdus.bytesSent + r.apdus.bytesReceived);
    if (r.cardCommands) {
        json.Number("card_commands", *r.cardCommands);
    } else {
        json.Null("card_commands");
    }
    json.EndObject();
}

}  // namespace

bool ParseContainerMap(const Bytes& cmapfile, std::vector<ContainerReport>& containers) {
    containers.clear();
    if (cmapfile.size() % kRecordBytes != 0) return false;
    for (size_t at = 0; at < cmapfile.size(); at += kRecordBytes) {
        ContainerReport c;
        c.index = static_cast<unsigned>(at / kRecordBytes);
        std::vector<unsigned> units;
        for (size_t i = 0; i < kNameCharacters; ++i) {
            const unsigned unit = U16LE(cmapfile, at + 2 * i);
            if (unit == 0) break;
            units.push_back(unit);
        }
        c.name = Utf8(units);
        c.flags = cmapfile[at + 2 * kNameCharacters];
        c.signatureBits = static_cast<WORD>(U16LE(cmapfile, at + 2 * kNameCharacters + 2));
        c.keyExchangeBits = static_cast<WORD>(U16LE(cmapfile, at + 2 * kNameCharacters + 4));
        containers.push_back(c);
    }
    return true;
}

bool IsCertificateFile(const std::string& name) {
    return name.size() == 5 && (name.compare(0, 3, "ksc") == 0 || name.compare(0, 3, "kxc") == 0) &&
           IsHexDigit(name[3]) && IsHexDigit(name[4]);
}

ScInfo GatherScInfo(CMinidriverSession& session) {
    ScInfo info;
    info.cardidStatus = Note(info, "CardReadFile(cardid)", session.ReadFile(nullptr, "cardid", info.cardid));
    info.cardcfStatus = Note(info, "CardReadFile(cardcf)", session.ReadFile(nullptr, "cardcf", info.cardcf));
    info.capabilitiesStatus =
        Note(info, "CardQueryCapabilities", session.QueryCapabilities(info.capabilities));
    info.freeSpaceStatus = Note(info, "CardQueryFreeSpace", session.QueryFreeSpace(info.freeSpace));
    for (DWORD keySpec = kFirstKeySpec; keySpec <= kLastKeySpec; ++keySpec) {
        KeySizesReport sizes;
        sizes.keySpec = keySpec;
        sizes.status = Note(info, std::string("CardQueryKeySizes(") + KeySpecName(keySpec) + ")",
                            session.QueryKeySizes(keySpec, sizes.sizes));
        info.keySizes.push_back(sizes);
    }

    Bytes cmapfile;
    info.cmapfileStatus =
        Note(info, "CardReadFile(mscp/cmapfile)", session.ReadFile("mscp", "cmapfile", cmapfile));
    if (info.cmapfileStatus == SCARD_S_SUCCESS && !ParseContainerMap(cmapfile, info.containers))
        info.failures.push_back(
            {"cmapfile of " + std::to_string(cmapfile.size()) + " bytes", SCARD_E_UNEXPECTED});
    for (ContainerReport& c : info.containers) {
        if ((c.flags & CONTAINER_MAP_VALID_CONTAINER) == 0) continue;
        // The container methods come later; until then the module says so.
        c.infoStatus =
            Note(info, "CardGetContainerInfo(" + std::to_string(c.index) + ")",
                 session.GetContainerInfo(static_cast<BYTE>(c.index), c.keys), SCARD_E_UNSUPPORTED_FEATURE);
    }

    info.enumStatus = Note(info, "CardEnumFiles(mscp)", session.EnumFiles("mscp", info.mscpFiles));
    for (const std::string& file : info.mscpFiles) {
        if (!IsCertificateFile(file)) continue;
        CertificateReport c;
        c.file = file;
        c.status =
            Note(info, "CardReadFile(mscp/" + file + ")", session.ReadFile("mscp", file.c_str(), c.content));
        info.certificates.push_back(c);
    }
    info.msrootsStatus = Note(info, "CardReadFile(mscp/msroots)",
                              session.ReadFile("mscp", "msroots", info.msroots), SCARD_E_FILE_NOT_FOUND);
    return info;
}

bool AllocationsClean(const AllocationStats& stats) {
    return stats.live == 0 && stats.badFrees == 0;
}

std::string HostHeading(const HostReport& host) {
    return "Reader: " + host.reader + "\nModule: " + host.module + "\n";
}

void WriteHostHeading(JsonWriter& json, const HostReport& host) {
    json.String("command", host.command)
        .String("module", host.module)
        .String("reader", host.reader)
        .String("acquire_context", HexStatus(host.acquireStatus));
}

std::string HostText(const HostReport& host) {
    std::string text = "\nSummary\n";
    const AllocationStats& a = host.allocations;
    text +=
        Line("  allocations:", std::to_string(a.allocations) + " (" + std::to_string(a.bytes) + " bytes), " +
                                   std::to_string(a.live) + " left unfreed (" + std::to_string(a.liveBytes) +
                                   " bytes), " + std::to_string(a.badFrees) + " bad frees");
    text += Line("  CardAcquireContext:", RunText(host.acquire));
    for (size_t i = 0; i < host.runs.size(); ++i) {
        const std::string label = "  run " + std::to_string(i + 1) + ":";
        text += Line(label.c_str(), RunText(host.runs[i]));
    }
    if (host.deleteStatus != SCARD_S_SUCCESS)
        text += Line("  CardDeleteContext:", Outcome(host.deleteStatus));
    return text;
}

std::string ScInfoText(const ScInfo& info, const HostReport& host) {
    std::string text;
    text += Line("Reader:", host.reader);
    text += Line("Module:", host.module);
    text += Line("ATR:", HexBytes(host.atr, " "));
    text +=
        Line("Card identifier:", info.cardidStatus == 0 ? HexBytes(info.cardid) : Outcome(info.cardidStatus));
    if (const std::optional<CardCf> cf = ParseCardCf(info.cardcf)) {
        text += Line("Cache file (cardcf):", "version " + std::to_string(cf->version) + ", PIN freshness " +
                                                 std::to_string(cf->pins) + ", containers freshness " +
                                                 std::to_string(cf->containers) + ", files freshness " +
                                                 std::to_string(cf->files));
    } else {
        text += Line("Cache file (cardcf):",
                     info.cardcfStatus == 0 ? HexBytes(info.cardcf, " ") : Outcome(info.cardcfStatus));
    }
    text += Line("Capabilities:", info.capabilitiesStatus != 0
                                      ? Outcome(info.capabilitiesStatus)
                                      : "certificate compression " +
                                            YesNo(info.capabilities.fCertificateCompression) +
                                            ", key generation " + YesNo(info.capabilities.fKeyGen));
    text += Line("Free space:", info.freeSpaceStatus != 0
                                    ? Outcome(info.freeSpaceStatus)
                                    : std::to_string(info.freeSpace.dwBytesAvailable) + " bytes, " +
                                          std::to_string(info.freeSpace.dwKeyContainersAvailable) +
                                          " containers in use of " +
                                          std::to_string(info.freeSpace.dwMaxKeyContainers));
    text += "Key sizes (bits)\n";
    for (const KeySizesReport& k : info.keySizes) {
        char row[128];
        (void)std::snprintf(row, sizeof row, "  %-16s", KeySpecName(k.keySpec));
        text += row;
        if (k.status != SCARD_S_SUCCESS) {
            text += Outcome(k.status) + "\n";
            continue;
        }
        (void)std::snprintf(row, sizeof row, "minimum %4u  default %4u  maximum %4u  step %4u\n",
                            static_cast<unsigned>(k.sizes.dwMinimumBitlen),
                            static_cast<unsigned>(k.sizes.dwDefaultBitlen),
                            static_cast<unsigned>(k.sizes.dwMaximumBitlen),
                            static_cast<unsigned>(k.sizes.dwIncrementalBitlen));
        text += row;
    }
    text += "Containers (mscp/cmapfile)\n";
    if (info.cmapfileStatus != SCARD_S_SUCCESS) text += "  " + Outcome(info.cmapfileStatus) + "\n";
    if (info.cmapfileStatus == SCARD_S_SUCCESS && info.containers.empty()) text += "  none\n";
    for (const ContainerReport& c : info.containers) text += ContainerText(c);
    std::string files;
    for (const std::string& f : info.mscpFiles) files += (files.empty() ? "" : " ") + f;
    text += Line("Files in mscp:", info.enumStatus == 0 ? files : Outcome(info.enumStatus));
    text += "Certificates\n";
    if (info.certificates.empty()) text += "  none\n";
    for (const CertificateReport& c : info.certificates) text += CertificateText(c);
    std::string roots = "absent";
    if (info.msrootsStatus == SCARD_S_SUCCESS) {
        const std::optional<size_t> count = Pkcs7CertificateCount(info.msroots);
        roots = std::to_string(info.msroots.size()) + " bytes" +
                (count ? ", " + std::to_string(*count) + " certificate(s)" : ", not a certificate store");
    } else if (info.msrootsStatus != SCARD_E_FILE_NOT_FOUND) {
        roots = Outcome(info.msrootsStatus);
    }
    text += Line("Root store (msroots):", roots);
    text += HostText(host);
    text += Line("  failed calls:", std::to_string(info.failures.size()));
    for (const CallOutcome& f : info.failures) text += "    " + f.call + ": " + StatusText(f.status) + "\n";
    return text;
}

void WriteHostJson(JsonWriter& json, const HostReport& host) {
    const AllocationStats& a = host.allocations;
    json.BeginObject("allocations")
        .Number("total", a.allocations)
        .Number("bytes", a.bytes)
        .Number("unfreed", a.live)
        .Number("unfreed_bytes", a.liveBytes)
        .Number("bad_frees", a.badFrees)
        .EndObject();
    WriteRunJson(json, "acquire", host.acquire);
    json.BeginArray("runs");
    for (const RunStats& r : host.runs) WriteRunJson(json, nullptr, r);
    json.EndArray();
    json.String("delete_context", HexStatus(host.deleteStatus));
}

std::string ScInfoJson(const ScInfo& info, const HostReport& host) {
    JsonWriter json;
    json.BeginObject();
    json.String("command", host.command).String("module", host.module).String("reader", host.reader);
    json.String("atr", HexBytes(host.atr)).String("acquire_context", HexStatus(host.acquireStatus));
    json.BeginObject("cardid")
        .String("status", HexStatus(info.cardidStatus))
        .String("hex", HexBytes(info.cardid));
    json.Number("size", info.cardid.size()).EndObject();

    json.BeginObject("cardcf")
        .String("status", HexStatus(info.cardcfStatus))
        .String("hex", HexBytes(info.cardcf));
    if (const std::optional<CardCf> cf = ParseCardCf(info.cardcf)) {
        json.Number("version", cf->version)
            .Number("pins_freshness", cf->pins)
            .Number("containers_freshness", cf->containers)
            .Number("files_freshness", cf->files);
    }
    json.EndObject();

    json.BeginObject("capabilities")
        .String("status", HexStatus(info.capabilitiesStatus))
        .Number("version", info.capabilities.dwVersion)
        .Bool("certificate_compression", info.capabilities.fCertificateCompression != 0)
        .Bool("key_generation", info.capabilities.fKeyGen != 0)
        .EndObject();
    json.BeginObject("free_space")
        .String("status", HexStatus(info.freeSpaceStatus))
        .Number("bytes_available", info.freeSpace.dwBytesAvailable)
        .Number("containers_available", info.freeSpace.dwKeyContainersAvailable)
        .Number("max_containers", info.freeSpace.dwMaxKeyContainers)
        .EndObject();

    json.BeginArray("key_sizes");
    for (const KeySizesReport& k : info.keySizes) {
        json.BeginObject()
            .Number("key_spec", k.keySpec)
            .String("name", KeySpecName(k.keySpec))
            .String("status", HexStatus(k.status))
            .Number("minimum", k.sizes.dwMinimumBitlen)
            .Number("default", k.sizes.dwDefaultBitlen)
            .Number("maximum", k.sizes.dwMaximumBitlen)
            .Number("increment", k.sizes.dwIncrementalBitlen)
            .EndObject();
    }
    json.EndArray();

    json.BeginObject("containers").String("status", HexStatus(info.cmapfileStatus)).BeginArray("list");
    for (const ContainerReport& c : info.containers) {
        json.BeginObject()
            .Number("index", c.index)
            .String("name", c.name)
            .Number("flags", c.flags)
            .Number("signature_bits", c.signatureBits)
            .Number("key_exchange_bits", c.keyExchangeBits);
        if (c.infoStatus) {
            json.String("info_status", HexStatus(*c.infoStatus))
                .Number("signature_public_key_bytes", c.keys.signature.size())
                .Number("key_exchange_public_key_bytes", c.keys.keyExchange.size());
        } else {
            json.Null("info_status");
        }
        json.EndObject();
    }
    json.EndArray().EndObject();

    json.BeginObject("files").String("status", HexStatus(info.enumStatus)).BeginArray("mscp");
    for (const std::string& f : info.mscpFiles) json.String(f);
    json.EndArray().EndObject();

    json.BeginArray("certificates");
    for (const CertificateReport& c : info.certificates) {
        json.BeginObject()
            .String("file", c.file)
            .String("status", HexStatus(c.status))
            .Number("size", c.content.size());
        json.String("sha1", c.status == SCARD_S_SUCCESS ? Sha1Hex(c.content) : "");
        const std::optional<std::string> subject = CertificateSubject(c.content);
        if (subject) {
            json.String("subject", *subject);
        } else {
            json.Null("subject");
        }
        json.EndObject();
    }
    json.EndArray();

    json.BeginObject("msroots")
        .String("status", HexStatus(info.msrootsStatus))
        .Bool("present", info.msrootsStatus == SCARD_S_SUCCESS)
        .Number("size", info.msroots.size());
    const std::optional<size_t> roots = Pkcs7CertificateCount(info.msroots);
    if (roots) {
        json.Number("certificates", *roots);
    } else {
        json.Null("certificates");
    }
    json.EndObject();

    json.BeginObject("summary");
    WriteHostJson(json, host);
    json.BeginArray("failures");
    for (const CallOutcome& f : info.failures)
        json.BeginObject().String("call", f.call).String("status", HexStatus(f.status)).EndObject();
    json.EndArray().EndObject();
    json.EndObject();
    return json.Text();
}

}  // namespace mdhost
