// The card application's internals: objects, security state and the command set. Every object
// lives in one map keyed by a handle; parents and children refer to each other by handle only,
// so the whole persistent state is plain data that an image can hold.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "helixsim/apdu.h"
#include "helixsim/card.h"
#include "helixsim/crypto.h"
#include "helixsim/sm.h"

namespace helixsim {

enum class NodeKind : uint8_t { Df, Ef, Key, Auth };

// Tag 86 of an object of this kind: its number of two-byte rules, each beginning with 00.
bool WellFormedRules(const Bytes& access, NodeKind kind);

// Authentication object types (tag 85 byte 2).
inline constexpr uint8_t kAuthPin = 0x00;     // own value and counters, protected VERIFY
inline constexpr uint8_t kAuthKey = 0x01;     // 3DES key, own counters, EXTERNAL AUTHENTICATE
inline constexpr uint8_t kAuthShared = 0x10;  // biometric template; counters and PIN of 3F00/0020

inline constexpr uint8_t kPinObject = 0x20;
inline constexpr uint8_t kAdminObject = 0x10;
inline constexpr uint8_t kAuxObject = 0x01;

// Access-rule conditions (second byte of each two-byte rule in tag 86).
inline constexpr uint8_t kAlways = 0x00;
inline constexpr uint8_t kNever = 0xFF;
inline constexpr uint8_t kAnyVerified = 0x30;

// Rule positions in tag 86, per object kind.
enum class EfRule : uint8_t { Read, Update, Resize, DeleteOrRewrite };
enum class DfRule : uint8_t { CreateEf, CreateDf, CreateKey, Delete, List, Rewrite };
enum class KeyRule : uint8_t { ReadPublic, ExportPrivate, Rewrite, Use, GenerateOrImport, Reserved, Delete };

inline constexpr size_t kEfRules = 4;
inline constexpr size_t kDfRules = 6;
inline constexpr size_t kKeyRules = 7;

struct AuthObject {
    uint8_t type = kAuthPin;
    uint8_t triesLeft = 0;
    uint8_t maxTries = 0;
    Bytes secret;  // PIN bytes, 3DES key or biometric template
};

struct Node {
    uint32_t handle = 0;
    uint32_t parent = 0;  // 0 for the MF
    uint16_t fid = 0;
    NodeKind kind = NodeKind::Ef;
    Bytes access;       // tag 86
    Bytes name;         // tag 84
    Bytes usage;        // tag 85 of a key object
    Bytes domain;       // E1 of an elliptic-curve key object (domain parameters only)
    uint16_t size = 0;  // EF: content length; key object: key length in bytes
    Bytes content;
    std::vector<uint32_t> children;  // creation order
    AuthObject auth;
    std::optional<crypto::AsymKey> key;  // empty until generation or import
};

struct Answer {
    Bytes data;
    uint16_t sw = 0x9000;
};
inline Answer Status(uint16_t sw) {
    return Answer{{}, sw};
}

struct Command {
    Apdu apdu;
    bool insideSm = false;
};

class CardModel {
public:
    explicit CardModel(const Profile& profile);

    const Profile& GetProfile() const { return m_profile; }
    void Reset();
    Bytes Transmit(const Bytes& command);

    void LogCommand(const Bytes& command) { m_log.push_back(command); }
    const std::vector<Bytes>& CommandLog() const { return m_log; }
    void ClearCommandLog() { m_log.clear(); }

    std::optional<Bytes> FileContent(const CardPath& path) const;
    std::optional<uint8_t> TriesLeft(uint8_t objectId) const;
    uint32_t FreeMemory() const;
    std::optional<HelixCard::KeyObjectView> KeyObject(const CardPath& path) const;

    // Fixed-length answers: under a strict profile a missing or wrong non-zero Le answers 6Cxx.
    Answer Fixed(const Apdu& apdu, Bytes data) const;

    // image.cpp: the persistent state as one image, and a model rebuilt from one. FromImage
    // checks everything it reads and throws std::runtime_error for anything malformed.
    crypto::SecretBytes Image() const;
    static std::unique_ptr<CardModel> FromImage(const Bytes& image);

    // faults.cpp: power is lost while the card carries out `command`; no answer, then a reset.
    void TransmitTorn(const Bytes& command, uint32_t tearBytes);

private:
    // model.cpp: transport and dispatch
    Bytes Deliver(const Apdu& apdu, Answer answer);
    Bytes GetResponse(const Apdu& apdu);
    Answer Route(const Apdu& apdu);
    Answer WrappedPiece(const Apdu& apdu);
    Answer Execute(const Command& cmd);
    Answer SelectApplet(const Apdu& apdu);
    void ClearSecurityState();

