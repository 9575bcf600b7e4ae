// One card connection as the Windows stack holds it: a CARD_DATA filled with the host's services,
// the reader's handles and ATR, handed to CardAcquireContext; then the module's entry points,
// each returning its status and handing back what the module allocated as host-owned bytes.
#pragma once

#include <string>
#include <vector>

#include "mdhost/host_services.h"
#include "mdhost/readers.h"
#include "platform/minidriver.h"

namespace mdhost {

struct ContainerKeys {
    Bytes signature;
    Bytes keyExchange;
};

// The transaction the Windows stack holds around every call but CardDeleteContext; the module's
// own short transactions nest inside it. None when it cannot begin (a reset card): the module
// then meets the reset itself.
class CCallerTransaction {
public:
    explicit CCallerTransaction(ICardReader& reader) : m_reader(reader), m_held(reader.BeginTransaction()) {}
    ~CCallerTransaction() {
        if (m_held) m_reader.EndTransaction();
    }
    CCallerTransaction(const CCallerTransaction&) = delete;
    CCallerTransaction& operator=(const CCallerTransaction&) = delete;

private:
    ICardReader& m_reader;
    bool m_held;
};

class CMinidriverSession {
public:
    CMinidriverSession(PFN_CARD_ACQUIRE_CONTEXT acquire, ICardReader& reader);
    // CardDeleteContext when the context was acquired.
    ~CMinidriverSession();
    CMinidriverSession(const CMinidriverSession&) = delete;
    CMinidriverSession& operator=(const CMinidriverSession&) = delete;

    // Reads the ATR from the reader and calls CardAcquireContext.
    DWORD Acquire();
    DWORD DeleteContext();
    // The reader's reconnection after a reset; the module keeps the same handles.
    DWORD Reconnect() { return m_reader.Reconnect(); }

    DWORD ReadFile(const char* directory, const char* name, Bytes& content);
    DWORD EnumFiles(const char* directory, std::vector<std::string>& names);
    DWORD QueryCapabilities(CARD_CAPABILITIES& capabilities);
    DWORD QueryFreeSpace(CARD_FREE_SPACE_INFO& space);
    DWORD QueryKeySizes(DWORD keySpec, CARD_KEY_SIZES& sizes);
    DWORD GetContainerInfo(BYTE index, ContainerKeys& keys);
    DWORD WriteFile(const char* directory, const char* name, const Bytes& content);
    // Access condition: the user writes, everyone reads.
    DWORD CreateFile(const char* directory, const char* name, DWORD initialSize);
    DWORD DeleteFile(const char* directory, const char* name);

    // The user's PIN; `attempts` is what the module reports of the tries left.
    DWORD AuthenticateUser(const Bytes& pin, DWORD& attempts);
    DWORD DeauthenticateUser();
    // The same through CardAuthenticateEx.
    DWORD AuthenticateUserEx(const Bytes& pin, DWORD& attempts);
    // The user's PIN changed by the user: through CardChangeAuthenticatorEx, or (`older`) through
    // CardChangeAuthenticator with the name "user".
    DWORD ChangeUserPin(const Bytes& current, const Bytes& next, bool older, DWORD& attempts);
    // An administrator challenge (CardGetChallengeEx); the answer is the caller's to compute.
    DWORD AdminChallenge(Bytes& challenge);
    // The administrator's response through CardAuthenticateEx, or (`older`) CardAuthenticateChallenge.
    DWORD AuthenticateAdmin(const Bytes& response, bool older, DWORD& attempts);
    // The user's PIN set by the administrator's response: through CardChangeAuthenticatorEx, or
    // (`older`) through CardUnblockPin.
    DWORD UnblockUserPin(const Bytes& response, const Bytes& next, bool older);
    // CardAuthenticateEx for the user: a session PIN generated, or one presented.
    DWORD GenerateSessionPin(Bytes& sessionPin);
    DWORD AuthenticateSessionPin(const Bytes& sessionPin);
    // A card property read into a buffer of `size` bytes that starts with `initial` (the version
    // of a record, where the host sets one); `value` holds what the module says it wrote.
    DWORD GetProperty(LPCWSTR name, DWORD flags, DWORD size, Bytes& value, const Bytes& initial = {});
    DWORD SetProperty(LPCWSTR name, const Bytes& value, DWORD flags = 0);

    // Containers and their keys. A signature or decrypted block comes back as the module hands it
    // over (least significant byte first for RSA).
    DWORD CreateContainer(BYTE index, DWORD flags, DWORD keySpec, DWORD bits, const Bytes& keyData = {});
    DWORD DeleteContainer(BYTE index);
    DWORD SignData(CARD_SIGNING_INFO& info, const Bytes& data, Bytes& signature);
    DWORD RSADecrypt(CARD_RSA_DECRYPT_INFO& info, Bytes& data);
    // An agreement with the peer's public blob; `index` names the agreed secret in the module.
    DWORD ConstructDHAgreement(BYTE container, const Bytes& peerBlob, BYTE& index);
    // CardDeriveKey with the parameter list `list` (null: none); `key` receives the derived bytes.
    DWORD DeriveKey(const std::u16string& kdf, BYTE index, BCryptBufferDesc* list, Bytes& key);
    DWORD DestroyDHAgreement(BYTE index);

    const Bytes& Atr() const { return m_atr; }
    const CARD_DATA& Data() const { return m_data; }

private:
    // The module hands its buffers over with the host's allocator; the host copies and frees them.
    Bytes Take(PBYTE block, DWORD size) const;

    PFN_CARD_ACQUIRE_CONTEXT m_acquire;
    ICardReader& m_reader;
    CHostCache m_cache;
    Bytes m_atr;
    CARD_DATA m_data{};
    bool m_acquired = false;
};

}  // namespace mdhost
