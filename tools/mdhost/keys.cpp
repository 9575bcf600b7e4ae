#include "mdhost/keys.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "mdhost/card_objects.h"
#include "mdhost/hex.h"
#include "mdhost/key_checks.h"
#include "mdhost/x509.h"

namespace mdhost {

namespace {

constexpr char kMscp[] = "mscp";
constexpr size_t kRecordSize = 86;

struct KeyKind {
    const char* name;
    DWORD keySpec;
    DWORD bits;
    const char* curve;  // null for RSA
};

const KeyKind kKinds[] = {
    {"rsa1024", AT_KEYEXCHANGE, 1024, nullptr}, {"rsa1536", AT_KEYEXCHANGE, 1536, nullptr},
    {"rsa2048", AT_KEYEXCHANGE, 2048, nullptr}, {"rsa3072", AT_KEYEXCHANGE, 3072, nullptr},
    {"rsa4096", AT_KEYEXCHANGE, 4096, nullptr}, {"p256", AT_ECDSA_P256, 256, "P-256"},
    {"p384", AT_ECDSA_P384, 384, "P-384"},      {"p521", AT_ECDSA_P521, 521, "P-521"},
    {"ecdh-p256", AT_ECDHE_P256, 256, "P-256"}, {"ecdh-p384", AT_ECDHE_P384, 384, "P-384"},
    {"ecdh-p521", AT_ECDHE_P521, 521, "P-521"},
};

const KeyKind* KindByName(const std::string& name) {
    const auto* kind =
        std::find_if(std::begin(kKinds), std::end(kKinds), [&](const KeyKind& k) { return name == k.name; });
    return kind == std::end(kKinds) ? nullptr : kind;
}

bool IsSignatureSpec(DWORD keySpec) {
    return keySpec == AT_SIGNATURE || (keySpec >= AT_ECDSA_P256 && keySpec <= AT_ECDSA_P521);
}

// One record of the container map as the host wrote it.
struct MapEntry {
    BYTE index = 0;
    BYTE flags = 0;
    WORD signatureBits = 0;
    WORD keyExchangeBits = 0;
};

std::vector<MapEntry> InUse(const Bytes& cmapfile) {
    std::vector<MapEntry> entries;
    for (size_t at = 0; at + kRecordSize <= cmapfile.size() && entries.size() < 0x100; at += kRecordSize) {
        MapEntry e;
        e.index = static_cast<BYTE>(at / kRecordSize);
        e.flags = cmapfile[at + 80];
        e.signatureBits = static_cast<WORD>(cmapfile[at + 82] | cmapfile[at + 83] << 8);
        e.keyExchangeBits = static_cast<WORD>(cmapfile[at + 84] | cmapfile[at + 85] << 8);
        if ((e.flags & CONTAINER_MAP_VALID_CONTAINER) != 0) entries.push_back(e);
    }
    return entries;
}

std::string CertificateFile(BYTE index, bool signature) {
    char name[8];
    (void)std::snprintf(name, sizeof name, "%s%02x", signature ? "ksc" : "kxc", index);
    return name;
}

// A key the scenario checks against: the container's key spec as its public blob tells it.
struct ContainerKey {
    BYTE index = 0;
    DWORD keySpec = 0;
    Key key;
    size_t bytes = 0;  // RSA modulus or EC coordinate length
};

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The key spec a public blob names: the RSA blob's algorithm, or the EC blob's magic.
DWORD SpecOfBlob(const Bytes& blob) {
    if (blob.size() >= 20 && blob[0] == PUBLICKEYBLOB)
        return Le32(blob, 4) == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
    if (blob.size() < 8) return 0;
    const char kind = static_cast<char>(blob[2]);
    const int curve = (blob[3] - '1') / 2;  // "1", "3", "5"
    if (curve < 0 || curve > 2) return 0;
    return static_cast<DWORD>((kind == 'S' ? AT_ECDSA_P256 : AT_ECDHE_P256) + curve);
}

size_t KeyBytes(const Bytes& blob) {
    if (blob.size() >= 20 && blob[0] == PUBLICKEYBLOB) return blob.size() - 20;
    return blob.size() >= 8 ? Le32(blob, 4) : 0;
}

std::string Describe(const ContainerKey& k) {
    if (k.keySpec == AT_KEYEXCHANGE || k.keySpec == AT_SIGNATURE)
        return "RSA " + std::to_string(8 * k.bytes) + "-bit";
    return std::string(k.bytes == 32 ? "P-256" : k.bytes == 48 ? "P-384" : "P-521");
}

class CSteps {
public:
    explicit CSteps(StepsReport& report) : m_report(report) {}
    DWORD operator()(const std::string& call, DWORD status, DWORD expected, const std::string& shown = "",
                     bool agreed = true) {
        m_report.steps.push_back({call, status, expected, shown, agreed});
        return status;
    }
    bool Good() const {
        return std::all_of(m_report.steps.begin(), m_report.steps.end(),
                           [](const Step& s) { return s.status == s.expected && s.agreed; });
    }

private:
    StepsReport& m_report;
};

// The container's public key through CardGetContainerInfo.
std::optional<ContainerKey> ReadKey(CMinidriverSession& session, CSteps& step, BYTE index, bool signature) {
    ContainerKeys keys;
    const DWORD rv = session.GetContainerInfo(index, keys);
    const Bytes& blob = signature ? keys.signature : keys.keyExchange;
    std::optional<Key> key = rv == SCARD_S_SUCCESS ? KeyFromBlob(blob) : std::nullopt;
    ContainerKey k;
    k.index = index;
    k.keySpec = SpecOfBlob(blob);
    k.bytes = KeyBytes(blob);
    const bool usable = key.has_value() && k.keySpec != 0;
    step("CardGetContainerInfo " + std::to_string(index), rv, SCARD_S_SUCCESS,
         usable ? Describe(k) + " public key, " + std::to_string(blob.size()) + "-byte blob"
                : "no usable public key",
         rv != SCARD_S_SUCCESS || usable);
    if (!usable) return std::nullopt;
    k.key = std::move(*key);
    return k;
}

void PutLe32(Bytes& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A key made by mdhost, with the blob CardCreateContainer imports: a PRIVATEKEYBLOB for RSA, a
// BCRYPT_ECCPRIVATE_BLOB for EC.
std::pair<Key, Bytes> MadeKey(const KeyKind& kind) {
    Key key = MakeKey(kind.curve, kind.bits);
    Bytes blob;
    if (kind.curve != nullptr) {
        const size_t n = (kind.bits + 7) / 8;
        PutLe32(blob, 0x32534345);  // "ECS2"
        PutLe32(blob, static_cast<uint32_t>(n));
        for (const KeyPart part : {KeyPart::EcX, KeyPart::EcY, KeyPart::EcD}) {
            const Bytes value = KeyNumber(key.get(), part, n, false);
            blob.insert(blob.end(), value.begin(), value.end());
        }
        return {std::move(key), blob};
    }
    blob = {PRIVATEKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0, 0};
    PutLe32(blob, 0x32415352);  // "RSA2"
    PutLe32(blob, kind.bits);
    const auto put = [&](KeyPart part, size_t size) {
        const Bytes value = KeyNumber(key.get(), part, size, true);
        blob.insert(blob.end(), value.begin(), value.end());
    };
    put(KeyPart::RsaE, 4);
    put(KeyPart::RsaN, kind.bits / 8);
    for (const KeyPart part :
         {KeyPart::RsaP, KeyPart::RsaQ, KeyPart::RsaDp, KeyPart::RsaDq, KeyPart::RsaQInv})
        put(part, kind.bits / 16);
    put(KeyPart::RsaD, kind.bits / 8);
    return {std::move(key), blob};
}

// cardcf with its counters moved on, as the Windows stack does after changing containers and files.
void BumpCardcf(CMinidriverSession& session, CSteps& step, unsigned containers, unsigned files) {
    Bytes record;
    const DWORD rv = session.ReadFile(nullptr, "cardcf", record);
    const DWORD read = step("CardReadFile cardcf", rv, SCARD_S_SUCCESS, HexBytes(record));
    std::optional<CARD_CACHE_FILE_FORMAT> cardcf = ParseCardCfRecord(record);
    if (read != SCARD_S_SUCCESS || !cardcf) return;
    cardcf->wContainersFreshness = static_cast<WORD>(cardcf->wContainersFreshness + containers);
    cardcf->wFilesFreshness = static_cast<WORD>(cardcf->wFilesFreshness + files);
    const Bytes next = CardCfRecord(*cardcf);
    step("CardWriteFile cardcf", session.WriteFile(nullptr, "cardcf", next), SCARD_S_SUCCESS, HexBytes(next));
}

DWORD ReadMap(CMinidriverSession& session, CSteps& step, Bytes& cmapfile) {
    const DWORD rv = session.ReadFile(kMscp, "cmapfile", cmapfile);
    return step("CardReadFile mscp/cmapfile", rv, SCARD_S_SUCCESS,
                std::to_string(InUse(cmapfile).size()) + " containers in " + std::to_string(cmapfile.size()) +
                    " bytes");
}

bool Logon(CMinidriverSession& session, CSteps& step, const std::string& pin) {
    DWORD attempts = 0;
    return step("CardAuthenticatePin user", session.AuthenticateUser(Bytes(pin.begin(), pin.end()), attempts),
                SCARD_S_SUCCESS) == SCARD_S_SUCCESS;
}

// Creates one container per key kind in the first free slots of the map, with its certificate.
void Enroll(CMinidriverSession& session, CSteps& step, const KeyOptions& options) {
    Bytes cmapfile;
    if (ReadMap(session, step, cmapfile) != SCARD_S_SUCCESS) return;
    std::vector<std::string> present;
    step("CardEnumFiles mscp", session.EnumFiles(kMscp, present), SCARD_S_SUCCESS);
    const Key authorityKey = MakeKey("P-256", 0);
    CertificateRequest root;
    root.commonName = "mdhost Enrollment Root";
    root.organisation = "Helix Demo";
    root.authority = true;
    const Bytes rootCertificate = IssueCertificate(root, authorityKey.get(), {}, authorityKey.get());

    unsigned containers = 0;
    unsigned files = 0;
    for (const std::string& name : options.keys) {
        const KeyKind& kind = *KindByName(name);
        size_t slot = 0;
        while (slot * kRecordSize + kRecordSize <= cmapfile.size() &&
               (cmapfile[slot * kRecordSize + 80] & CONTAINER_MAP_VALID_CONTAINER) != 0)
            ++slot;
        if (slot > 0xFF) return;
        const auto index = static_cast<BYTE>(slot);
        const bool signature = IsSignatureSpec(kind.keySpec);
        std::optional<std::pair<Key, Bytes>> made;
        if (options.import) made = MadeKey(kind);
        const std::string how =
            options.import ? "a key made by mdhost imported" : "a key generated on the card";
        const DWORD created =
            step("CardCreateContainer " + std::to_string(index) + ", " + kind.name + ", " + how,
                 session.CreateContainer(
                     index, options.import ? CARD_CREATE_CONTAINER_KEY_IMPORT : CARD_CREATE_CONTAINER_KEY_GEN,
                     kind.keySpec, kind.bits, made ? made->second : Bytes{}),
                 SCARD_S_SUCCESS);
        if (created != SCARD_S_SUCCESS) return;
        std::optional<ContainerKey> key = ReadKey(session, step, index, signature);
        if (!key) return;
        if (made && !SamePublicKey(made->first.get(), key->key.get()))
            step("the imported key is the container's", SCARD_S_SUCCESS, SCARD_S_SUCCESS, "it is not", false);

        const BYTE flags = static_cast<BYTE>(CONTAINER_MAP_VALID_CONTAINER |
                                             (InUse(cmapfile).empty() ? CONTAINER_MAP_DEFAULT_CONTAINER : 0));
        const auto bits = static_cast<WORD>(kind.bits);
        const Bytes record = ContainerRecordBytes(
            ContainerRecord(NewContainerName(), flags, signature ? bits : 0, signature ? 0 : bits));
        if (cmapfile.size() < (slot + 1) * kRecordSize) cmapfile.resize((slot + 1) * kRecordSize, 0);
        std::copy(record.begin(), record.end(),
                  cmapfile.begin() + static_cast<std::ptrdiff_t>(slot * kRecordSize));
        step("CardWriteFile mscp/cmapfile", session.WriteFile(kMscp, "cmapfile", cmapfile), SCARD_S_SUCCESS);

        CertificateRequest request;
        request.commonName = std::string("mdhost ") + kind.name;
        request.organisation = "Helix Demo";
        request.serial = 0x100 + index;
        request.keyExchange = !signature;
        const Bytes certificate =
            IssueCertificate(request, key->key.get(), rootCertificate, authorityKey.get());
        const std::string file = CertificateFile(index, signature);
        if (std::find(present.begin(), present.end(), file) == present.end())
            step("CardCreateFile mscp/" + file,
                 session.CreateFile(kMscp, file.c_str(), static_cast<DWORD>(certificate.size())),
                 SCARD_S_SUCCESS);
        step("CardWriteFile mscp/" + file, session.WriteFile(kMscp, file.c_str(), certificate),
             SCARD_S_SUCCESS, "SHA-1 " + Sha1Hex(certificate));
        ++containers;
        ++files;
    }
    BumpCardcf(session, step, containers, files);
}

// The containers of the map with their keys; a card without any gets one enrolled first.
std::vector<ContainerKey> Containers(CMinidriverSession& session, CSteps& step, const KeyOptions& options) {
    Bytes cmapfile;
    ReadMap(session, step, cmapfile);
    if (InUse(cmapfile).empty()) {
        Enroll(session, step, options);
        ReadMap(session, step, cmapfile);
    }
    std::vector<ContainerKey> keys;
    for (const MapEntry& e : InUse(cmapfile)) {
        std::optional<ContainerKey> key = ReadKey(session, step, e.index, e.signatureBits != 0);
        if (key) keys.push_back(std::move(*key));
    }
    return keys;
}

struct WideHash {
    const char* name;
    LPCWSTR wide;
};
const WideHash kWideHashes[] = {
    {"SHA1", HELIX_WTEXT("SHA1")},
    {"SHA256", HELIX_WTEXT("SHA256")},
    {"SHA384", HELIX_WTEXT("SHA384")},
    {"SHA512", HELIX_WTEXT("SHA512")},
};

// The hash that fits an EC key's size, as the Windows stack pairs them.
const HashName& EcHash(size_t bytes) {
    return *HashByName(bytes == 32 ? "SHA256" : bytes == 48 ? "SHA384" : "SHA512");
}

void SignWith(CMinidriverSession& session, CSteps& step, const ContainerKey& k) {
    const Bytes message{'m', 'd', 'h', 'o', 's', 't', ' ', 's', 'i', 'g', 'n'};
    const std::string where = " with container " + std::to_string(k.index) + " (" + Describe(k) + ")";
    const bool rsa = k.keySpec == AT_KEYEXCHANGE || k.keySpec == AT_SIGNATURE;
    if (!rsa) {
        const HashName& hash = EcHash(k.bytes);
        const Bytes digest = Digest(hash, message);
        CARD_SIGNING_INFO info{};
        info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
        info.bContainerIndex = k.index;
        info.dwKeySpec = k.keySpec;
        Bytes signature;
        const DWORD rv = session.SignData(info, digest, signature);
        const bool good = rv != SCARD_S_SUCCESS || VerifiesEcdsa(k.key.get(), digest, signature);
        step(std::string("CardSignData ECDSA ") + hash.name + where, rv, SCARD_S_SUCCESS,
             good ? "verified by the host" : "the host refuses the signature", good);
        return;
    }
    for (const WideHash& w : kWideHashes) {
        const HashName& hash = *HashByName(w.name);
        const Bytes digest = Digest(hash, message);
        for (const bool pss : {false, true}) {
            if (pss && k.bytes < 2 * hash.length + 2) continue;
            CARD_SIGNING_INFO info{};
            info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
            info.bContainerIndex = k.index;
            info.dwKeySpec = k.keySpec;
            info.aiHashAlg = hash.id;
            BCRYPT_PSS_PADDING_INFO pssInfo{w.wide, static_cast<ULONG>(hash.length)};
            if (pss) {
                info.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
                info.dwPaddingType = CARD_PADDING_PSS;
                info.pPaddingInfo = &pssInfo;
            }
            Bytes signature;
            const DWORD rv = session.SignData(info, digest, signature);
            std::reverse(signature.begin(), signature.end());
            const bool good =
                rv != SCARD_S_SUCCESS || (pss ? VerifiesPss(k.key.get(), hash, digest, signature)
                                              : VerifiesPkcs1(k.key.get(), hash, digest, signature));
            step(std::string("CardSignData ") + (pss ? "PSS " : "PKCS#1 v1.5 ") + hash.name + where, rv,
                 SCARD_S_SUCCESS, good ? "verified by the host" : "the host refuses the signature", good);
        }
    }
    // Only the length, as a host sizing its buffer asks.
    CARD_SIGNING_INFO info{};
    info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
    info.bContainerIndex = k.index;
    info.dwKeySpec = k.keySpec;
    info.aiHashAlg = CALG_SHA_256;
    info.dwSigningFlags = CARD_BUFFER_SIZE_ONLY;
    Bytes signature;
    const DWORD rv = session.SignData(info, Digest(*HashByName("SHA256"), message), signature);
    const bool good = signature.empty() && info.cbSignedData == k.bytes;
    step("CardSignData CARD_BUFFER_SIZE_ONLY" + where, rv, SCARD_S_SUCCESS,
         std::to_string(info.cbSignedData) + " bytes", good);
}

void DecryptWith(CMinidriverSession& session, CSteps& step, const ContainerKey& k) {
    const Bytes message{'m', 'd', 'h', 'o', 's', 't', ' ', 'd', 'e', 'c', 'r', 'y', 'p', 't'};
    const std::string where = " with container " + std::to_string(k.index) + " (" + Describe(k) + ")";
    const Bytes block = EncryptionBlock(k.bytes, message);
    Bytes cipher = EncryptRaw(k.key.get(), block);
    std::reverse(cipher.begin(), cipher.end());
    for (const DWORD padding : {DWORD{CARD_PADDING_PKCS1}, DWORD{CARD_PADDING_NONE}}) {
        CARD_RSA_DECRYPT_INFO info{};
        info.dwVersion = CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO;
        info.bContainerIndex = k.index;
        info.dwKeySpec = AT_KEYEXCHANGE;
        info.dwPaddingType = padding;
        Bytes data = cipher;
        const DWORD rv = session.RSADecrypt(info, data);
        Bytes expected = padding == CARD_PADDING_PKCS1 ? message : block;
        if (padding == CARD_PADDING_NONE) std::reverse(expected.begin(), expected.end());
        const bool good = rv != SCARD_S_SUCCESS || data == expected;
        step(std::string("CardRSADecrypt ") +
                 (padding == CARD_PADDING_PKCS1 ? "PKCS#1 v1.5, unpadded by the host"
                                                : "no padding, the raw block") +
                 where,
             rv, SCARD_S_SUCCESS, good ? "the block the host encrypted" : "another block", good);
    }
}

// One parameter of a derivation, kept alive with the list that points at it.
struct KdfParameter {
    ULONG type;
    Bytes bytes;
};

Bytes TextBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// CardDeriveKey with `parameters`, compared with what the host derives from the same secret.
void Derive(CMinidriverSession& session, CSteps& step, BYTE index, const std::string& where, const char* kdf,
            std::vector<KdfParameter> parameters, const Bytes& expected) {
    std::vector<BCryptBuffer> buffers;
    buffers.reserve(parameters.size());
    for (KdfParameter& p : parameters)
        buffers.push_back({static_cast<ULONG>(p.bytes.size()), p.type, p.bytes.data()});
    BCryptBufferDesc list{BCRYPTBUFFER_VERSION, static_cast<ULONG>(buffers.size()), buffers.data()};
    Bytes key;
    const std::string name = kdf;
    const DWORD rv = session.DeriveKey(std::u16string(name.begin(), name.end()), index, &list, key);
    const bool good = rv != SCARD_S_SUCCESS || key == expected;
    step(std::string("CardDeriveKey ") + kdf + where, rv, SCARD_S_SUCCESS,
         good ? std::to_string(key.size()) + " bytes, as the host derives them" : "not what the host derives",
         good);
}

void AgreeWith(CMinidriverSession& session, CSteps& step, const ContainerKey& k) {
    const std::string where = " with container " + std::to_string(k.index) + " (" + Describe(k) + ")";
    const Key peer = MakeKey(k.bytes == 32 ? "P-256" : k.bytes == 48 ? "P-384" : "P-521", 0);
    BYTE index = 0;
    const DWORD rv = session.ConstructDHAgreement(k.index, AgreementBlob(peer.get()), index);
    const DWORD agreed =
        step("CardConstructDHAgreement" + where, rv, SCARD_S_SUCCESS, "agreement " + std::to_string(index));
    if (agreed != SCARD_S_SUCCESS) return;
    const Bytes z = SharedSecret(peer.get(), k.key.get());
    const HashName& sha256 = *HashByName("SHA256");
    const WCHAR hashName[] = HELIX_WTEXT("SHA256");
    const auto* nameBytes = reinterpret_cast<const uint8_t*>(hashName);  // NOLINT: CNG takes names as bytes
    const KdfParameter hash{KDF_HASH_ALGORITHM, Bytes(nameBytes, nameBytes + sizeof hashName)};
    const Bytes hmacKey = TextBytes("mdhost");
    Derive(session, step, index, where, "HASH", {hash}, Digest(sha256, z));
    Derive(session, step, index, where, "HMAC", {hash, {KDF_HMAC_KEY, hmacKey}}, Hmac(sha256, hmacKey, z));
    Derive(session, step, index, where, "SP800_56A_CONCAT",
           {hash,
            {KDF_ALGORITHMID, TextBytes("AES")},
            {KDF_PARTYUINFO, TextBytes("mdhost")},
            {KDF_PARTYVINFO, TextBytes("card")}},
           ConcatKdf(sha256, z, TextBytes("AESmdhostcard"), sha256.length));
    step("CardDestroyDHAgreement " + std::to_string(index), session.DestroyDHAgreement(index),
         SCARD_S_SUCCESS);
    Bytes none;
    const std::string kdf = "HASH";
    step("CardDeriveKey HASH after it",
         session.DeriveKey(std::u16string(kdf.begin(), kdf.end()), index, nullptr, none),
         SCARD_E_INVALID_PARAMETER);
}

}  // namespace

std::optional<std::vector<std::string>> ParseKeyList(const std::string& list) {
    std::vector<std::string> names;
    std::stringstream in(list);
    std::string name;
    while (std::getline(in, name, ',')) {
        if (KindByName(name) == nullptr) return std::nullopt;
        names.push_back(name);
    }
    if (names.empty()) return std::nullopt;
    return names;
}

StepsReport RunEnrollScenario(CMinidriverSession& session, const KeyOptions& options) {
    StepsReport report;
    CSteps step(report);
    if (Logon(session, step, options.pin)) Enroll(session, step, options);
    return report;
}

StepsReport RunSignScenario(CMinidriverSession& session, const KeyOptions& options) {
    StepsReport report;
    CSteps step(report);
    if (!Logon(session, step, options.pin)) return report;
    for (const ContainerKey& k : Containers(session, step, options)) {
        if (k.keySpec >= AT_ECDHE_P256) continue;  // agreement keys do not sign
        SignWith(session, step, k);
    }
    return report;
}

StepsReport RunDecryptScenario(CMinidriverSession& session, const KeyOptions& options) {
    StepsReport report;
    CSteps step(report);
    if (!Logon(session, step, options.pin)) return report;
    for (const ContainerKey& k : Containers(session, step, options))
        if (k.keySpec == AT_KEYEXCHANGE) DecryptWith(session, step, k);
    return report;
}

StepsReport RunEcdhScenario(CMinidriverSession& session, const KeyOptions& options) {
    StepsReport report;
    CSteps step(report);
    if (!Logon(session, step, options.pin)) return report;
    std::vector<ContainerKey> keys = Containers(session, step, options);
    const auto agreement = [](const ContainerKey& k) { return k.keySpec >= AT_ECDHE_P256; };
    if (std::none_of(keys.begin(), keys.end(), agreement)) {
        KeyOptions ecdh = options;
        ecdh.keys = {"ecdh-p256"};
        ecdh.import = false;
        Enroll(session, step, ecdh);
        keys = Containers(session, step, options);
    }
    for (const ContainerKey& k : keys)
        if (agreement(k)) AgreeWith(session, step, k);
    return report;
}

StepsReport RunDeleteScenario(CMinidriverSession& session, const KeyOptions& options) {
    StepsReport report;
    CSteps step(report);
    if (!Logon(session, step, options.pin)) return report;
    std::vector<ContainerKey> keys = Containers(session, step, options);
    if (keys.empty()) return report;
    const ContainerKey& last = keys.back();
    const std::string index = std::to_string(last.index);
    step("CardDeleteContainer " + index, session.DeleteContainer(last.index), SCARD_S_SUCCESS);
    Bytes cmapfile;
    ReadMap(session, step, cmapfile);
    const size_t at = static_cast<size_t>(last.index) * kRecordSize;
    if (at + kRecordSize <= cmapfile.size())
        std::fill(cmapfile.begin() + static_cast<std::ptrdiff_t>(at),
                  cmapfile.begin() + static_cast<std::ptrdiff_t>(at + kRecordSize), 0);
    step("CardWriteFile mscp/cmapfile, the record cleared", session.WriteFile(kMscp, "cmapfile", cmapfile),
         SCARD_S_SUCCESS);
    const std::string file = CertificateFile(last.index, IsSignatureSpec(last.keySpec));
    step("CardDeleteFile mscp/" + file, session.DeleteFile(kMscp, file.c_str()), SCARD_S_SUCCESS);
    Bytes none;
    step("CardReadFile mscp/" + file + " after it", session.ReadFile(kMscp, file.c_str(), none),
         SCARD_E_FILE_NOT_FOUND);
    BumpCardcf(session, step, 1, 1);
    // The context keeps the public keys it has read; the next one finds the container empty.
    step("CardDeleteContext", session.DeleteContext(), SCARD_S_SUCCESS);
    step("CardAcquireContext, a new context", session.Acquire(), SCARD_S_SUCCESS);
    ContainerKeys gone;
    step("CardGetContainerInfo " + index + " in it", session.GetContainerInfo(last.index, gone),
         SCARD_E_NO_KEY_CONTAINER);
    return report;
}

}  // namespace mdhost
