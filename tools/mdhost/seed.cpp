#include "mdhost/seed.h"

#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

#include "mdhost/card_objects.h"
#include "mdhost/status_names.h"
#include "mdhost/x509.h"

namespace mdhost {

namespace {

constexpr WORD kRsaBits = 2048;
constexpr const char* kOrganisation = "Helix Demo";

struct ContainerPlan {
    unsigned index;
    bool keyExchange;
    const char* commonName;
};

const ContainerPlan kPlan[] = {
    {0, true, "Helix Demo Key Exchange"},
    {1, false, "Helix Demo Signature"},
};

const CARD_CACHE_FILE_FORMAT kCardCf{0, 0, 2, 4};

using Path = std::vector<WORD>;

// Key index of a container's key: the container number, 0x20 above it for signature keys.
uint8_t KeyIndex(const ContainerPlan& plan) {
    return static_cast<uint8_t>(plan.keyExchange ? plan.index : plan.index + 0x20);
}

std::string CertificateFile(const ContainerPlan& plan) {
    char name[8];
    std::snprintf(name, sizeof name, "%s%02x", plan.keyExchange ? "kxc" : "ksc", plan.index);
    return name;
}

// A container name as Windows makes them: a GUID in braces, upper case.
std::string NewContainerName() {
    uint8_t g[16];
    if (RAND_bytes(g, sizeof g) != 1) throw std::runtime_error("no random bytes for a container name");
    char name[40];
    std::snprintf(name, sizeof name, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
    return name;
}

class COwner {
public:
    COwner(CEmbeddedReader& reader, const std::string& pin)
        : m_reader(reader), m_pin(pin.begin(), pin.end()) {}

    void PutFile(const Path& path, const Bytes& data, const char* what) {
        Check(m_reader.Api().putFile(m_reader.Card(), m_pin.data(), static_cast<DWORD>(m_pin.size()),
                                     path.data(), static_cast<DWORD>(path.size()), data.data(),
                                     static_cast<DWORD>(data.size())),
              what);
    }

    Key GenerateRsaKey(uint8_t keyIndex, BYTE usage) {
        Bytes modulus(kRsaBits / 8);
        Bytes exponent(8);
        DWORD modulusLength = static_cast<DWORD>(modulus.size());
        DWORD exponentLength = static_cast<DWORD>(exponent.size());
        Check(m_reader.Api().generateRsaKey(m_reader.Card(), m_pin.data(), static_cast<DWORD>(m_pin.size()),
                                            keyIndex, kRsaBits, usage, modulus.data(), &modulusLength,
                                            exponent.data(), &exponentLength),
              "generate a key pair on the card");
        modulus.resize(modulusLength);
        exponent.resize(exponentLength);
        return RsaPublicKey(modulus, exponent);
    }

private:
    void Check(DWORD rv, const char* what) const {
        if (rv != SCARD_S_SUCCESS)
            throw std::runtime_error(std::string(what) + ": " + StatusText(rv) + " (" + m_reader.LastError() +
                                     ")");
    }

    CEmbeddedReader& m_reader;
    Bytes m_pin;
};

}  // namespace

SeedReport SeedDemoCard(CEmbeddedReader& reader, const std::string& pin) {
    COwner owner(reader, pin);
    const Key authorityKey = MakeEcKey();
    CertificateRequest root;
    root.commonName = "Helix Demo Root";
    root.organisation = kOrganisation;
    root.authority = true;
    const Bytes rootCertificate = IssueCertificate(root, authorityKey.get(), {}, authorityKey.get());
    const Bytes trailer = FreshnessTrailer(kCardCf);

    SeedReport report;
    std::vector<CONTAINER_MAP_RECORD> records;
    for (const ContainerPlan& plan : kPlan) {
        SeededContainer seeded;
        seeded.index = plan.index;
        seeded.name = NewContainerName();
        seeded.keySpec = plan.keyExchange ? "AT_KEYEXCHANGE" : "AT_SIGNATURE";
        seeded.certificateFile = CertificateFile(plan);
        const uint8_t keyIndex = KeyIndex(plan);

        const Key key = owner.GenerateRsaKey(keyIndex, plan.keyExchange ? 3 : 2);
        owner.PutFile({0x3F00, 0x3000, 0x3002, static_cast<WORD>(0x0200 | keyIndex)},
                      PrivateKeyRecord(keyIndex, seeded.name, plan.keyExchange, trailer),
                      "write a private key file");

        CertificateRequest request;
        request.commonName = plan.commonName;
        request.organisation = kOrganisation;
        request.serial = 2 + plan.index;
        request.keyExchange = plan.keyExchange;
        const Bytes certificate = IssueCertificate(request, key.get(), rootCertificate, authorityKey.get());
        owner.PutFile({0x3F00, 0x3000, 0x3001, static_cast<WORD>(0x8400 | keyIndex)},
                      CertificateObject(keyIndex, seeded.name, certificate, trailer),
                      "write a certificate object");
        seeded.certificateSha1 = Sha1Hex(certificate);
        seeded.subject = CertificateSubject(certificate).value_or("");

        const BYTE flags =
            CONTAINER_MAP_VALID_CONTAINER | (plan.index == 0 ? CONTAINER_MAP_DEFAULT_CONTAINER : 0);
        records.push_back(ContainerRecord(seeded.name, flags, plan.keyExchange ? 0 : kRsaBits,
                                          plan.keyExchange ? kRsaBits : 0));
        report.containers.push_back(seeded);
    }
    owner.PutFile({0x3F00, 0x3000, 0x3001, 0x867F}, ContainerMapFile(records, trailer),
                  "write the container map");
    const Bytes roots = Pkcs7Of({rootCertificate});
    owner.PutFile({0x3F00, 0x3000, 0x3003, 0x3005, 0x4004}, roots, "write the root store");
    report.cardcf = CardCfFile(kCardCf);
    owner.PutFile({0x3F00, 0x3000, 0x3003, 0x4001}, report.cardcf, "write the cache file");
    report.msrootsSize = roots.size();
    report.rootSha1 = Sha1Hex(rootCertificate);
    return report;
}

std::string SeedText(const SeedReport& report, const HostReport& host) {
    std::string text = "Seeded the embedded card (" + host.module + ")\n";
    for (const SeededContainer& c : report.containers) {
        text += "  container " + std::to_string(c.index) + " " + c.name + ": RSA 2048 " + c.keySpec + ", " +
                c.certificateFile + " SHA-1 " + c.certificateSha1 + "\n      subject: " + c.subject + "\n";
    }
    text +=
        "  msroots: " + std::to_string(report.msrootsSize) + " bytes, root SHA-1 " + report.rootSha1 + "\n";
    text += "  cardcf: " + HexBytes(report.cardcf, " ") + "\n";
    return text;
}

std::string SeedJson(const SeedReport& report, const HostReport& host) {
    JsonWriter json;
    json.BeginObject().String("command", host.command).String("module", host.module).BeginArray("containers");
    for (const SeededContainer& c : report.containers) {
        json.BeginObject()
            .Number("index", c.index)
            .String("name", c.name)
            .String("key_spec", c.keySpec)
            .String("certificate_file", c.certificateFile)
            .String("sha1", c.certificateSha1)
            .String("subject", c.subject)
            .EndObject();
    }
    json.EndArray()
        .Number("msroots_size", report.msrootsSize)
        .String("root_sha1", report.rootSha1)
        .String("cardcf", HexBytes(report.cardcf))
        .EndObject();
    return json.Text();
}

}  // namespace mdhost
