#include "helixsim/model.h"

#include <algorithm>

namespace helixsim {

namespace {

const Bytes kAid{0xA0, 0x00, 0x00, 0x01, 0x64, 'P', 'R', 'I', 'S', 'M', 0x00, 0x01};

constexpr size_t kMaxChain = 0x10000;

bool IsWrapped(uint8_t cla) {
    return (cla & 0x0C) == 0x0C;
}
bool MoreToCome(uint8_t cla) {
    return (cla & 0x10) != 0;
}
bool SameCommand(const Apdu& a, const Apdu& b) {
    return (a.cla & ~0x10) == (b.cla & ~0x10) && a.ins == b.ins && a.p1 == b.p1 && a.p2 == b.p2;
}

Bytes WithStatus(Bytes data, uint16_t sw) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw & 0xFF));
    return data;
}

uint16_t MoreData(size_t remaining) {
    return static_cast<uint16_t>(0x6100 | (remaining >= 256 ? 0 : remaining));
}

}  // namespace

CardModel::CardModel(const Profile& profile) : m_profile(profile) {
    Personalise();
}

void CardModel::Reset() {
    m_appletSelected = false;
    ClearSecurityState();
}

void CardModel::ClearSecurityState() {
    m_currentDf = kMf;
    m_currentFile = kMf;
    m_currentAuth = 0;
    m_passed.clear();
    m_challenge.clear();
    m_pending.clear();
    m_chain.reset();
    m_smChain.reset();
    m_sm.End();
}

Bytes CardModel::Transmit(const Bytes& command) {
    const auto apdu = ParseApdu(command);
    if (!apdu) {
        m_pending.clear();
        return WithStatus({}, 0x6700);
    }
    if (m_appletSelected && apdu->cla == 0x00 && apdu->ins == 0xC0) return GetResponse(*apdu);
    m_pending.clear();
    return Deliver(*apdu, Route(*apdu));
}

// Answers longer than the reader asked for (or than 256 bytes) leave the rest for GET RESPONSE.
Bytes CardModel::Deliver(const Apdu& apdu, Answer answer) {
    size_t chunk = apdu.ne.value_or(256);
    if (!apdu.extended) chunk = std::min<size_t>(chunk, 256);
    if (answer.sw != 0x9000 || answer.data.size() <= chunk)
        return WithStatus(std::move(answer.data), answer.sw);
    m_pending.assign(answer.data.begin() + static_cast<std::ptrdiff_t>(chunk), answer.data.end());
    answer.data.resize(chunk);
    return WithStatus(std::move(answer.data), MoreData(m_pending.size()));
}

Bytes CardModel::GetResponse(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0 || !apdu.data.empty()) {
        m_pending.clear();
        return WithStatus({}, 0x6A86);
    }
    if (m_pending.empty()) return WithStatus({}, 0x6985);
    const size_t count = std::min<size_t>(std::min<size_t>(apdu.ne.value_or(256), 256), m_pending.size());
    Bytes out(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(count));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(count));
    return WithStatus(std::move(out), m_pending.empty() ? 0x9000 : MoreData(m_pending.size()));
}

Answer CardModel::Route(const Apdu& apdu) {
    const bool selectAid = apdu.cla == 0x00 && apdu.ins == 0xA4 && apdu.p1 == 0x04 && apdu.p2 == 0x00;
    if (selectAid) return SelectApplet(apdu);
    if (!m_appletSelected) return Status(0x6D00);
    if (IsWrapped(apdu.cla)) {
        m_chain.reset();
        return WrappedPiece(apdu);
    }
    m_smChain.reset();
    if (m_chain) {
        if (!SameCommand(*m_chain, apdu)) {
            m_chain.reset();
            return Status(0x6883);
        }
        if (m_chain->data.size() + apdu.data.size() > kMaxChain) {
            m_chain.reset();
            return Status(0x6700);
        }
        m_chain->data.insert(m_chain->data.end(), apdu.data.begin(), apdu.data.end());
        if (MoreToCome(apdu.cla)) return Status(0x9000);
        Apdu whole = std::move(*m_chain);
        m_chain.reset();
        whole.cla = apdu.cla;
        whole.ne = apdu.ne;
        whole.leByte = apdu.leByte;
        return Execute(Command{std::move(whole), false});
    }
    if (MoreToCome(apdu.cla)) {
        m_chain = apdu;
        return Status(0x9000);
    }
    return Execute(Command{apdu, false});
}

