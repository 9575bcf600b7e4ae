#include <algorithm>
#include <array>
#include <map>

#include "helixsim/model.h"

namespace helixsim {

namespace {

constexpr uint32_t kObjectOverhead = 32;
constexpr uint32_t kKeyFactor = 3;  // private key with its CRT parts, or scalar and public point

const CardPath kBasePath{0x3F00, 0x3000, 0x3002, 0x5000};

uint8_t Descriptor(NodeKind kind) {
    switch (kind) {
        case NodeKind::Df:
            return 0x38;
        case NodeKind::Ef:
            return 0x01;
        case NodeKind::Key:
            return 0x08;
        case NodeKind::Auth:
            return 0x10;
    }
    return 0;
}

uint16_t U16(const Bytes& b, size_t at = 0) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

bool Reserved(uint16_t fid) {
    return fid == 0x0000 || fid == 0xFFFF || fid == 0x3FFF || fid == 0x3F00;
}

// Rule that guards rewriting the attributes of an object of each kind.
size_t RewriteRule(NodeKind kind) {
    switch (kind) {
        case NodeKind::Df:
            return static_cast<size_t>(DfRule::Rewrite);
        case NodeKind::Ef:
            return static_cast<size_t>(EfRule::DeleteOrRewrite);
        case NodeKind::Key:
            return static_cast<size_t>(KeyRule::Rewrite);
        case NodeKind::Auth:
            return SIZE_MAX;
    }
    return SIZE_MAX;
}

size_t DeleteRule(NodeKind kind) {
    switch (kind) {
        case NodeKind::Df:
            return static_cast<size_t>(DfRule::Delete);
        case NodeKind::Ef:
            return static_cast<size_t>(EfRule::DeleteOrRewrite);
        case NodeKind::Key:
            return static_cast<size_t>(KeyRule::Delete);
        case NodeKind::Auth:
            return SIZE_MAX;
    }
    return SIZE_MAX;
}

bool IsEcSize(uint16_t size) {
    return size == 0x20 || size == 0x30 || size == 0x42;
}

bool IsRsaSize(uint16_t size, bool rsa4096) {
    static constexpr std::array<uint16_t, 8> kSizes{0x40, 0x60, 0x80, 0xA0, 0xC0, 0xF8, 0x100, 0x180};
    return std::find(kSizes.begin(), kSizes.end(), size) != kSizes.end() || (rsa4096 && size == 0x200);
}

crypto::Curve CurveFor(uint16_t size) {
    if (size == 0x20) return crypto::Curve::P256;
    if (size == 0x30) return crypto::Curve::P384;
    return crypto::Curve::P521;
}

// Domain parameters exactly as a key-object template carries them; 93 always in the 81 form.
Bytes DomainImage(crypto::Curve curve) {
    const crypto::DomainParameters d = crypto::CurveParameters(curve);
    Bytes out;
    const auto add = [&out](uint8_t tag, const Bytes& value, bool longForm) {
        out.push_back(tag);
        if (longForm) out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    };
    add(0x90, d.p, false);
    add(0x91, d.a, false);
    add(0x92, d.b, false);
    add(0x93, d.g, true);
    add(0x94, d.n, false);
    add(0x95, d.h, false);
    return out;
}

bool ValidKeyUsage(const Bytes& usage, bool ec) {
    if (usage.size() != 5 || usage[3] != 0x00 || usage[4] != 0xA3) return false;
    if (ec)
        return usage[0] == 0x03 && usage[2] == 0x30 &&
               (usage[1] == 0x04 || usage[1] == 0x80 || usage[1] == 0x84);
    return usage[0] == 0x05 && usage[2] == 0x20 && (usage[1] == 0x04 || usage[1] == 0x08 || usage[1] == 0x0C);
}

struct Template {
    std::map<uint8_t, Bytes> tags;
    bool Has(uint8_t tag) const { return tags.count(tag) != 0; }
    const Bytes& Get(uint8_t tag) const { return tags.at(tag); }
};

// Every object the template holds once, nothing outside `allowed`, and 8A 83 80 86 present.
std::optional<Template> ParseTemplate(const Bytes& data, const std::vector<uint8_t>& allowed) {
    const auto body = SoleTlv(data, 0x62);
    if (!body) return std::nullopt;
    Template t;
    Cursor cursor(*body);
    while (!cursor.AtEnd()) {
        auto tlv = cursor.NextTlv();
        if (!tlv || t.Has(tlv->tag)) return std::nullopt;
        if (std::find(allowed.begin(), allowed.end(), tlv->tag) == allowed.end()) return std::nullopt;
        t.tags.emplace(tlv->tag, std::move(tlv->value));
    }
    for (uint8_t required : {0x8A, 0x83, 0x80, 0x86}) {
        if (!t.Has(required)) return std::nullopt;
    }
    if (t.Get(0x8A) != Bytes{0x04} || t.Get(0x83).size() != 2 || t.Get(0x80).size() != 2) return std::nullopt;
    return t;
}

}  // namespace

std::optional<uint32_t> CardModel::FindChild(uint32_t df, uint16_t fid) const {
    const auto it = m_nodes.find(df);
    if (it == m_nodes.end()) return std::nullopt;
    for (uint32_t child : it->second.children) {
        if (m_nodes.at(child).fid == fid) return child;
    }
    return std::nullopt;
}

std::optional<uint32_t> CardModel::Resolve(const CardPath& path) const {
    if (path.empty() || path.front() != 0x3F00) return std::nullopt;
    uint32_t at = kMf;
    for (size_t i = 1; i < path.size(); ++i) {
        if (m_nodes.at(at).kind != NodeKind::Df) return std::nullopt;
        const auto next = FindChild(at, path[i]);
        if (!next) return std::nullopt;
        at = *next;
    }
    return at;
}

bool CardModel::InNamedArea(uint32_t handle) const {
    const auto base = Resolve(kBasePath);
    if (!base) return false;
    for (uint32_t at = handle; at != 0; at = m_nodes.at(at).parent) {
        if (at == *base) return true;
    }
    return false;
}

uint32_t CardModel::AddNode(Node node) {
    const uint32_t handle = m_nextHandle++;
    node.handle = handle;
    if (node.parent != 0) m_nodes.at(node.parent).children.push_back(handle);
    m_nodes.emplace(handle, std::move(node));
    return handle;
}

void CardModel::RemoveNode(uint32_t handle) {
    const std::vector<uint32_t> children = m_nodes.at(handle).children;
    for (uint32_t child : children) RemoveNode(child);
    const uint32_t parent = m_nodes.at(handle).parent;
    if (parent != 0) {
        auto& siblings = m_nodes.at(parent).children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), handle), siblings.end());
    }
    m_nodes.erase(handle);
}

