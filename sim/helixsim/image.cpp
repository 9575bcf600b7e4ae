#include <openssl/evp.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

#include "helixsim/model.h"

namespace helixsim {

namespace {

const Bytes kMagic{'H', 'X', 'S', 'I', 'M', 'I', 'M', 'G'};
constexpr uint16_t kVersion = 1;
constexpr size_t kDigestLength = 32;
constexpr uint32_t kMaxField = 1u << 20;
constexpr size_t kReserve = 64 * 1024;  // most images fit, so secrets are not left behind by growth

// Profile switches, one bit each.
constexpr uint8_t kFlagRsa4096 = 0x01;
constexpr uint8_t kFlagEc = 0x02;
constexpr uint8_t kFlagStrictLe = 0x04;
constexpr uint8_t kFlagAdminChallenge = 0x08;
constexpr uint8_t kFlagChangeAfterUnblock = 0x10;
constexpr uint8_t kFlagMustChange = 0x20;
constexpr uint8_t kFlagModp1536 = 0x40;
constexpr uint8_t kKnownFlags = 0x7F;

[[noreturn]] void Bad(const std::string& why) {
    throw std::runtime_error(why);
}

void Require(bool condition, const std::string& why) {
    if (!condition) Bad(why);
}

Bytes Sha256(const Bytes& data, size_t length) {
    Bytes out(kDigestLength);
    unsigned int written = 0;
    if (EVP_Digest(data.data(), length, out.data(), &written, EVP_sha256(), nullptr) != 1 ||
        written != kDigestLength)
        Bad("cannot compute the image digest");
    return out;
}

class Writer {
public:
    Writer() { m_out.reserve(kReserve); }
    void U8(uint8_t value) { m_out.push_back(value); }
    void U16(uint16_t value) { AppendU16(m_out, value); }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value >> 16));
        U16(static_cast<uint16_t>(value & 0xFFFF));
    }
    void Field(const Bytes& value) {
        U32(static_cast<uint32_t>(value.size()));
        m_out.insert(m_out.end(), value.begin(), value.end());
    }
    void Text(const std::string& value) { Field(Bytes(value.begin(), value.end())); }
    crypto::SecretBytes Finish() {
        const Bytes digest = Sha256(m_out, m_out.size());
        m_out.insert(m_out.end(), digest.begin(), digest.end());
        return crypto::SecretBytes(std::move(m_out));
    }

private:
    Bytes m_out;
};

class Reader {
public:
    explicit Reader(const Bytes& data) : m_cursor(data) {}
    uint8_t U8() {
        const auto value = m_cursor.U8();
        if (!value) Bad("truncated");
        return *value;
    }
    uint16_t U16() { return static_cast<uint16_t>(Number(2)); }
    uint32_t U32() { return Number(4); }
    Bytes Field() {
        const uint32_t length = U32();
        Require(length <= kMaxField, "a field claims " + std::to_string(length) + " bytes");
        return Take(length);
    }
    std::string Text() {
        const Bytes bytes = Field();
        return std::string(bytes.begin(), bytes.end());
    }
    bool AtEnd() const { return m_cursor.AtEnd(); }

private:
    Bytes Take(size_t count) {
        auto bytes = m_cursor.Take(count);
        if (!bytes) Bad("truncated");
        return std::move(*bytes);
    }
    uint32_t Number(size_t width) {
        uint32_t value = 0;
        for (uint8_t b : Take(width)) value = (value << 8) | b;
        return value;
    }

    Cursor m_cursor;
};

void WriteProfile(Writer& w, const Profile& p) {
    w.Text(p.name);
    w.Field(p.atr);
    w.U8(p.userPinId);
    w.Field(p.userPin);
    w.U8(p.userPinMaxTries);
    w.Field(p.adminKey);
    w.U8(p.adminMaxTries);
    w.U8(p.biometricId);
    w.Field(p.biometricTemplate);
    uint8_t flags = 0;
    if (p.rsa4096) flags |= kFlagRsa4096;
    if (p.ec) flags |= kFlagEc;
    if (p.strictLe) flags |= kFlagStrictLe;
    if (p.adminChallenge) flags |= kFlagAdminChallenge;
    if (p.changeAfterUnblock) flags |= kFlagChangeAfterUnblock;
    if (p.mustChange) flags |= kFlagMustChange;
    if (p.agreementGroup == AgreementGroup::Modp1536) flags |= kFlagModp1536;
    w.U8(flags);
    w.U32(p.totalMemory);
    w.U8(p.historyDepth);
    w.U32(p.maxPinAgeDays);
    w.Text(p.lastChange);
}

