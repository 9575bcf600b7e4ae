#pragma once

#include <optional>

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CPinCommon : public IAppPin, public IAPDUDefinitions {
protected:
    // Learns where the card keeps its authentication objects; the reference getters run it once.
    virtual void LoadPinInfo() = 0;
};

// The Helix authentication objects: 0x01 (third), 0x10 (administrator key), 0x20 (PIN) and the
// biometric objects 0x23 to 0x25, all directly under 3F00. The user PIN's identifier is the
// card's to say.
class CPinHelix final : public CPinCommon {
public:
    explicit CPinHelix(CAppletHelix& applet);

    void SelectPin(const PinReference& reference) override;
    void VerifyPin(ByteSpan value) override;
    void ChangePin(ByteSpan newValue) override;
    void UnblockPin(ByteSpan newValue) override;
    void Logout() override;
    PinState GetPinState() override { return m_state; }
    PinReference GetUserPinRef() override;
    PinReference GetAdminKeyRef() override;
    PinReference GetAuxPinRef() override;
    uint8_t GetPinParameter() override;
    ByteVector GetChallenge() override;
    void ExternalAuthenticate(ByteSpan answer) override;

private:
    void LoadPinInfo() override;
    void EnsureLoaded();

    // Selects an authentication object by path; returns the value of its tag 85.
    ByteVector SelectObject(const PinReference& reference);
    // Tries left (high nibble) and maximum tries (low nibble) from byte 4 of an object's tag 85.
    void ReadCounters(const ByteVector& objectInfo);
    void ReadVerifiedState();

    // The 129-byte record carried by a session verify text, or nothing when the value is not one.
    static std::optional<SecretBytes> SessionRecord(ByteSpan value);
    void VerifySession(const SecretBytes& record);
    // The PIN never travels in clear: 3DES(SHA-1(PIN), host random || card challenge).
    void PresentProtected(ByteSpan pin);
    void PresentPlain(ByteSpan value);
    void SetPinValue(ByteSpan newValue);

    // The host's count drops before the card answers, so a failure leaves it one lower.
    void LowerTries();
    void MarkVerified();

    CAppletHelix& m_applet;
    PinReference m_userPin;
    PinReference m_adminKey;
    PinReference m_thirdRef;
    bool m_loaded = false;
    PinReference m_selected;
    uint16_t m_selectedId = 0;
    PinState m_state;
    // Combined and biometric objects keep their counters here.
    const PinReference m_pinObject{kMasterFile, 0x20};
};

}  // namespace libapdu