uint32_t CardModel::Footprint(const Node& node) {
    switch (node.kind) {
        case NodeKind::Ef:
            return kObjectOverhead + node.size;
        case NodeKind::Key:
            return kObjectOverhead + kKeyFactor * node.size;
        default:
            return kObjectOverhead;
    }
}

uint32_t CardModel::UsedMemory() const {
    uint32_t used = 0;
    for (const auto& entry : m_nodes) used += Footprint(entry.second);
    return used;
}

uint32_t CardModel::FreeMemory() const {
    const uint32_t used = UsedMemory();
    return used >= m_profile.totalMemory ? 0 : m_profile.totalMemory - used;
}

std::optional<Bytes> CardModel::FileContent(const CardPath& path) const {
    const auto handle = Resolve(path);
    if (!handle || m_nodes.at(*handle).kind != NodeKind::Ef) return std::nullopt;
    return m_nodes.at(*handle).content;
}

Bytes CardModel::Fcp(const Node& node) const {
    Bytes inner;
    AppendTlv(inner, 0x83, {static_cast<uint8_t>(node.fid >> 8), static_cast<uint8_t>(node.fid & 0xFF)});
    AppendTlv(inner, 0x87, {Descriptor(node.kind)});
    const uint16_t size = node.kind == NodeKind::Ef || node.kind == NodeKind::Key ? node.size : 0;
    AppendTlv(inner, 0x80, {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size & 0xFF)});
    if (!node.access.empty()) AppendTlv(inner, 0x86, node.access);
    if (!node.name.empty()) AppendTlv(inner, 0x84, node.name);
    if (node.kind == NodeKind::Key) AppendTlv(inner, 0x85, node.usage);
    if (node.kind == NodeKind::Auth) {
        const AuthObject* counters = &node.auth;
        if (node.auth.type == kAuthShared) {
            if (const Node* pin = AuthById(kPinObject)) counters = &pin->auth;
        }
        const uint8_t objectClass = node.auth.type == kAuthKey      ? 0x02
                                    : node.auth.type == kAuthShared ? 0x03
                                                                    : 0x01;
        AppendTlv(inner, 0x85,
                  {objectClass, static_cast<uint8_t>(node.fid & 0xFF), node.auth.type,
                   static_cast<uint8_t>(node.auth.secret.size()),
                   static_cast<uint8_t>((counters->triesLeft << 4) | (counters->maxTries & 0x0F))});
    }
    AppendTlv(inner, 0x8A, {0x04});
    Bytes out;
    AppendTlv(out, 0x62, inner);
    return out;
}