bool IsUserObject(uint8_t id) {
    return id == kPinObject || id == 0x23 || id == 0x24 || id == 0x25;
}

bool IsDate(const std::string& text) {
    return text.size() == 8 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Profile ReadProfile(Reader& r) {
    Profile p;
    p.name = r.Text();
    p.atr = r.Field();
    p.userPinId = r.U8();
    p.userPin = r.Field();
    p.userPinMaxTries = r.U8();
    p.adminKey = r.Field();
    p.adminMaxTries = r.U8();
    p.biometricId = r.U8();
    p.biometricTemplate = r.Field();
    const uint8_t flags = r.U8();
    p.totalMemory = r.U32();
    p.historyDepth = r.U8();
    p.maxPinAgeDays = r.U32();
    p.lastChange = r.Text();
    Require((flags & ~kKnownFlags) == 0, "profile: unknown switches");
    p.rsa4096 = (flags & kFlagRsa4096) != 0;
    p.ec = (flags & kFlagEc) != 0;
    p.strictLe = (flags & kFlagStrictLe) != 0;
    p.adminChallenge = (flags & kFlagAdminChallenge) != 0;
    p.changeAfterUnblock = (flags & kFlagChangeAfterUnblock) != 0;
    p.mustChange = (flags & kFlagMustChange) != 0;
    p.agreementGroup = (flags & kFlagModp1536) != 0 ? AgreementGroup::Modp1536 : AgreementGroup::Modp2048;

    Require(!p.name.empty() && p.name.size() <= 64, "profile: name");
    Require(p.atr.size() >= 2 && p.atr.size() <= 33, "profile: ATR length");
    Require(IsUserObject(p.userPinId) && (p.userPinId == kPinObject || p.userPinId == p.biometricId),
            "profile: user object");
    Require(p.biometricId == 0 || (IsUserObject(p.biometricId) && p.biometricId != kPinObject),
            "profile: biometric object");
    Require(p.userPin.size() <= 0xFF && p.biometricTemplate.size() <= 0xFF,
            "profile: PIN or template length");
    Require(p.userPinMaxTries <= 15 && p.adminMaxTries <= 15, "profile: try limits");
    Require(p.adminKey.size() == 16 || p.adminKey.size() == 24, "profile: administrator key length");
    Require(IsDate(p.lastChange), "profile: date of the last PIN change");
    return p;
}

void WriteNode(Writer& w, const Node& node) {
    w.U32(node.handle);
    w.U32(node.parent);
    w.U16(node.fid);
    w.U8(static_cast<uint8_t>(node.kind));
    w.U16(node.size);
    w.Field(node.access);
    w.Field(node.name);
    w.Field(node.usage);
    w.Field(node.domain);
    w.Field(node.content);
    w.U32(static_cast<uint32_t>(node.children.size()));
    for (uint32_t child : node.children) w.U32(child);
    w.U8(node.auth.type);
    w.U8(node.auth.triesLeft);
    w.U8(node.auth.maxTries);
    w.Field(node.auth.secret);
    const crypto::SecretBytes der(node.key ? node.key->Der() : Bytes{});
    w.Field(der.bytes());
}

Node ReadNode(Reader& r) {
    Node node;
    node.handle = r.U32();
    node.parent = r.U32();
    node.fid = r.U16();
    const uint8_t kind = r.U8();
    Require(kind <= static_cast<uint8_t>(NodeKind::Auth), "unknown object kind");
    node.kind = static_cast<NodeKind>(kind);
    node.size = r.U16();
    node.access = r.Field();
    node.name = r.Field();
    node.usage = r.Field();
    node.domain = r.Field();
    node.content = r.Field();
    const uint32_t children = r.U32();
    for (uint32_t i = 0; i < children; ++i) node.children.push_back(r.U32());
    node.auth.type = r.U8();
    node.auth.triesLeft = r.U8();
    node.auth.maxTries = r.U8();
    node.auth.secret = r.Field();
    const crypto::SecretBytes der(r.Field());
    if (!der.empty()) {
        try {
            node.key = crypto::AsymKey::FromDer(der.bytes());
        } catch (const std::invalid_argument& e) {
            Bad(std::string("key material: ") + e.what());
        }
    }
    return node;
}

// 90 p, 91 a, 92 b, 93 G, 94 n, 95 h of the curve, in this order.
bool DomainOf(const Bytes& domain, crypto::Curve curve) {
    const crypto::DomainParameters d = crypto::CurveParameters(curve);
    const Bytes* const expected[] = {&d.p, &d.a, &d.b, &d.g, &d.n, &d.h};
    Cursor cursor(domain);
    for (uint8_t i = 0; i < 6; ++i) {
        const auto tlv = cursor.NextTlv();
        if (!tlv || tlv->tag != 0x90 + i || tlv->value != *expected[i]) return false;
    }
    return cursor.AtEnd();
}

unsigned CurveBits(crypto::Curve curve) {
    switch (curve) {
        case crypto::Curve::P256:
            return 256;
        case crypto::Curve::P384:
            return 384;
        case crypto::Curve::P521:
            return 521;
    }
    return 0;
}

// A DER key decodes whatever its numbers are; they must also belong together. RSA: the private
// operation undone by the public exponent; EC: the scalar times G is the stored public point.
bool Consistent(const crypto::AsymKey& key, std::optional<crypto::Curve> curve) {
    if (curve) {
        const Bytes point = key.PublicPoint();
        const auto x = key.EcdhX(crypto::CurveParameters(*curve).g);
        return x && std::equal(x->begin(), x->end(), point.begin() + 1);
    }
    const Bytes n = key.Modulus();
    Bytes probe(n.size(), 0x5A);
    probe[0] = 0x00;
    const auto signed_ = key.RsaPrivate(probe);
    return signed_ && crypto::ModExp(*signed_, key.PublicExponent(), n) == probe;
}

void CheckKeyObject(const Node& node, const Profile& profile) {
    const bool ec = !node.domain.empty();
    const Bytes& u = node.usage;
    const bool usageOk =
        u.size() == 5 && u[3] == 0x00 && u[4] == 0xA3 &&
        (ec ? u[0] == 0x03 && u[2] == 0x30 && (u[1] == 0x04 || u[1] == 0x80 || u[1] == 0x84)
            : u[0] == 0x05 && u[2] == 0x20 && (u[1] == 0x04 || u[1] == 0x08 || u[1] == 0x0C));
    Require(usageOk, "key usage block");
    Require(node.content.empty() && node.name.empty(), "key object with file content");
    unsigned bits = 8u * node.size;
    const auto curve = CurveOfSize(node.size);
    if (ec) {
        Require(profile.ec && curve && DomainOf(node.domain, *curve), "elliptic-curve key object");
        bits = CurveBits(*curve);
    } else {
        Require(IsRsaKeySize(node.size, profile.rsa4096), "RSA key size");
    }
    if (!node.key) return;
    Require(node.key->IsRsa() != ec && node.key->Bits() == bits, "key does not fit its object");
    Require(Consistent(*node.key, ec ? curve : std::nullopt), "key parts do not belong together");
}

void CheckAuthObject(const Node& node) {
    const AuthObject& a = node.auth;
    Require(node.parent == kMf && node.fid <= 0xFF && node.size == 0 && node.content.empty(),
            "authentication object placement");
    Require(a.type == kAuthPin || a.type == kAuthKey || a.type == kAuthShared, "authentication object type");
    Require(a.maxTries <= 15 && a.triesLeft <= a.maxTries, "try counter");
    const size_t length = a.secret.size();
    Require(a.type == kAuthKey ? length == 16 || length == 24 : length <= 0xFF,
            "authentication secret length");
}

void CheckNode(const Node& node, const Profile& profile) {
    Require(WellFormedRules(node.access, node.kind), "access rules");
    Require(node.name.size() <= 16, "name length");
    if (node.kind != NodeKind::Key)
        Require(node.usage.empty() && node.domain.empty() && !node.key, "key data");
    if (node.kind != NodeKind::Auth)
        Require(node.auth.type == 0 && node.auth.triesLeft == 0 && node.auth.maxTries == 0 &&
                    node.auth.secret.empty(),
                "authentication data");
    if (node.kind != NodeKind::Df) Require(node.children.empty(), "children of a file");
    switch (node.kind) {
        case NodeKind::Df:
            Require(node.size == 0 && node.content.empty(), "directory with content");
            break;
        case NodeKind::Ef:
            Require(node.content.size() == node.size, "file content and size differ");
            break;
        case NodeKind::Key:
            CheckKeyObject(node, profile);
            break;
        case NodeKind::Auth:
            CheckAuthObject(node);
            break;
    }
}

// One tree under the MF: every parent a directory that lists the child once, every node
// reached from the MF, identifiers and names unique among siblings.
void CheckTree(const std::map<uint32_t, Node>& nodes, uint32_t nextHandle) {
    const auto mf = nodes.find(kMf);
    Require(mf != nodes.end() && mf->second.kind == NodeKind::Df && mf->second.parent == 0 &&
                mf->second.fid == 0x3F00,
            "no MF");
    for (const auto& [handle, node] : nodes) {
        Require(handle < nextHandle, "object number beyond the next one");
        if (handle == kMf) continue;
        const auto parent = nodes.find(node.parent);
        Require(parent != nodes.end() && parent->second.kind == NodeKind::Df, "object without a directory");
        const auto& siblings = parent->second.children;
        Require(std::count(siblings.begin(), siblings.end(), handle) == 1,
                "directory does not list its object");
    }
    std::set<uint32_t> reached;
    std::vector<uint32_t> pending{kMf};
    while (!pending.empty()) {
        const uint32_t at = pending.back();
        pending.pop_back();
        Require(reached.insert(at).second, "object listed twice");
        std::set<uint16_t> fids;
        std::set<Bytes> names;
        for (uint32_t child : nodes.at(at).children) {
            const auto it = nodes.find(child);
            Require(it != nodes.end() && it->second.parent == at, "directory lists a stranger");
            Require(fids.insert(it->second.fid).second, "identifier used twice in a directory");
            Require(it->second.name.empty() || names.insert(it->second.name).second, "name used twice");
            pending.push_back(child);
        }
    }
    Require(reached.size() == nodes.size(), "objects outside the tree");
}

}  // namespace

