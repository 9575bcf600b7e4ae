#include "helixsim/model.h"

namespace helixsim {

namespace {

constexpr uint8_t kAdminOnly = kAdminObject;

// Tag 86 from one condition per rule.
Bytes Rules(std::initializer_list<uint8_t> conditions) {
    Bytes out;
    for (uint8_t condition : conditions) {
        out.push_back(0x00);
        out.push_back(condition);
    }
    return out;
}

Bytes ConfigFile() {
    Bytes content(0x62, 0x00);
    std::fill(content.begin(), content.begin() + 32, ' ');
    content[0x61] = 0x04;
    return content;
}

void AddRecord(Bytes& out, uint16_t tag, const Bytes& value) {
    AppendU16(out, tag);
    out.push_back(static_cast<uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

Bytes PolicyFile(const Profile& p) {
    Bytes out;
    AddRecord(out, 0x02C0,
              {0x00, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(p.adminChallenge ? 1 : 0), 0x00});
    AddRecord(out, 0x02C2, {p.historyDepth});
    const uint32_t age = p.maxPinAgeDays;
    AddRecord(out, 0x02C6,
              {static_cast<uint8_t>(age >> 24), static_cast<uint8_t>(age >> 16),
               static_cast<uint8_t>(age >> 8), static_cast<uint8_t>(age)});
    AddRecord(out, 0x02CF, {static_cast<uint8_t>(p.changeAfterUnblock ? 1 : 0)});
    return out;
}

Bytes StateFile(const Profile& p) {
    Bytes out;
    AddRecord(out, 0x02C4, {static_cast<uint8_t>(p.mustChange ? 1 : 0)});
    Bytes date(p.lastChange.begin(), p.lastChange.end());
    date.resize(8, '0');
    AddRecord(out, 0x02C7, date);
    return out;
}

Bytes HistoryFile(uint8_t depth) {
    Bytes out(6 + 20 * static_cast<size_t>(depth), 0x00);
    out[1] = 0x14;
    return out;
}

// An empty container map: header, one 00 11 entry without records, padding, the cardcf trailer.
Bytes ContainerMap() {
    Bytes out{0x00, 0x86, 0x86, 0x7F, 0x00, 0x00, 0x0E};
    out.insert(out.end(), {0x00, 0x11, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF});
    out.insert(out.end(), {0x00, 0x00, 0x00, 0x00});
    const size_t length = out.size() - 4;
    out[4] = static_cast<uint8_t>(length >> 8);
    out[5] = static_cast<uint8_t>(length & 0xFF);
    return out;
}

Bytes CardId() {
    Bytes out{0x00, 0x10};
    const Bytes random = crypto::Random(16);
    out.insert(out.end(), random.begin(), random.end());
    return out;
}

}  // namespace

uint32_t CardModel::AddDf(uint32_t parent, uint16_t fid, Bytes access, Bytes name) {
    Node node;
    node.parent = parent;
    node.fid = fid;
    node.kind = NodeKind::Df;
    node.access = std::move(access);
    node.name = std::move(name);
    return AddNode(std::move(node));
}

uint32_t CardModel::AddEf(uint32_t parent, uint16_t fid, Bytes access, Bytes content) {
    Node node;
    node.parent = parent;
    node.fid = fid;
    node.kind = NodeKind::Ef;
    node.access = std::move(access);
    node.size = static_cast<uint16_t>(content.size());
    node.content = std::move(content);
    return AddNode(std::move(node));
}

void CardModel::AddAuth(uint8_t id, AuthObject auth) {
    Node node;
    node.parent = kMf;
    node.fid = id;
    node.kind = NodeKind::Auth;
    node.auth = std::move(auth);
    AddNode(std::move(node));
}

void CardModel::Personalise() {
    const Profile& p = m_profile;
    const uint8_t u = p.userPinId;
    m_serial = crypto::Random(6);

    const uint32_t mf = AddDf(0, 0x3F00, Rules({kNever, kNever, kNever, kNever, kAlways, kNever}));
    AddAuth(kPinObject, AuthObject{kAuthPin, p.userPinMaxTries, p.userPinMaxTries, p.userPin});
    AddAuth(kAdminObject, AuthObject{kAuthKey, p.adminMaxTries, p.adminMaxTries, p.adminKey});
    AddAuth(kAuxObject,
            AuthObject{kAuthPin, p.userPinMaxTries, p.userPinMaxTries, Bytes{'0', '0', '0', '0'}});
    if (p.biometricId != 0) AddAuth(p.biometricId, AuthObject{kAuthShared, 0, 0, p.biometricTemplate});

    const uint32_t app = AddDf(mf, 0x3000, Rules({kAdminOnly, kAdminOnly, kNever, kNever, kAlways, kNever}));
    AddEf(app, 0xC000, Rules({kAlways, u, kNever, kNever}), ConfigFile());
    AddEf(app, 0xEEEE, Rules({kAlways, kNever, kNever, kNever}), PolicyFile(p));
    AddEf(app, 0xEEEF, Rules({kAlways, kAnyVerified, kNever, kNever}), StateFile(p));
    AddEf(app, 0xB000, Rules({kAlways, kAnyVerified, kNever, kNever}), HistoryFile(p.historyDepth));

    const uint32_t certs = AddDf(app, 0x3001, Rules({u, kNever, kNever, kNever, kAlways, kNever}));
    AddEf(certs, 0x867F, Rules({kAlways, u, u, u}), ContainerMap());

    const uint32_t keys = AddDf(app, 0x3002, Rules({u, u, u, kNever, kAlways, kNever}));
    AddDf(keys, 0x5000, Rules({u, u, u, u, kAlways, kNever}));

    const uint32_t md = AddDf(app, 0x3003, Rules({u, u, kNever, kNever, kAlways, kNever}));
    AddEf(md, 0x4000, Rules({kAlways, u, kNever, kNever}), CardId());
    AddEf(md, 0x4001, Rules({kAlways, u, kNever, kNever}), Bytes{0x00, 0x06, 0, 0, 0, 0, 0, 0});
    AddDf(md, 0x3005, Rules({kAnyVerified, kNever, kNever, kNever, kAlways, kNever}));

    m_currentDf = mf;
    m_currentFile = mf;
}

}  // namespace helixsim