Answer CardModel::Select(uint32_t handle) {
    const Node& node = m_nodes.at(handle);
    m_currentFile = handle;
    m_currentDf = node.kind == NodeKind::Df ? handle : node.parent;
    if (node.kind == NodeKind::Auth) m_currentAuth = handle;
    return Answer{Fcp(node), 0x9000};
}

Answer CardModel::SelectByPath(const Apdu& apdu) {
    if (apdu.data.empty() || apdu.data.size() % 2 != 0) return Status(0x6700);
    CardPath path;
    for (size_t i = 0; i < apdu.data.size(); i += 2) path.push_back(U16(apdu.data, i));
    const auto handle = Resolve(path);
    if (!handle) return Status(0x6A82);
    return Select(*handle);
}

// Children of the current directory first, then the directory itself, its parent and the MF.
Answer CardModel::SelectById(const Apdu& apdu) {
    if (apdu.data.size() != 2) return Status(0x6700);
    const uint16_t fid = U16(apdu.data);
    if (const auto child = FindChild(m_currentDf, fid)) return Select(*child);
    const Node& df = m_nodes.at(m_currentDf);
    if (df.fid == fid) return Select(m_currentDf);
    if (df.parent != 0 && m_nodes.at(df.parent).fid == fid) return Select(df.parent);
    if (fid == 0x3F00) return Select(kMf);
    return Status(0x6A82);
}

// Names are looked up only among the directories of the named-directory base.
Answer CardModel::SelectByName(const Apdu& apdu) {
    if (apdu.data.size() != 16) return Status(0x6700);
    const auto base = Resolve(kBasePath);
    if (!base) return Status(0x6A82);
    for (uint32_t child : m_nodes.at(*base).children) {
        const Node& node = m_nodes.at(child);
        if (node.kind == NodeKind::Df && node.name == apdu.data) return Select(child);
    }
    return Status(0x6A82);
}

Answer CardModel::ReadBinary(const Apdu& apdu) {
    if (!apdu.data.empty()) return Status(0x6700);
    if (apdu.p1 & 0x80) return Status(0x6A86);
    Node& file = m_nodes.at(m_currentFile);
    if (file.kind != NodeKind::Ef) return Status(0x6986);
    if (!Permits(file, static_cast<size_t>(EfRule::Read))) return Status(0x6982);
    const size_t offset = (static_cast<size_t>(apdu.p1) << 8) | apdu.p2;
    if (offset > file.content.size()) return Status(0x6B00);
    const size_t wanted = apdu.ne.value_or(256);
    const size_t count = std::min(wanted, file.content.size() - offset);
    const auto begin = file.content.begin() + static_cast<std::ptrdiff_t>(offset);
    return Answer{Bytes(begin, begin + static_cast<std::ptrdiff_t>(count)),
                  count < wanted ? uint16_t{0x6282} : uint16_t{0x9000}};
}

