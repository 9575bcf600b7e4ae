#include "helixsim/model.h"

namespace helixsim {

namespace {

constexpr uint8_t kUserFamily[] = {kPinObject, 0x23, 0x24, 0x25};

}  // namespace

bool CardModel::Permits(const Node& node, size_t rule) const {
    if (rule >= node.access.size() / 2) return false;
    return ConditionMet(node.access[2 * rule + 1]);
}

bool CardModel::ConditionMet(uint8_t condition) const {
    if (condition == kAlways) return true;
    if (condition == kNever) return false;
    if (condition == kAnyVerified) {
        for (const auto& entry : m_nodes) {
            const Node& node = entry.second;
            if (node.kind == NodeKind::Auth && IsVerified(static_cast<uint8_t>(node.fid & 0xFF))) return true;
        }
        return false;
    }
    return IsVerified(condition);
}

// A biometric object counts as verified by its template (0x23), by its template or the PIN (0x24),
// or only by both since the last reset (0x25).
bool CardModel::IsVerified(uint8_t objectId) const {
    if (AuthById(objectId) == nullptr) return false;
    const bool own = m_passed.count(objectId) != 0;
    const bool pin = m_passed.count(kPinObject) != 0;
    switch (objectId) {
        case 0x24:
            return own || pin;
        case 0x25:
            return own && pin;
        default:
            return own;
    }
}

Answer CardModel::Logout(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (apdu.data.size() != 4) return Status(0x6700);
    if (apdu.data[0] != 0 || apdu.data[1] != 0 || apdu.data[2] != 0) return Status(0x6A80);
    const uint8_t id = apdu.data[3];
    // Identifier 00 logs out every object: a freshly identified applet starts from nothing.
    if (id == 0) {
        m_passed.clear();
        return Status(0x9000);
    }
    if (AuthById(id) == nullptr) return Status(0x6A88);
    bool userFamily = false;
    for (uint8_t member : kUserFamily) userFamily = userFamily || member == id;
    if (userFamily) {
        for (uint8_t member : kUserFamily) m_passed.erase(member);
    } else {
        m_passed.erase(id);
    }
    return Status(0x9000);
}

Answer CardModel::VerifiedList(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (!apdu.data.empty()) return Status(0x6700);
    Bytes out{0x00, 0x00};
    for (uint32_t child : m_nodes.at(kMf).children) {
        const Node& node = m_nodes.at(child);
        const auto id = static_cast<uint8_t>(node.fid & 0xFF);
        if (node.kind == NodeKind::Auth && IsVerified(id)) out.insert(out.end(), {id, 0x01, 0x01});
    }
    return Answer{std::move(out), 0x9000};
}

}  // namespace helixsim
