// The token library's interfaces: the token, the applet object and one facet interface per area
// of what a card application can do. The order of the operations is part of the contract;
// slots that no family here fills are kept in their places. Every operation has a default body
// that fails with 0xFACE, so a family overrides only what it supports and the applet starts with
// a stub of every facet.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "libapdu/isender.h"
#include "libapdu/token/apdu.h"
#include "libapdu/token/failure.h"
#include "libapdu/types.h"

namespace libapdu {

[[noreturn]] inline void NotSupported(const char16_t* where, int line) {
    ThrowAPDUException(sw::kNotSupported, where, line);
}

#define HELIX_NOT_SUPPORTED(where) NotSupported(u##where, __LINE__)

// Command bytes shared by the applet families.
struct IAPDUDefinitions {
    static constexpr uint8_t kClaIso = 0x00;
    static constexpr uint8_t kClaProprietary = 0x80;
    static constexpr uint8_t kClaChaining = 0x10;
    static constexpr uint8_t kClaSecureMessaging = 0x0C;
};

class IAppFS {
public:
    virtual ~IAppFS() = default;
    virtual void SelectPath(CardPath /*path*/) { HELIX_NOT_SUPPORTED("IAppFS::SelectPath"); }
    virtual void CreateFile(uint16_t /*id*/, FileDescriptor /*descriptor*/, const ByteVector& /*content*/) {
        HELIX_NOT_SUPPORTED("IAppFS::CreateFile");
    }
    virtual void DeleteFile() { HELIX_NOT_SUPPORTED("IAppFS::DeleteFile"); }
    virtual FileDescriptor GetFileInfo() { HELIX_NOT_SUPPORTED("IAppFS::GetFileInfo"); }
    virtual std::vector<uint16_t> ListFiles(uint8_t /*kind*/) { HELIX_NOT_SUPPORTED("IAppFS::ListFiles"); }
    // `buffer` is presized to the number of bytes wanted and filled in place.
    virtual void ReadFile(ByteVector& /*buffer*/, uint32_t /*offset*/) {
        HELIX_NOT_SUPPORTED("IAppFS::ReadFile");
    }
    virtual void WriteFile(const ByteVector& /*data*/, uint32_t /*offset*/) {
        HELIX_NOT_SUPPORTED("IAppFS::WriteFile");
    }
    virtual void SelectByName(CardPath /*relative*/) { HELIX_NOT_SUPPORTED("IAppFS::SelectByName"); }
    virtual void SelectFid(uint16_t /*id*/) { HELIX_NOT_SUPPORTED("IAppFS::SelectFid"); }
    virtual void ResizeFile(uint16_t /*size*/) { HELIX_NOT_SUPPORTED("IAppFS::ResizeFile"); }
    virtual void Reserved11() { HELIX_NOT_SUPPORTED("IAppFS::Reserved11"); }
};

class IAppPin {
public:
    virtual ~IAppPin() = default;
    virtual void SelectPin(const PinReference& /*reference*/) { HELIX_NOT_SUPPORTED("IAppPin::SelectPin"); }
    virtual void VerifyPin(ByteSpan /*value*/) { HELIX_NOT_SUPPORTED("IAppPin::VerifyPin"); }
    virtual void ChangePin(ByteSpan /*newValue*/) { HELIX_NOT_SUPPORTED("IAppPin::ChangePin"); }
    virtual void UnblockPin(ByteSpan /*newValue*/) { HELIX_NOT_SUPPORTED("IAppPin::UnblockPin"); }
    virtual void Logout() { HELIX_NOT_SUPPORTED("IAppPin::Logout"); }
    virtual PinState GetPinState() { HELIX_NOT_SUPPORTED("IAppPin::GetPinState"); }
    virtual PinReference GetUserPinRef() { HELIX_NOT_SUPPORTED("IAppPin::GetUserPinRef"); }
    virtual PinReference GetAdminKeyRef() { HELIX_NOT_SUPPORTED("IAppPin::GetAdminKeyRef"); }
    virtual PinReference GetAuxPinRef() { HELIX_NOT_SUPPORTED("IAppPin::GetAuxPinRef"); }
    virtual uint8_t GetPinParameter() { HELIX_NOT_SUPPORTED("IAppPin::GetPinParameter"); }
    virtual ByteVector GetChallenge() { HELIX_NOT_SUPPORTED("IAppPin::GetChallenge"); }
    virtual void ExternalAuthenticate(ByteSpan /*answer*/) {
        HELIX_NOT_SUPPORTED("IAppPin::ExternalAuthenticate");
    }
    virtual void Reserved13() { HELIX_NOT_SUPPORTED("IAppPin::Reserved13"); }
    virtual void Reserved14() { HELIX_NOT_SUPPORTED("IAppPin::Reserved14"); }
    virtual void Reserved15() { HELIX_NOT_SUPPORTED("IAppPin::Reserved15"); }
    virtual void Reserved16() { HELIX_NOT_SUPPORTED("IAppPin::Reserved16"); }
    virtual void Reserved17() { HELIX_NOT_SUPPORTED("IAppPin::Reserved17"); }
};

class IAppInfo {
public:
    virtual ~IAppInfo() = default;
    // Appends `count` random bytes from the card to `out`.
    virtual void GetRandom(ByteVector& /*out*/, uint32_t /*count*/) {
        HELIX_NOT_SUPPORTED("IAppInfo::GetRandom");
    }
    virtual bool Constant2() { HELIX_NOT_SUPPORTED("IAppInfo::Constant2"); }
    virtual ByteVector GetData0003() { HELIX_NOT_SUPPORTED("IAppInfo::GetData0003"); }
    virtual ByteVector GetData0114() { HELIX_NOT_SUPPORTED("IAppInfo::GetData0114"); }
    virtual uint8_t Constant5() { HELIX_NOT_SUPPORTED("IAppInfo::Constant5"); }
    virtual uint32_t GetFreeMemory() { HELIX_NOT_SUPPORTED("IAppInfo::GetFreeMemory"); }
    virtual uint32_t GetTotalMemory() { HELIX_NOT_SUPPORTED("IAppInfo::GetTotalMemory"); }
    virtual void Reserved8() { HELIX_NOT_SUPPORTED("IAppInfo::Reserved8"); }
    virtual void Reserved9() { HELIX_NOT_SUPPORTED("IAppInfo::Reserved9"); }
    virtual void Reserved10() { HELIX_NOT_SUPPORTED("IAppInfo::Reserved10"); }
    virtual void Reserved11() { HELIX_NOT_SUPPORTED("IAppInfo::Reserved11"); }
};

class IAppLabel {
public:
    virtual ~IAppLabel() = default;
    virtual void ReadLabel(ByteVector& /*label*/) { HELIX_NOT_SUPPORTED("IAppLabel::ReadLabel"); }
    virtual void WriteLabel(const ByteVector& /*label*/) { HELIX_NOT_SUPPORTED("IAppLabel::WriteLabel"); }
    virtual uint8_t Constant3() { HELIX_NOT_SUPPORTED("IAppLabel::Constant3"); }
};

class IAppCrypto {
public:
    virtual ~IAppCrypto() = default;
    virtual void SelectKeyObject(CardPath /*path*/) { HELIX_NOT_SUPPORTED("IAppCrypto::SelectKeyObject"); }
    virtual void ImportKey(uint16_t /*keyObjectId*/, KeyRecord /*key*/) {
        HELIX_NOT_SUPPORTED("IAppCrypto::ImportKey");
    }
    virtual void Reserved3() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved3"); }
    virtual KeyObjectInfo GetKeyObjectInfo() { HELIX_NOT_SUPPORTED("IAppCrypto::GetKeyObjectInfo"); }
    virtual void Reserved5() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved5"); }
    virtual void Reserved6() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved6"); }
    virtual ByteVector Decipher(const ByteVector& /*input*/) { HELIX_NOT_SUPPORTED("IAppCrypto::Decipher"); }
    virtual void GenerateKeyPair(const uint8_t* /*parameter*/, uint32_t /*unused*/) {
        HELIX_NOT_SUPPORTED("IAppCrypto::GenerateKeyPair");
    }
    virtual void Reserved9() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved9"); }
    virtual void Reserved10() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved10"); }
    virtual void Reserved11() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved11"); }
    virtual void Reserved12() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved12"); }
    virtual void Reserved13() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved13"); }
    virtual void Reserved14() { HELIX_NOT_SUPPORTED("IAppCrypto::Reserved14"); }
    virtual ByteVector Sign(uint8_t /*keyReference*/, const ByteVector& /*auxiliary*/,
                            const ByteVector& /*data*/, bool /*raw*/) {
        HELIX_NOT_SUPPORTED("IAppCrypto::Sign");
    }
    virtual SecretBytes AgreeKey(const ByteVector& /*peerPublic*/, const ByteVector& /*auxiliary*/,
                                 uint8_t /*keyIndex*/, bool /*flag*/) {
        HELIX_NOT_SUPPORTED("IAppCrypto::AgreeKey");
    }
    virtual AlgorithmInfo GetAlgorithmInfo(uint16_t /*algorithm*/) {
        HELIX_NOT_SUPPORTED("IAppCrypto::GetAlgorithmInfo");
    }
};

class IAppPack {
public:
    virtual ~IAppPack() = default;
    // Sends `command` under a one-shot secure channel; appends the answer (status word last).
    virtual void SecureSend(const ByteVector& /*command*/, ByteVector& /*answer*/) {
        HELIX_NOT_SUPPORTED("IAppPack::SecureSend");
    }
    // Sends `command` in chained pieces; appends the answer data (status word checked, not appended).
    virtual void ChainedSend(const ByteVector& /*command*/, ByteVector& /*answer*/) {
        HELIX_NOT_SUPPORTED("IAppPack::ChainedSend");
    }
    virtual void Reserved3() { HELIX_NOT_SUPPORTED("IAppPack::Reserved3"); }
    virtual void Reserved4() { HELIX_NOT_SUPPORTED("IAppPack::Reserved4"); }
    virtual void Reserved5() { HELIX_NOT_SUPPORTED("IAppPack::Reserved5"); }
    virtual void Reserved6() { HELIX_NOT_SUPPORTED("IAppPack::Reserved6"); }
    virtual void Reserved7() { HELIX_NOT_SUPPORTED("IAppPack::Reserved7"); }
};

class IAppSession {
public:
    virtual ~IAppSession() = default;
    virtual void Reserved1() { HELIX_NOT_SUPPORTED("IAppSession::Reserved1"); }
    virtual void Reserved2() { HELIX_NOT_SUPPORTED("IAppSession::Reserved2"); }
    virtual void Reserved3() { HELIX_NOT_SUPPORTED("IAppSession::Reserved3"); }
    virtual void Reserved4() { HELIX_NOT_SUPPORTED("IAppSession::Reserved4"); }
    virtual void Reserved5() { HELIX_NOT_SUPPORTED("IAppSession::Reserved5"); }
    virtual void Reserved6() { HELIX_NOT_SUPPORTED("IAppSession::Reserved6"); }
    virtual void Reserved7() { HELIX_NOT_SUPPORTED("IAppSession::Reserved7"); }
    virtual void Reserved8() { HELIX_NOT_SUPPORTED("IAppSession::Reserved8"); }
    virtual void Reserved9() { HELIX_NOT_SUPPORTED("IAppSession::Reserved9"); }
};

class IAppBio {
public:
    virtual ~IAppBio() = default;
    // Presents a biometric value to a biometric authentication object.
    virtual void VerifyBiometric(uint8_t /*objectId*/, ByteSpan /*value*/) {
        HELIX_NOT_SUPPORTED("IAppBio::VerifyBiometric");
    }
    // Which authentication object guards the application: 32, 35, 36, 37, or 0.
    virtual uint32_t GetUserAuthKind() { HELIX_NOT_SUPPORTED("IAppBio::GetUserAuthKind"); }
    virtual void Reserved3() { HELIX_NOT_SUPPORTED("IAppBio::Reserved3"); }
    virtual void Reserved4() { HELIX_NOT_SUPPORTED("IAppBio::Reserved4"); }
    virtual void Reserved5() { HELIX_NOT_SUPPORTED("IAppBio::Reserved5"); }
    virtual void Reserved6() { HELIX_NOT_SUPPORTED("IAppBio::Reserved6"); }
    virtual void Reserved7() { HELIX_NOT_SUPPORTED("IAppBio::Reserved7"); }
    virtual void Reserved8() { HELIX_NOT_SUPPORTED("IAppBio::Reserved8"); }
    virtual void Reserved9() { HELIX_NOT_SUPPORTED("IAppBio::Reserved9"); }
    virtual void Reserved10() { HELIX_NOT_SUPPORTED("IAppBio::Reserved10"); }
    virtual void Reserved11() { HELIX_NOT_SUPPORTED("IAppBio::Reserved11"); }
    virtual void Reserved12() { HELIX_NOT_SUPPORTED("IAppBio::Reserved12"); }
    virtual void Reserved13() { HELIX_NOT_SUPPORTED("IAppBio::Reserved13"); }
    virtual void Reserved14() { HELIX_NOT_SUPPORTED("IAppBio::Reserved14"); }
    virtual void Reserved15() { HELIX_NOT_SUPPORTED("IAppBio::Reserved15"); }
    virtual void Reserved16() { HELIX_NOT_SUPPORTED("IAppBio::Reserved16"); }
    virtual void Reserved17() { HELIX_NOT_SUPPORTED("IAppBio::Reserved17"); }
    virtual void Reserved18() { HELIX_NOT_SUPPORTED("IAppBio::Reserved18"); }
    virtual void Reserved19() { HELIX_NOT_SUPPORTED("IAppBio::Reserved19"); }
};

class IAppError {
public:
    virtual ~IAppError() = default;
    // The last two bytes of a response, first byte high; 0 for a response shorter than two bytes.
    virtual uint16_t StatusWord(const ByteVector& response);
    // Returns for success, else throws the normalised word.
    virtual void Check(uint16_t word);