crypto::SecretBytes CardModel::Image() const {
    Writer w;
    for (uint8_t b : kMagic) w.U8(b);
    w.U16(kVersion);
    WriteProfile(w, m_profile);
    w.Field(m_serial);
    w.U32(m_nextHandle);
    w.U32(static_cast<uint32_t>(m_nodes.size()));
    for (const auto& entry : m_nodes) WriteNode(w, entry.second);
    return w.Finish();
}

std::unique_ptr<CardModel> CardModel::FromImage(const Bytes& image) {
    const size_t head = kMagic.size() + 2;
    Require(image.size() >= head && std::equal(kMagic.begin(), kMagic.end(), image.begin()),
            "not a card image");
    const uint16_t version = static_cast<uint16_t>((image[kMagic.size()] << 8) | image[kMagic.size() + 1]);
    Require(version == kVersion, "image version " + std::to_string(version) + " is not supported");
    Require(image.size() >= head + kDigestLength, "truncated");
    const size_t bodyEnd = image.size() - kDigestLength;
    Require(
        Sha256(image, bodyEnd) == Bytes(image.begin() + static_cast<std::ptrdiff_t>(bodyEnd), image.end()),
        "digest mismatch: the image is truncated or corrupted");

    const crypto::SecretBytes body(Bytes(image.begin() + static_cast<std::ptrdiff_t>(head),
                                         image.begin() + static_cast<std::ptrdiff_t>(bodyEnd)));
    Reader r(body.bytes());
    const Profile profile = ReadProfile(r);
    Bytes serial = r.Field();
    Require(serial.size() == 6, "serial number length");
    const uint32_t nextHandle = r.U32();
    const uint32_t count = r.U32();
    std::map<uint32_t, Node> nodes;
    for (uint32_t i = 0; i < count; ++i) {
        Node node = ReadNode(r);
        const uint32_t handle = node.handle;
        try {
            CheckNode(node, profile);
        } catch (const std::runtime_error& e) {
            Bad("object " + std::to_string(handle) + ": " + e.what());
        }
        Require(handle != 0 && nodes.emplace(handle, std::move(node)).second, "object number used twice");
    }
    Require(r.AtEnd(), "bytes after the last object");
    CheckTree(nodes, nextHandle);

    auto model = std::make_unique<CardModel>(profile);
    model->m_nodes = std::move(nodes);
    model->m_nextHandle = nextHandle;
    model->m_serial = std::move(serial);
    model->Reset();
    return model;
}

}  // namespace helixsim