Answer CardModel::UpdateBinary(const Apdu& apdu) {
    if (apdu.data.empty()) return Status(0x6700);
    if (apdu.p1 & 0x80) return Status(0x6A86);
    Node& file = m_nodes.at(m_currentFile);
    if (file.kind != NodeKind::Ef) return Status(0x6986);
    if (!Permits(file, static_cast<size_t>(EfRule::Update))) return Status(0x6982);
    const size_t offset = (static_cast<size_t>(apdu.p1) << 8) | apdu.p2;
    if (offset > file.content.size()) return Status(0x6B00);
    if (apdu.data.size() > file.content.size() - offset) return Status(0x6A84);
    std::copy(apdu.data.begin(), apdu.data.end(), file.content.begin() + static_cast<std::ptrdiff_t>(offset));
    return Status(0x9000);
}

Answer CardModel::CreateFile(const Command& cmd) {
    const Apdu& apdu = cmd.apdu;
    if (apdu.p2 != 0) return Status(0x6A86);
    Node node;
    DfRule rule = DfRule::CreateEf;
    std::vector<uint8_t> allowed{0x8A, 0x83, 0x80, 0x86, 0x84};
    switch (apdu.p1) {
        case 0x01:
            node.kind = NodeKind::Ef;
            break;
        case 0x38:
            node.kind = NodeKind::Df;
            rule = DfRule::CreateDf;
            break;
        case 0x08:
            node.kind = NodeKind::Key;
            rule = DfRule::CreateKey;
            allowed = {0x8A, 0x83, 0x80, 0x86, 0x85, 0xE1, 0x71};
            break;
        default:
            return Status(0x6A86);
    }
    const auto t = ParseTemplate(apdu.data, allowed);
    if (!t || !WellFormedRules(t->Get(0x86), node.kind)) return Status(0x6A80);
    node.fid = U16(t->Get(0x83));
    node.size = U16(t->Get(0x80));
    node.access = t->Get(0x86);
    if (Reserved(node.fid)) return Status(0x6A80);
    if (t->Has(0x84)) {
        node.name = t->Get(0x84);
        if (node.name.empty() || node.name.size() > 16) return Status(0x6A80);
    }
    if (node.kind == NodeKind::Df && node.size != 0) return Status(0x6A80);
    if (node.kind == NodeKind::Ef) node.content.assign(node.size, 0x00);

    Bytes material;
    if (node.kind == NodeKind::Key) {
        if (!t->Has(0x85)) return Status(0x6A80);
        node.usage = t->Get(0x85);
        const bool ec = IsEcSize(node.size);
        if (!ec && !IsRsaSize(node.size, m_profile.rsa4096)) return Status(0x6A80);
        if (!ValidKeyUsage(node.usage, ec)) return Status(0x6A80);
        if (ec) {
            if (!t->Has(0xE1) || t->Has(0x71)) return Status(0x6A80);
            const Bytes expected = DomainImage(CurveFor(node.size));
            const Bytes& given = t->Get(0xE1);
            if (given.size() < expected.size() ||
                !std::equal(expected.begin(), expected.end(), given.begin()))
                return Status(0x6A80);
            node.domain = expected;
            material.assign(given.begin() + static_cast<std::ptrdiff_t>(expected.size()), given.end());
            if (!m_profile.ec) return Status(0x6A81);
        } else {
            if (!t->Has(0x71) || t->Has(0xE1)) return Status(0x6A80);
            material = t->Get(0x71);
        }
    }

    const Node& df = m_nodes.at(m_currentDf);
    if (!Permits(df, static_cast<size_t>(rule))) return Status(0x6982);
    for (uint32_t child : df.children) {
        const Node& sibling = m_nodes.at(child);
        if (sibling.fid == node.fid) return Status(0x6A89);
        if (!node.name.empty() && sibling.name == node.name) return Status(0x6A89);
    }
    if (Footprint(node) > FreeMemory()) return Status(0x6A84);
    if (!material.empty()) {
        if (!cmd.insideSm) return Status(0x6982);
        const Answer imported = ImportKeyMaterial(node, material, cmd);
        if (imported.sw != 0x9000) return imported;
    }
    node.parent = m_currentDf;
    const uint32_t handle = AddNode(std::move(node));
    Select(handle);
    return Status(0x9000);
}

