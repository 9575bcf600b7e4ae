#include "mdhost/seed.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "mdhost/card_objects.h"
#include "mdhost/key_checks.h"
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

constexpr char kMscp[] = "mscp";

using Path = std::vector<WORD>;

std::string CertificateFile(const ContainerPlan& plan) {
    char name[8];
    (void)std::snprintf(name, sizeof name, "%s%02x", plan.keyExchange ? "kxc" : "ksc", plan.index);
    return name;
}

void Require(DWORD rv, const std::string& call) {
    if (rv != SCARD_S_SUCCESS) throw std::runtime_error(call + ": " + StatusText(rv));
}

// The files of mscp through the module, each written whole.
class CMscpWriter {
public:
    explicit CMscpWriter(CMinidriverSession& session) : m_session(session) {
        Require(m_session.EnumFiles(kMscp, m_present), "CardEnumFiles mscp");
    }

    // The module replaces a certificate object whole, so only a missing one is created first.
    void Write(const std::string& name, const Bytes& content) {
        if (!Present(name)) Create(name, content.size());
        Require(m_session.WriteFile(kMscp, name.c_str(), content), "CardWriteFile mscp/" + name);
        ++m_written;
    }

    // A file the module writes in place, at the size it was created with: made again to fit.
    void Rewrite(const std::string& name, const Bytes& content) {
        if (Present(name)) Require(m_session.DeleteFile(kMscp, name.c_str()), "CardDeleteFile mscp/" + name);
        Create(name, content.size());
        Require(m_session.WriteFile(kMscp, name.c_str(), content), "CardWriteFile mscp/" + name);
        ++m_written;
    }

    // A file that is about to be written anew goes first: a certificate object torn by an earlier
    // run would otherwise stop the module from reading its container's key.
    void Remove(const std::string& name) {
        if (!Present(name)) return;
        Require(m_session.DeleteFile(kMscp, name.c_str()), "CardDeleteFile mscp/" + name);
        m_present.erase(std::find(m_present.begin(), m_present.end(), name));
    }

    unsigned Written() const { return m_written; }

private:
    bool Present(const std::string& name) const {
        return std::find(m_present.begin(), m_present.end(), name) != m_present.end();
    }
    void Create(const std::string& name, size_t size) {
        Require(m_session.CreateFile(kMscp, name.c_str(), static_cast<DWORD>(size)),
                "CardCreateFile mscp/" + name);
    }

    CMinidriverSession& m_session;
    std::vector<std::string> m_present;
    unsigned m_written = 0;
};

}  // namespace