    // files.cpp
    Answer SelectByPath(const Apdu& apdu);
    Answer SelectById(const Apdu& apdu);
    Answer SelectByName(const Apdu& apdu);
    Answer ReadBinary(const Apdu& apdu);
    Answer UpdateBinary(const Apdu& apdu);
    Answer CreateFile(const Command& cmd);
    Answer DeleteFile(const Apdu& apdu);
    Answer ListChildren(const Apdu& apdu);
    Answer ResizeFile(const Apdu& apdu);
    Answer RewriteAttributes(const Apdu& apdu);
    Answer Select(uint32_t handle);
    Bytes Fcp(const Node& node) const;
    std::optional<uint32_t> FindChild(uint32_t df, uint16_t fid) const;
    std::optional<uint32_t> Resolve(const CardPath& path) const;
    bool InNamedArea(uint32_t handle) const;
    uint32_t AddNode(Node node);
    void RemoveNode(uint32_t handle);
    uint32_t UsedMemory() const;
    static uint32_t Footprint(const Node& node);

    // access.cpp
    bool Permits(const Node& node, size_t rule) const;
    bool ConditionMet(uint8_t condition) const;
    bool IsVerified(uint8_t objectId) const;

    // auth.cpp
    Answer GetChallenge(const Apdu& apdu);
    Answer VerifiedList(const Apdu& apdu);
    Answer Logout(const Apdu& apdu);
    Answer ProtectedVerify(const Apdu& apdu);
    Answer PlainVerify(const Apdu& apdu);
    Answer ExternalAuthenticate(const Apdu& apdu);
    Answer ResetRetryCounter(const Apdu& apdu);
    Answer SetPinValue(const Command& cmd);
    Node* AuthById(uint8_t objectId);
    const Node* AuthById(uint8_t objectId) const;
    Node* AuthTarget(uint8_t p2);
    Node* CounterOwner(Node& object);
    Answer Failed(Node& counterOwner);

    // info.cpp
    Answer GetData(const Apdu& apdu);

    // keys.cpp: key-object commands and key material carried by CREATE FILE
    Answer KeyCommand(const Command& cmd);
    Answer ImportKeyMaterial(Node& keyObject, const Bytes& material, const Command& cmd);
    Answer ReadPublicKey(const Apdu& apdu);
    Answer GenerateKeyPair(const Apdu& apdu);
    Answer SecurityOperation(const Apdu& apdu);
    Answer AgreeKey(const Apdu& apdu);
    Answer Capabilities(const Apdu& apdu) const;
    // The current key object ready for `use` (a usage bit), or the status word that refuses it.
    std::optional<uint16_t> Refusal(bool ec, uint8_t use) const;
    Node* CurrentKeyObject();

    // personalise.cpp
    void Personalise();
    uint32_t AddDf(uint32_t parent, uint16_t fid, Bytes access, Bytes name = {});
    uint32_t AddEf(uint32_t parent, uint16_t fid, Bytes access, Bytes content);
    void AddAuth(uint8_t id, AuthObject auth);

    Profile m_profile;

    // Persistent state.
    std::map<uint32_t, Node> m_nodes;
    uint32_t m_nextHandle = 1;
    Bytes m_serial;  // 6 bytes

    // Volatile state: lost on reset.
    bool m_appletSelected = false;
    uint32_t m_currentDf = 0;
    uint32_t m_currentFile = 0;
    uint32_t m_currentAuth = 0;  // authentication object last selected, 0 for none
    std::set<uint8_t> m_passed;  // objects whose own check passed since the reset
    Bytes m_challenge;
    Bytes m_pending;                // answer bytes waiting for GET RESPONSE
    std::optional<Apdu> m_chain;    // plain command chain being collected
    std::optional<Apdu> m_smChain;  // wrapped pieces collected so far (plaintext data)
    SmSession m_sm;

    std::vector<Bytes> m_log;
};

inline constexpr uint32_t kMf = 1;

// keys.cpp: key-object sizes in bytes. An elliptic-curve size names its curve; RSA sizes are
// those the card generates (4096 bits only when the profile offers it).
std::optional<crypto::Curve> CurveOfSize(uint16_t size);
bool IsRsaKeySize(uint16_t size, bool rsa4096);

}  // namespace helixsim