Answer CardModel::DeleteFile(const Apdu& apdu) {
    if (!apdu.data.empty()) return Status(0x6700);
    if (apdu.p2 != 0) return Status(0x6A86);
    const uint32_t target = m_currentFile;
    const Node& node = m_nodes.at(target);
    const bool isDf = node.kind == NodeKind::Df;
    if (apdu.p1 != (isDf ? 0x01 : 0x00)) return Status(0x6A86);
    if (target == kMf || !Permits(node, DeleteRule(node.kind))) return Status(0x6982);
    const uint32_t parent = node.parent;
    RemoveNode(target);
    m_currentFile = parent;
    m_currentDf = parent;
    return Status(0x9000);
}

Answer CardModel::ListChildren(const Apdu& apdu) {
    if (apdu.p2 != 0) return Status(0x6A86);
    if (!apdu.data.empty()) return Status(0x6700);
    NodeKind kind = NodeKind::Ef;
    if (apdu.p1 == 0x38) {
        kind = NodeKind::Df;
    } else if (apdu.p1 == 0x08) {
        kind = NodeKind::Key;
    } else if (apdu.p1 != 0x01) {
        return Status(0x6A86);
    }
    const Node& df = m_nodes.at(m_currentDf);
    if (!Permits(df, static_cast<size_t>(DfRule::List))) return Status(0x6982);
    const bool named = InNamedArea(m_currentDf);
    Bytes out;
    for (uint32_t child : df.children) {
        const Node& node = m_nodes.at(child);
        if (node.kind != kind) continue;
        if (kind == NodeKind::Df && named && !node.name.empty()) {
            AppendTlv(out, 0xD2, node.name);
        } else {
            AppendTlv(out, 0xD2,
                      {static_cast<uint8_t>(node.fid >> 8), static_cast<uint8_t>(node.fid & 0xFF)});
        }
    }
    return Answer{std::move(out), 0x9000};
}

Answer CardModel::ResizeFile(const Apdu& apdu) {
    if (apdu.p1 != 0x00 || apdu.p2 != 0x01) return Status(0x6A86);
    if (apdu.data.size() != 4) return Status(0x6700);
    if (apdu.data[2] != 0 || apdu.data[3] != 0) return Status(0x6A80);
    Node& file = m_nodes.at(m_currentFile);
    if (file.kind != NodeKind::Ef) return Status(0x6986);
    if (!Permits(file, static_cast<size_t>(EfRule::Resize))) return Status(0x6982);
    const uint16_t size = U16(apdu.data);
    if (size > file.size && static_cast<uint32_t>(size - file.size) > FreeMemory()) return Status(0x6A84);
    file.size = size;
    file.content.resize(size, 0x00);
    return Status(0x9000);
}

Answer CardModel::RewriteAttributes(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    const auto body = SoleTlv(apdu.data, 0x62);
    if (!body) return Status(0x6A80);
    const auto access = SoleTlv(*body, 0x86);
    Node& node = m_nodes.at(m_currentFile);
    if (!access || !WellFormedRules(*access, node.kind) || node.kind == NodeKind::Auth) return Status(0x6A80);
    if (!Permits(node, RewriteRule(node.kind))) return Status(0x6982);
    node.access = *access;
    return Status(0x9000);
}

bool WellFormedRules(const Bytes& access, NodeKind kind) {
    const size_t rules = kind == NodeKind::Df    ? kDfRules
                         : kind == NodeKind::Ef  ? kEfRules
                         : kind == NodeKind::Key ? kKeyRules
                                                 : 0;
    if (access.size() != 2 * rules) return false;
    for (size_t i = 0; i < access.size(); i += 2) {
        if (access[i] != 0) return false;
    }
    return true;
}

}  // namespace helixsim
