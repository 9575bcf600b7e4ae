#include "libapdu/apppin/pin_helix.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"
#include "libapdu/token/base64.h"
#include "libapdu/token/digest.h"
#include "libapdu/token/host_crypto.h"
#include "libapdu/token/reader.h"
#include "libapdu/token/text.h"
#include "libapdu/token/ticket.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

namespace {

constexpr uint8_t kThirdId = 0x01;
constexpr uint8_t kAdminId = 0x10;
constexpr uint8_t kChallengeSize = 8;
constexpr size_t kPinKeySize = 16;
constexpr size_t kMaxNewPin = 0xFF - 5;  // the set-PIN-value data must fit a short Lc

// Session verify text: Base64 of a check value, 01 81 and the record.
constexpr size_t kSessionTextSize = 208;
constexpr size_t kBiometricOffset = 4;
constexpr size_t kBiometricSize = 20;
constexpr size_t kTextOffset = 24;
constexpr uint32_t kKindPin = 0x20;
constexpr uint32_t kKindFinger = 0x23;
constexpr uint32_t kKindFingerOptional = 0x24;
constexpr uint32_t kKindFingerAndPin = 0x25;

// Wipes a buffer when the scope ends, however it ends.
class WipeGuard {
public:
    WipeGuard(void* data, size_t size) : m_data(data), m_size(size) {}
    ~WipeGuard() { platform::SecureWipe(m_data, m_size); }
    WipeGuard(const WipeGuard&) = delete;
    WipeGuard& operator=(const WipeGuard&) = delete;

private:
    void* m_data;
    size_t m_size;
};

ByteSpan Span(const SecretBytes& bytes) {
    return ByteSpan(bytes.data(), bytes.size());
}

void CheckNewPin(ByteSpan value, const char16_t* where) {
    const bool printable = !value.empty() && std::all_of(value.begin(), value.end(),
                                                         [](uint8_t b) { return b >= 0x01 && b <= 0x7F; });
    if (!printable) ThrowAPDUException(sw::kVerificationFailed, where, __LINE__);
    if (value.size > kMaxNewPin) ThrowAPDUException(sw::kWrongParameters, where, __LINE__);
}

void CheckCommandData(ByteSpan data, const char16_t* where) {
    if (data.empty() || data.size > 0xFF) ThrowAPDUException(sw::kWrongParameters, where, __LINE__);
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t size) {
    uint8_t difference = 0;
    for (size_t i = 0; i < size; ++i) difference |= static_cast<uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

// The identity text of a session record (UTF-16, low byte first, up to a zero character) as UTF-8.
SecretBytes IdentityText(const SecretBytes& record) {
    std::array<WCHAR, (kSessionRecordSize - kTextOffset) / 2> units{};
    const WipeGuard unitsGuard(units.data(), sizeof units);
    size_t count = 0;
    for (; count < units.size(); ++count) {
        const size_t at = kTextOffset + 2 * count;
        const auto unit = static_cast<WCHAR>(record[at] | record[at + 1] << 8);
        if (unit == 0) break;
        units[count] = unit;
    }
    std::string utf8 = WideToUtf8(WideView(units.data(), count));
    const WipeGuard textGuard(utf8.data(), utf8.size());
    return SecretBytes(utf8.begin(), utf8.end());
}

SecretBytes PinKey(ByteSpan pin) {
    ByteVector hash = digest::Digest(digest::DigestAlg::Sha1, pin);
    SecretBytes key(hash.begin(), hash.begin() + kPinKeySize);
    Wipe(hash);
    return key;
}

}  // namespace

CPinHelix::CPinHelix(CAppletHelix& applet) : m_applet(applet) {}

void CPinHelix::LoadPinInfo() {
    const ByteVector fcp = m_applet.Exchange(helix::SelectPath(ApplicationDirectory()));
    const ParsedTlv attributes = FindBerTlv(FindBerTlv(fcp, 0x62).Value(), 0x86);
    Reader r(attributes.Value(), Failure::Apdu(sw::kCorruptedData, u"IAppPin::LoadPinInfo"));
    r.Skip(1);
    const uint8_t userId = r.U8();
    m_userPin = {kMasterFile, userId};
    m_adminKey = {kMasterFile, kAdminId};
    m_thirdRef = {kMasterFile, kThirdId};
    m_loaded = true;
}

void CPinHelix::EnsureLoaded() {
    if (!m_loaded) LoadPinInfo();
}

PinReference CPinHelix::GetUserPinRef() {
    EnsureLoaded();
    return m_userPin;
}

PinReference CPinHelix::GetAdminKeyRef() {
    EnsureLoaded();
    return m_adminKey;
}

PinReference CPinHelix::GetAuxPinRef() {
    EnsureLoaded();
    return m_thirdRef;
}

uint8_t CPinHelix::GetPinParameter() {
    return kTextUtf8;
}

ByteVector CPinHelix::SelectObject(const PinReference& reference) {
    const ByteVector fcp = m_applet.Exchange(helix::SelectPath(reference));
    return FindBerTlv(FindBerTlv(fcp, 0x62).Value(), 0x85).CopyValue();
}

void CPinHelix::SelectPin(const PinReference& reference) {
    if (reference.empty() || reference.size() > 0x7F)
        ThrowAPDUException(sw::kWrongParameters, u"IAppPin::SelectPin", __LINE__);
    // Loaded before the object is selected, so that VerifyPin can tell the user PIN without
    // selecting anything else on the card.
    EnsureLoaded();
    m_selected = reference;
    m_selectedId = reference.back();

    const ByteVector info = SelectObject(reference);
    Reader r(info, Failure::Apdu(sw::kCorruptedData, u"IAppPin::SelectPin"));
    r.Skip(2);
    const uint8_t kind = r.U8();
    m_state = PinState{};
    if (kind == 0x00 || kind == 0x01) {
        ReadCounters(info);
    } else if (kind == 0x0F || kind == 0x10) {
        ReadCounters(SelectObject(m_pinObject));
    }
    ReadVerifiedState();
    m_state.minLength = 4;
    m_state.maxLength = 16;
}

void CPinHelix::ReadCounters(const ByteVector& objectInfo) {
    Reader r(objectInfo, Failure::Apdu(sw::kCorruptedData, u"IAppPin::SelectPin"));
    r.Skip(4);
    const uint8_t counters = r.U8();
    m_state.triesLeft = static_cast<uint8_t>(counters >> 4);
    m_state.maxTries = static_cast<uint8_t>(counters & 0x0F);
}

// Two leading bytes, then one 3-byte entry per verified object, its identifier first.
void CPinHelix::ReadVerifiedState() {
    const ByteVector list = m_applet.Exchange(helix::VerifiedObjects());
    Reader r(list, Failure::Apdu(sw::kCorruptedData, u"IAppPin::SelectPin"));
    r.Skip(2);
    bool verified = false;
    while (!r.AtEnd()) verified = r.Take(3)[0] == m_selectedId || verified;
    m_state.verified = verified ? 0xFF : 0x00;
}

void CPinHelix::VerifyPin(ByteSpan value) {
    if (m_selectedId == kThirdId) HELIX_NOT_SUPPORTED("IAppPin::VerifyPin");
    if (const std::optional<SecretBytes> record = SessionRecord(value)) {
        VerifySession(*record);
        return;
    }
    // With nothing selected the value can only be the user's PIN, which never goes out in clear.
    if (m_selected.empty()) SelectPin(GetUserPinRef());
    const bool user = m_selected == m_userPin;
    if (!user) CheckCommandData(value, u"IAppPin::VerifyPin");
    LowerTries();
    if (user) {
        PresentProtected(value);
    } else {
        PresentPlain(value);
    }
    MarkVerified();
}

std::optional<SecretBytes> CPinHelix::SessionRecord(ByteSpan value) {
    if (value.size != kSessionTextSize) return std::nullopt;
    const SecretBytes data =
        Base64DecodeSecret(std::string_view(reinterpret_cast<const char*>(value.data), value.size));
    if (data.size() != kCheckValueSize + 2 + kSessionRecordSize) return std::nullopt;
    const ByteSpan checked(data.data() + kCheckValueSize, data.size() - kCheckValueSize);
    if (checked[0] != 0x01 || checked[1] != 0x81) return std::nullopt;
    std::array<uint8_t, kCheckValueSize> check{};
    const WipeGuard checkGuard(check.data(), check.size());
    DeriveKey24(checked, check.data(), check.size());
    if (!SameBytes(check.data(), data.data(), check.size())) return std::nullopt;
    return SecretBytes(checked.begin() + 2, checked.end());
}

// The biometric part goes to its own object; the text part is the user PIN's. A record that
// carries neither cannot verify anyone.
void CPinHelix::VerifySession(const SecretBytes& record) {
    const uint32_t kind = static_cast<uint32_t>(record[0]) | static_cast<uint32_t>(record[1]) << 8 |
                          static_cast<uint32_t>(record[2]) << 16 | static_cast<uint32_t>(record[3]) << 24;
    const ByteSpan biometric(record.data() + kBiometricOffset, kBiometricSize);
    const SecretBytes text = IdentityText(record);
    const bool biometricGiven =
        std::any_of(biometric.begin(), biometric.end(), [](uint8_t b) { return b != 0; });
    const bool biometricPart =
        kind == kKindFinger || kind == kKindFingerAndPin || (kind == kKindFingerOptional && biometricGiven);
    const bool textPart = kind == kKindPin || kind == kKindFingerAndPin || !text.empty();
    if (!biometricPart && !textPart)
        ThrowAPDUException(sw::kVerificationFailed, u"IAppPin::VerifyPin", __LINE__);

    const PinReference user = GetUserPinRef();
    if (m_selected != user) SelectPin(user);
    LowerTries();
    if (biometricPart) m_applet.Bio()->VerifyBiometric(static_cast<uint8_t>(kind), biometric);
    if (textPart) PresentProtected(Span(text));
    MarkVerified();
}

// The cryptogram is 3DES-CBC(k, zero IV, r || c): k the first 16 bytes of SHA-1(PIN), r from the
// host, c from the card.
void CPinHelix::PresentProtected(ByteSpan pin) {
    const SecretBytes key = PinKey(pin);
    SecretBytes block;
    block.reserve(2 * kChallengeSize);
    const SecretBytes hostRandom = RandomSecret(kChallengeSize);
    const ByteVector challenge = GetChallenge();
    block.insert(block.end(), hostRandom.begin(), hostRandom.end());
    block.insert(block.end(), challenge.begin(), challenge.end());

    const ByteVector cryptogram = TdesCbcEncrypt(Span(key), Span(block));
    (void)m_applet.Exchange(helix::VerifyProtected(cryptogram));
}

void CPinHelix::PresentPlain(ByteSpan value) {
    (void)m_applet.Exchange(helix::Verify(0x00, value));
}

void CPinHelix::ChangePin(ByteSpan newValue) {
    CheckNewPin(newValue, u"IAppPin::ChangePin");
    SetPinValue(newValue);
}

void CPinHelix::UnblockPin(ByteSpan newValue) {
    CheckNewPin(newValue, u"IAppPin::UnblockPin");
    (void)m_applet.Exchange(helix::ResetRetryCounter());
    SetPinValue(newValue);
}

void CPinHelix::SetPinValue(ByteSpan newValue) {
    ByteVector command = helix::SetPinValue(newValue).Encode();
    const WipeGuard guard(command.data(), command.size());
    ByteVector answer;
    m_applet.Pack()->SecureSend(command, answer);
}

void CPinHelix::Logout() {
    (void)m_applet.Exchange(helix::Logout(static_cast<uint8_t>(m_selectedId & 0xFF)));
}

ByteVector CPinHelix::GetChallenge() {
    ByteVector challenge = m_applet.Exchange(helix::GetChallenge(kChallengeSize));
    if (challenge.size() != kChallengeSize)
        ThrowAPDUException(sw::kCorruptedData, u"IAppPin::GetChallenge", __LINE__);
    return challenge;
}

void CPinHelix::ExternalAuthenticate(ByteSpan answer) {
    CheckCommandData(answer, u"IAppPin::ExternalAuthenticate");
    LowerTries();
    (void)m_applet.Exchange(helix::ExternalAuthenticate(answer));
    MarkVerified();
}

void CPinHelix::LowerTries() {
    if (m_state.triesLeft != 0) --m_state.triesLeft;
}

void CPinHelix::MarkVerified() {
    m_state.triesLeft = m_state.maxTries;
    m_state.verified = 0xFF;
}

}  // namespace libapdu