Answer CardModel::WrappedPiece(const Apdu& apdu) {
    if (m_smChain && !SameCommand(*m_smChain, apdu)) {
        m_smChain.reset();
        m_sm.End();
        return Status(0x6883);
    }
    const auto unwrapped = m_sm.Unwrap({apdu.cla, apdu.ins, apdu.p1, apdu.p2}, apdu.data);
    if (unwrapped.sw != 0x9000) {
        m_smChain.reset();
        return Status(unwrapped.sw);
    }
    if (!m_smChain) {
        m_smChain = apdu;
        m_smChain->data.clear();
    }
    if (m_smChain->data.size() + unwrapped.plain.size() > kMaxChain) {
        m_smChain.reset();
        m_sm.End();
        return Status(0x6700);
    }
    m_smChain->data.insert(m_smChain->data.end(), unwrapped.plain.begin(), unwrapped.plain.end());
    if (MoreToCome(apdu.cla)) return Status(0x9000);
    Apdu inner = std::move(*m_smChain);
    m_smChain.reset();
    inner.cla = static_cast<uint8_t>(apdu.cla & ~0x1C);
    inner.ne = apdu.ne;
    inner.leByte = apdu.leByte;
    inner.extended = false;
    return Execute(Command{std::move(inner), true});
}

Answer CardModel::SelectApplet(const Apdu& apdu) {
    if (apdu.data != kAid) return Status(0x6A82);
    m_appletSelected = true;
    ClearSecurityState();
    return Status(0x9000);
}

Answer CardModel::Fixed(const Apdu& apdu, Bytes data) const {
    const bool wrongLe = !apdu.ne || (apdu.leByte != 0 && *apdu.ne != data.size());
    if (m_profile.strictLe && wrongLe) return Status(static_cast<uint16_t>(0x6C00 | (data.size() & 0xFF)));
    return Answer{std::move(data), 0x9000};
}

Answer CardModel::Execute(const Command& cmd) {
    const Apdu& a = cmd.apdu;
    const uint16_t cmdId = static_cast<uint16_t>((a.cla << 8) | a.ins);
    switch (cmdId) {
        case 0x80A4:
            if (a.p2 != 0x0C) return Status(0x6A86);
            if (a.p1 == 0x08) return SelectByPath(a);
            if (a.p1 == 0x00) return SelectById(a);
            if (a.p1 == 0x04) return SelectByName(a);
            return Status(0x6A86);
        case 0x00A4:
            return Status(0x6A86);
        case 0x00B0:
            return ReadBinary(a);
        case 0x00D6:
            return UpdateBinary(a);
        case 0x00E0:
            return CreateFile(cmd);
        case 0x00E4:
            return DeleteFile(a);
        case 0x8030:
            return ListChildren(a);
        case 0x8032:
            return ResizeFile(a);
        case 0x80E8:
            return RewriteAttributes(a);
        case 0x00CB:
            return GetData(a);
        case 0x80CB:
            if (a.p1 == 0x01 && (a.p2 == 0x88 || a.p2 == 0x80)) return KeyCommand(cmd);
            return GetData(a);
        case 0x0084:
            return GetChallenge(a);
        case 0x80CE:
            return VerifiedList(a);
        case 0x8028:
            return Logout(a);
        case 0x8020:
            return ProtectedVerify(a);
        case 0x0020:
            return PlainVerify(a);
        case 0x8082:
            return ExternalAuthenticate(a);
        case 0x802C:
            return ResetRetryCounter(a);
        case 0x8024:
            return SetPinValue(cmd);
        case 0x8048:
            if (a.p1 == 0x00 && a.p2 == 0x80) return Answer{m_sm.Begin(m_profile.agreementGroup), 0x9000};
            return KeyCommand(cmd);
        case 0x8086:
            if (a.p1 == 0xFF && a.p2 == 0xFF) {
                m_sm.End();
                return Status(0x9000);
            }
            if (a.p1 != 0 || a.p2 != 0) return Status(0x6A86);
            if (auto keys = m_sm.Agree(a.data)) return Answer{std::move(*keys), 0x9000};
            return Status(0x6985);
        case 0x0047:
        case 0x002A:
        case 0x804A:
            return KeyCommand(cmd);
        default:
            break;
    }
    static constexpr uint8_t kKnown[] = {0xA4, 0xB0, 0xD6, 0xE0, 0xE4, 0x30, 0x32, 0xE8, 0xCB, 0x84, 0xCE,
                                         0x28, 0x20, 0x82, 0x2C, 0x24, 0x48, 0x86, 0x47, 0x2A, 0x4A, 0xC0};
    const bool known = std::find(std::begin(kKnown), std::end(kKnown), a.ins) != std::end(kKnown);
    return Status(known ? 0x6E00 : 0x6D00);
}

}  // namespace helixsim