SeedReport SeedDemoCard(CMinidriverSession& session, const std::string& pin) {
    DWORD attempts = 0;
    const DWORD authenticated = session.AuthenticateUser(Bytes(pin.begin(), pin.end()), attempts);
    if (authenticated == SCARD_W_WRONG_CHV)
        throw std::runtime_error("CardAuthenticatePin user: the PIN is wrong, " + std::to_string(attempts) +
                                 " attempts remaining");
    Require(authenticated, "CardAuthenticatePin user");
    Bytes cardcfRecord;
    Require(session.ReadFile(nullptr, "cardcf", cardcfRecord), "CardReadFile cardcf");
    std::optional<CARD_CACHE_FILE_FORMAT> cardcf = ParseCardCfRecord(cardcfRecord);
    if (!cardcf) throw std::runtime_error("CardReadFile cardcf: not a 6-byte record");
    CMscpWriter mscp(session);

    const Key authorityKey = MakeKey("P-256", 0);
    CertificateRequest root;
    root.commonName = "Helix Demo Root";
    root.organisation = kOrganisation;
    root.authority = true;
    const Bytes rootCertificate = IssueCertificate(root, authorityKey.get(), {}, authorityKey.get());

    SeedReport report;
    Bytes cmapfile;
    for (const ContainerPlan& plan : kPlan) {
        SeededContainer seeded;
        seeded.index = plan.index;
        seeded.name = NewContainerName();
        seeded.keySpec = plan.keyExchange ? "AT_KEYEXCHANGE" : "AT_SIGNATURE";
        seeded.certificateFile = CertificateFile(plan);
        const BYTE flags =
            CONTAINER_MAP_VALID_CONTAINER | (plan.index == 0 ? CONTAINER_MAP_DEFAULT_CONTAINER : 0);
        const Bytes record = ContainerRecordBytes(ContainerRecord(
            seeded.name, flags, plan.keyExchange ? 0 : kRsaBits, plan.keyExchange ? kRsaBits : 0));
        cmapfile.insert(cmapfile.end(), record.begin(), record.end());
        report.containers.push_back(seeded);
    }
    for (const SeededContainer& seeded : report.containers) mscp.Remove(seeded.certificateFile);
    // The map first, so that the module names each key's file after its container's record.
    mscp.Write("cmapfile", cmapfile);

    std::vector<Bytes> certificates;
    for (const ContainerPlan& plan : kPlan) {
        SeededContainer& seeded = report.containers[plan.index];
        const auto index = static_cast<BYTE>(plan.index);
        const std::string where = " " + std::to_string(plan.index);
        Require(session.CreateContainer(index, CARD_CREATE_CONTAINER_KEY_GEN,
                                        plan.keyExchange ? AT_KEYEXCHANGE : AT_SIGNATURE, kRsaBits),
                "CardCreateContainer" + where);
        ContainerKeys keys;
        Require(session.GetContainerInfo(index, keys), "CardGetContainerInfo" + where);
        std::optional<Key> key = KeyFromBlob(plan.keyExchange ? keys.keyExchange : keys.signature);
        if (!key) throw std::runtime_error("CardGetContainerInfo" + where + ": no RSA public key");

        CertificateRequest request;
        request.commonName = plan.commonName;
        request.organisation = kOrganisation;
        request.serial = 2 + plan.index;
        request.keyExchange = plan.keyExchange;
        certificates.push_back(IssueCertificate(request, key->get(), rootCertificate, authorityKey.get()));
        seeded.certificateSha1 = Sha1Hex(certificates.back());
        seeded.subject = CertificateSubject(certificates.back()).value_or("");
    }

    // The card reports certificate compression: the certificates go over as DER, as issued.
    for (size_t i = 0; i < certificates.size(); ++i)
        mscp.Write(report.containers[i].certificateFile, certificates[i]);
    const Bytes roots = Pkcs7Of({rootCertificate});
    mscp.Rewrite("msroots", roots);

    cardcf->wContainersFreshness = static_cast<WORD>(cardcf->wContainersFreshness + std::size(kPlan));
    cardcf->wFilesFreshness = static_cast<WORD>(cardcf->wFilesFreshness + mscp.Written());
    report.cardcf = CardCfRecord(*cardcf);
    Require(session.WriteFile(nullptr, "cardcf", report.cardcf), "CardWriteFile cardcf");
    report.msrootsSize = roots.size();
    report.rootSha1 = Sha1Hex(rootCertificate);
    return report;
}

std::string SeedText(const SeedReport& report, const HostReport& host) {
    std::string text = HostHeading(host) + "Seeded the card:\n";
    for (const SeededContainer& c : report.containers) {
        text += "  container " + std::to_string(c.index) + " " + c.name + ": RSA 2048 " + c.keySpec + ", " +
                c.certificateFile + " SHA-1 " + c.certificateSha1 + "\n      subject: " + c.subject + "\n";
    }
    text +=
        "  msroots: " + std::to_string(report.msrootsSize) + " bytes, root SHA-1 " + report.rootSha1 + "\n";
    text += "  cardcf: " + HexBytes(report.cardcf, " ") + "\n";
    return text + HostText(host);
}

std::string SeedJson(const SeedReport& report, const HostReport& host) {
    JsonWriter json;
    json.BeginObject();
    WriteHostHeading(json, host);
    json.BeginArray("containers");
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
        .BeginObject("summary");
    WriteHostJson(json, host);
    json.EndObject().EndObject();
    return json.Text();
}

}  // namespace mdhost
