#include <algorithm>

#include "helixsim/model.h"

namespace helixsim {

namespace {

constexpr size_t kChallengeLength = 8;

bool Verifiable(const Node& object) {
    return object.auth.type == kAuthPin || object.auth.type == kAuthShared;
}

uint16_t Remaining(const AuthObject& counters) {
    return counters.triesLeft == 0 ? uint16_t{0x6983} : static_cast<uint16_t>(0x63C0 | counters.triesLeft);
}

}  // namespace

const Node* CardModel::AuthById(uint8_t objectId) const {
    const auto mf = m_nodes.find(kMf);
    if (mf == m_nodes.end()) return nullptr;
    for (uint32_t child : mf->second.children) {
        const Node& node = m_nodes.at(child);
        if (node.kind == NodeKind::Auth && node.fid == objectId) return &node;
    }
    return nullptr;
}

Node* CardModel::AuthById(uint8_t objectId) {
    return const_cast<Node*>(static_cast<const CardModel*>(this)->AuthById(objectId));
}

// P2 00 names the authentication object selected last; any other P2 names the object itself.
Node* CardModel::AuthTarget(uint8_t p2) {
    if (p2 != 0) return AuthById(p2);
    if (m_currentAuth == 0) return nullptr;
    return &m_nodes.at(m_currentAuth);
}

Node* CardModel::CounterOwner(Node& object) {
    if (object.auth.type != kAuthShared) return &object;
    Node* pin = AuthById(kPinObject);
    return pin != nullptr ? pin : &object;
}

Answer CardModel::Failed(Node& counterOwner) {
    AuthObject& counters = counterOwner.auth;
    if (counters.triesLeft > 0) --counters.triesLeft;
    return Status(static_cast<uint16_t>(0x63C0 | counters.triesLeft));
}

std::optional<uint8_t> CardModel::TriesLeft(uint8_t objectId) const {
    const Node* object = AuthById(objectId);
    if (object == nullptr) return std::nullopt;
    if (object->auth.type == kAuthShared) {
        if (const Node* pin = AuthById(kPinObject)) return pin->auth.triesLeft;
    }
    return object->auth.triesLeft;
}

Answer CardModel::GetChallenge(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (!apdu.data.empty()) return Status(0x6700);
    size_t count = kChallengeLength;
    if (apdu.ne && *apdu.ne <= kChallengeLength) {
        count = *apdu.ne;
    } else if (m_profile.strictLe) {
        return Status(static_cast<uint16_t>(0x6C00 | kChallengeLength));
    }
    m_challenge = crypto::Random(count);
    return Answer{m_challenge, 0x9000};
}

// The cryptogram is 3DES-CBC(k, host random || card challenge), k = SHA-1(PIN) bytes 0 to 15.
Answer CardModel::ProtectedVerify(const Apdu& apdu) {
    if (apdu.p1 != 0) return Status(0x6A86);
    if (apdu.data.size() != 16) return Status(0x6700);
    Node* target = AuthTarget(apdu.p2);
    if (target == nullptr) return Status(apdu.p2 != 0 ? 0x6A88 : 0x6985);
    if (!Verifiable(*target)) return Status(0x6985);
    Node& owner = *CounterOwner(*target);
    if (owner.auth.type != kAuthPin) return Status(0x6985);
    if (owner.auth.triesLeft == 0) return Status(0x6983);
    if (m_challenge.size() != kChallengeLength) return Status(0x6985);
    const Bytes challenge = std::move(m_challenge);
    m_challenge.clear();
    Bytes key = crypto::Sha1(owner.auth.secret);
    key.resize(16);
    const Bytes plain = crypto::TdesCbcDecrypt(key, apdu.data);
    if (plain.size() != 2 * kChallengeLength ||
        !std::equal(challenge.begin(), challenge.end(), plain.begin() + kChallengeLength))
        return Failed(owner);
    owner.auth.triesLeft = owner.auth.maxTries;
    m_passed.insert(static_cast<uint8_t>(owner.fid));
    return Status(0x9000);
}

// Biometric templates and the auxiliary PIN travel plain; the user PIN never does.
Answer CardModel::PlainVerify(const Apdu& apdu) {
    if (apdu.p1 != 0) return Status(0x6A86);
    Node* target = AuthTarget(apdu.p2);
    if (target == nullptr) return Status(apdu.p2 != 0 ? 0x6A88 : 0x6985);
    const auto id = static_cast<uint8_t>(target->fid);
    Node& owner = *CounterOwner(*target);
    if (apdu.data.empty()) return IsVerified(id) ? Status(0x9000) : Status(Remaining(owner.auth));
    if (!Verifiable(*target)) return Status(0x6985);
    if (id == kPinObject) return Status(0x6982);
    if (apdu.data.size() > 0xFF || (target->auth.type == kAuthShared && apdu.data.size() != 20))
        return Status(0x6700);
    if (owner.auth.triesLeft == 0) return Status(0x6983);
    if (apdu.data != target->auth.secret) return Failed(owner);
    owner.auth.triesLeft = owner.auth.maxTries;
    m_passed.insert(id);
    return Status(0x9000);
}

// The answer to the last challenge is 3DES-ECB(key, challenge).
Answer CardModel::ExternalAuthenticate(const Apdu& apdu) {
    if (apdu.p1 != 0) return Status(0x6A86);
    if (apdu.data.size() != kChallengeLength) return Status(0x6700);
    Node* target = AuthTarget(apdu.p2);
    if (target == nullptr) return Status(apdu.p2 != 0 ? 0x6A88 : 0x6985);
    if (target->auth.type != kAuthKey) return Status(0x6985);
    if (target->auth.triesLeft == 0) return Status(0x6983);
    if (m_challenge.size() != kChallengeLength) return Status(0x6985);
    const Bytes expected = crypto::TdesEcbEncrypt(target->auth.secret, m_challenge);
    m_challenge.clear();
    if (apdu.data != expected) return Failed(*target);
    target->auth.triesLeft = target->auth.maxTries;
    m_passed.insert(static_cast<uint8_t>(target->fid));
    return Status(0x9000);
}

Answer CardModel::ResetRetryCounter(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (!apdu.data.empty()) return Status(0x6700);
    if (!IsVerified(kAdminObject)) return Status(0x6982);
    Node* target = AuthTarget(0);
    if (target == nullptr || !Verifiable(*target)) return Status(0x6985);
    Node& owner = *CounterOwner(*target);
    owner.auth.triesLeft = owner.auth.maxTries;
    return Status(0x9000);
}

// 62 81 (n+2) 81 n value, only under secure messaging and after the administrator or the user.
Answer CardModel::SetPinValue(const Command& cmd) {
    const Apdu& apdu = cmd.apdu;
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (!cmd.insideSm) return Status(0x6982);
    const bool user = IsVerified(kPinObject) || IsVerified(m_profile.userPinId);
    if (!IsVerified(kAdminObject) && !user) return Status(0x6982);
    const Bytes& d = apdu.data;
    if (d.size() < 5 || d[0] != 0x62 || d[1] != 0x81 || d[2] != d.size() - 3 || d[3] != 0x81 ||
        d[4] != d.size() - 5)
        return Status(0x6A80);
    const Bytes value(d.begin() + 5, d.end());
    if (value.size() < 4 || value.size() > 16) return Status(0x6A80);
    Node* target = AuthTarget(0);
    if (target == nullptr || !Verifiable(*target)) return Status(0x6985);
    Node& owner = *CounterOwner(*target);
    owner.auth.secret = value;
    owner.auth.triesLeft = owner.auth.maxTries;
    return Status(0x9000);
}

}  // namespace helixsim