    // The two steps together, as every facet uses them.
    void CheckResponse(const ByteVector& response) { Check(StatusWord(response)); }
};

// The shared normalisation of card status words; nullopt means success.
std::optional<uint16_t> NormaliseStatusWord(uint16_t word);

// The applet object: owns one facet object per interface.
class IApplet {
public:
    explicit IApplet(ISender* sender);
    virtual ~IApplet();
    IApplet(const IApplet&) = delete;
    IApplet& operator=(const IApplet&) = delete;

    virtual void Select() {}
    virtual void Identify() {}
    virtual void FamilyCommand(uint32_t argument) { (void)argument; }

    ISender* Sender() const { return m_sender; }
    IAppError* Error() const { return m_error.get(); }
    IAppPack* Pack() const { return m_pack.get(); }
    IAppFS* FS() const { return m_fs.get(); }
    IAppPin* Pin() const { return m_pin.get(); }
    IAppInfo* Info() const { return m_info.get(); }
    IAppLabel* Label() const { return m_label.get(); }
    IAppCrypto* Crypto() const { return m_crypto.get(); }
    IAppBio* Bio() const { return m_bio.get(); }
    IAppSession* Session() const { return m_session.get(); }

    // Sends a command through the applet's sender and checks the answer with its error facet;
    // returns the answer without the status word.
    ByteVector Exchange(const Command& command);
    // Sends and returns the whole answer, status word included, unchecked. The encoded command
    // is wiped once sent: it may carry a PIN or a key.
    ByteVector Send(const Command& command);
    // Sends bytes as they are, for a command built elsewhere.
    ByteVector Transmit(const ByteVector& command);

protected:
    ISender* m_sender;
    std::unique_ptr<IAppError> m_error;
    std::unique_ptr<IAppPack> m_pack;
    std::unique_ptr<IAppFS> m_fs;
    std::unique_ptr<IAppPin> m_pin;
    std::unique_ptr<IAppInfo> m_info;
    std::unique_ptr<IAppLabel> m_label;
    std::unique_ptr<IAppCrypto> m_crypto;
    std::unique_ptr<IAppBio> m_bio;
    std::unique_ptr<IAppSession> m_session;
};

class IToken {
public:
    virtual ~IToken() = default;
    virtual bool Probe(uint16_t appletId) = 0;
    virtual void SelectAndIdentify(uint16_t appletId) = 0;
    virtual void Select(uint16_t appletId) = 0;
    virtual void CreateApplet(uint16_t appletId) = 0;
    virtual void AppletCommand(uint32_t argument) = 0;
    virtual IAppFS* GetFS() = 0;
    virtual IAppPin* GetPin() = 0;
    virtual IAppInfo* GetInfo() = 0;
    virtual IAppLabel* GetLabel() = 0;
    virtual IAppCrypto* GetCrypto() = 0;
    virtual IAppBio* GetBio() = 0;
    virtual IAppSession* GetSession() = 0;
    virtual IAppError* GetError() = 0;
};

// Applet identifiers of the families the library knows.
enum AppletId : uint16_t {
    kAppletArc = 0x1002,
    kAppletBolt = 0x2001,
    kAppletBoltManager = 0x2002,
    kAppletHelix = 0x2101,
    kAppletCedar = 0x2202,
    kAppletCedar2 = 0x2206,
    kAppletFlint = 0x2204,
    kAppletGrove = 0x2205,
    kAppletDune = 0x2207,
};

// The card module's only way to a token: takes the sender over.
std::unique_ptr<IToken> CreateToken(std::unique_ptr<ISender> sender);

}  // namespace libapdu
