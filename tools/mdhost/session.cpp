#include "mdhost/session.h"

#include <algorithm>

namespace mdhost {

namespace {

// The entry points take writable strings.
std::vector<char> Writable(const char* text) {
    if (text == nullptr) return {};
    std::vector<char> copy(text, text + std::char_traits<char>::length(text));
    copy.push_back(0);
    return copy;
}

LPSTR Pointer(std::vector<char>& text) {
    return text.empty() ? nullptr : text.data();
}

// A multi-string: names each ended by a zero, the list by an empty name.
std::vector<std::string> SplitMultiString(const Bytes& block) {
    std::vector<std::string> names;
    std::string current;
    for (const uint8_t byte : block) {
        if (byte != 0) {
            current.push_back(static_cast<char>(byte));
            continue;
        }
        if (current.empty()) break;
        names.push_back(current);
        current.clear();
    }
    if (!current.empty()) names.push_back(current);
    return names;
}

}  // namespace

CMinidriverSession::CMinidriverSession(PFN_CARD_ACQUIRE_CONTEXT acquire, ICardReader& reader)
    : m_acquire(acquire), m_reader(reader) {}

CMinidriverSession::~CMinidriverSession() {
    (void)DeleteContext();
}

DWORD CMinidriverSession::Acquire() {
    const CCallerTransaction held(m_reader);
    const DWORD rv = m_reader.Atr(m_atr);
    if (rv != SCARD_S_SUCCESS) return rv;
    m_data = CARD_DATA{};
    FillHostServices(m_data, m_cache);
    m_data.pbAtr = m_atr.data();
    m_data.cbAtr = static_cast<DWORD>(m_atr.size());
    m_data.hSCardCtx = m_reader.Context();
    m_data.hScard = m_reader.Card();
    const DWORD acquired = m_acquire(&m_data, 0);
    m_acquired = acquired == SCARD_S_SUCCESS;
    return acquired;
}

DWORD CMinidriverSession::DeleteContext() {
    if (!m_acquired) return SCARD_S_SUCCESS;
    m_acquired = false;
    return m_data.pfnCardDeleteContext == nullptr ? SCARD_E_UNEXPECTED : m_data.pfnCardDeleteContext(&m_data);
}

Bytes CMinidriverSession::Take(PBYTE block, DWORD size) const {
    if (block == nullptr) return {};
    Bytes copy(block, block + size);
    m_data.pfnCspFree(block);
    return copy;
}

DWORD CMinidriverSession::ReadFile(const char* directory, const char* name, Bytes& content) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardReadFile == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    std::vector<char> dir = Writable(directory);
    std::vector<char> file = Writable(name);
    PBYTE block = nullptr;
    DWORD size = 0;
    const DWORD rv = m_data.pfnCardReadFile(&m_data, Pointer(dir), Pointer(file), 0, &block, &size);
    content = Take(block, size);
    return rv;
}

DWORD CMinidriverSession::EnumFiles(const char* directory, std::vector<std::string>& names) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardEnumFiles == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    std::vector<char> dir = Writable(directory);
    LPSTR block = nullptr;
    DWORD size = 0;
    const DWORD rv = m_data.pfnCardEnumFiles(&m_data, Pointer(dir), &block, &size, 0);
    names = SplitMultiString(Take(reinterpret_cast<PBYTE>(block), size));  // NOLINT: a multi-string is bytes
    return rv;
}

DWORD CMinidriverSession::QueryCapabilities(CARD_CAPABILITIES& capabilities) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardQueryCapabilities == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    capabilities = CARD_CAPABILITIES{};
    capabilities.dwVersion = CARD_CAPABILITIES_CURRENT_VERSION;
    return m_data.pfnCardQueryCapabilities(&m_data, &capabilities);
}

DWORD CMinidriverSession::QueryFreeSpace(CARD_FREE_SPACE_INFO& space) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardQueryFreeSpace == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    space = CARD_FREE_SPACE_INFO{};
    space.dwVersion = CARD_FREE_SPACE_INFO_CURRENT_VERSION;
    return m_data.pfnCardQueryFreeSpace(&m_data, 0, &space);
}

DWORD CMinidriverSession::QueryKeySizes(DWORD keySpec, CARD_KEY_SIZES& sizes) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardQueryKeySizes == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    sizes = CARD_KEY_SIZES{};
    sizes.dwVersion = CARD_KEY_SIZES_CURRENT_VERSION;
    return m_data.pfnCardQueryKeySizes(&m_data, keySpec, 0, &sizes);
}

DWORD CMinidriverSession::GetContainerInfo(BYTE index, ContainerKeys& keys) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardGetContainerInfo == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    CONTAINER_INFO info{};
    info.dwVersion = CONTAINER_INFO_CURRENT_VERSION;
    const DWORD rv = m_data.pfnCardGetContainerInfo(&m_data, index, 0, &info);
    keys.signature = Take(info.pbSigPublicKey, info.cbSigPublicKey);
    keys.keyExchange = Take(info.pbKeyExPublicKey, info.cbKeyExPublicKey);
    return rv;
}

DWORD CMinidriverSession::WriteFile(const char* directory, const char* name, const Bytes& content) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardWriteFile == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    std::vector<char> dir = Writable(directory);
    std::vector<char> file = Writable(name);
    Bytes data = content;
    return m_data.pfnCardWriteFile(&m_data, Pointer(dir), Pointer(file), 0, data.data(),
                                   static_cast<DWORD>(data.size()));
}

DWORD CMinidriverSession::CreateFile(const char* directory, const char* name, DWORD initialSize) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardCreateFile == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    std::vector<char> dir = Writable(directory);
    std::vector<char> file = Writable(name);
    return m_data.pfnCardCreateFile(&m_data, Pointer(dir), Pointer(file), initialSize,
                                    EveryoneReadUserWriteAc);
}

DWORD CMinidriverSession::DeleteFile(const char* directory, const char* name) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardDeleteFile == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    std::vector<char> dir = Writable(directory);
    std::vector<char> file = Writable(name);
    return m_data.pfnCardDeleteFile(&m_data, Pointer(dir), Pointer(file), 0);
}

DWORD CMinidriverSession::AuthenticateUser(const Bytes& pin, DWORD& attempts) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardAuthenticatePin == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    WCHAR user[] = HELIX_WTEXT("user");
    Bytes value = pin;
    return m_data.pfnCardAuthenticatePin(&m_data, user, value.data(), static_cast<DWORD>(value.size()),
                                         &attempts);
}

DWORD CMinidriverSession::DeauthenticateUser() {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardDeauthenticate == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    WCHAR user[] = HELIX_WTEXT("user");
    return m_data.pfnCardDeauthenticate(&m_data, user, 0);
}

DWORD CMinidriverSession::GenerateSessionPin(Bytes& sessionPin) {
    const CCallerTransaction held(m_reader);
    sessionPin.clear();
    if (m_data.pfnCardAuthenticateEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    PBYTE block = nullptr;
    DWORD size = 0;
    const DWORD rv = m_data.pfnCardAuthenticateEx(&m_data, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN,
                                                  nullptr, 0, &block, &size, nullptr);
    sessionPin = Take(block, size);
    return rv;
}

DWORD CMinidriverSession::AuthenticateSessionPin(const Bytes& sessionPin) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardAuthenticateEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes value = sessionPin;
    return m_data.pfnCardAuthenticateEx(&m_data, ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, value.data(),
                                        static_cast<DWORD>(value.size()), nullptr, nullptr, nullptr);
}

DWORD CMinidriverSession::AuthenticateUserEx(const Bytes& pin, DWORD& attempts) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardAuthenticateEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes value = pin;
    return m_data.pfnCardAuthenticateEx(&m_data, ROLE_USER, 0, value.data(), static_cast<DWORD>(value.size()),
                                        nullptr, nullptr, &attempts);
}

DWORD CMinidriverSession::ChangeUserPin(const Bytes& current, const Bytes& next, bool older,
                                        DWORD& attempts) {
    const CCallerTransaction held(m_reader);
    Bytes from = current;
    Bytes to = next;
    if (older) {
        if (m_data.pfnCardChangeAuthenticator == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
        WCHAR user[] = HELIX_WTEXT("user");
        return m_data.pfnCardChangeAuthenticator(&m_data, user, from.data(), static_cast<DWORD>(from.size()),
                                                 to.data(), static_cast<DWORD>(to.size()), 0,
                                                 CARD_AUTHENTICATE_PIN_PIN, &attempts);
    }
    if (m_data.pfnCardChangeAuthenticatorEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    return m_data.pfnCardChangeAuthenticatorEx(&m_data, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, from.data(),
                                               static_cast<DWORD>(from.size()), ROLE_USER, to.data(),
                                               static_cast<DWORD>(to.size()), 0, &attempts);
}

DWORD CMinidriverSession::AdminChallenge(Bytes& challenge) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardGetChallengeEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    PBYTE block = nullptr;
    DWORD size = 0;
    const DWORD rv = m_data.pfnCardGetChallengeEx(&m_data, ROLE_ADMIN, &block, &size, 0);
    challenge = Take(block, size);
    return rv;
}

DWORD CMinidriverSession::AuthenticateAdmin(const Bytes& response, bool older, DWORD& attempts) {
    const CCallerTransaction held(m_reader);
    Bytes value = response;
    if (older) {
        if (m_data.pfnCardAuthenticateChallenge == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
        return m_data.pfnCardAuthenticateChallenge(&m_data, value.data(), static_cast<DWORD>(value.size()),
                                                   &attempts);
    }
    if (m_data.pfnCardAuthenticateEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    return m_data.pfnCardAuthenticateEx(&m_data, ROLE_ADMIN, 0, value.data(),
                                        static_cast<DWORD>(value.size()), nullptr, nullptr, &attempts);
}

DWORD CMinidriverSession::UnblockUserPin(const Bytes& response, const Bytes& next, bool older) {
    const CCallerTransaction held(m_reader);
    Bytes value = response;
    Bytes to = next;
    if (older) {
        if (m_data.pfnCardUnblockPin == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
        WCHAR user[] = HELIX_WTEXT("user");
        return m_data.pfnCardUnblockPin(&m_data, user, value.data(), static_cast<DWORD>(value.size()),
                                        to.data(), static_cast<DWORD>(to.size()), 0,
                                        CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
    }
    if (m_data.pfnCardChangeAuthenticatorEx == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    return m_data.pfnCardChangeAuthenticatorEx(&m_data, PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN, value.data(),
                                               static_cast<DWORD>(value.size()), ROLE_USER, to.data(),
                                               static_cast<DWORD>(to.size()), 0, nullptr);
}

DWORD CMinidriverSession::CreateContainer(BYTE index, DWORD flags, DWORD keySpec, DWORD bits,
                                          const Bytes& keyData) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardCreateContainer == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes data = keyData;
    return m_data.pfnCardCreateContainer(&m_data, index, flags, keySpec, bits,
                                         data.empty() ? nullptr : data.data());
}

DWORD CMinidriverSession::DeleteContainer(BYTE index) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardDeleteContainer == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    return m_data.pfnCardDeleteContainer(&m_data, index, 0);
}

DWORD CMinidriverSession::SignData(CARD_SIGNING_INFO& info, const Bytes& data, Bytes& signature) {
    const CCallerTransaction held(m_reader);
    signature.clear();
    if (m_data.pfnCardSignData == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes input = data;
    info.pbData = input.data();
    info.cbData = static_cast<DWORD>(input.size());
    info.pbSignedData = nullptr;
    info.cbSignedData = 0;
    const DWORD rv = m_data.pfnCardSignData(&m_data, &info);
    signature = Take(info.pbSignedData, info.cbSignedData);
    info.pbData = nullptr;
    info.pbSignedData = nullptr;
    return rv;
}

DWORD CMinidriverSession::RSADecrypt(CARD_RSA_DECRYPT_INFO& info, Bytes& data) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardRSADecrypt == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    info.pbData = data.data();
    info.cbData = static_cast<DWORD>(data.size());
    const DWORD rv = m_data.pfnCardRSADecrypt(&m_data, &info);
    data.resize(std::min<size_t>(info.cbData, data.size()));
    info.pbData = nullptr;
    return rv;
}

DWORD CMinidriverSession::ConstructDHAgreement(BYTE container, const Bytes& peerBlob, BYTE& index) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardConstructDHAgreement == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes blob = peerBlob;
    CARD_DH_AGREEMENT_INFO info{};
    info.dwVersion = CARD_DH_AGREEMENT_INFO_VERSION;
    info.bContainerIndex = container;
    info.dwPublicKey = static_cast<DWORD>(blob.size());
    info.pbPublicKey = blob.data();
    const DWORD rv = m_data.pfnCardConstructDHAgreement(&m_data, &info);
    index = info.bSecretAgreementIndex;
    return rv;
}

DWORD CMinidriverSession::DeriveKey(const std::u16string& kdf, BYTE index, BCryptBufferDesc* list,
                                    Bytes& key) {
    const CCallerTransaction held(m_reader);
    key.clear();
    if (m_data.pfnCardDeriveKey == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    std::basic_string<WCHAR> name(kdf.begin(), kdf.end());
    CARD_DERIVE_KEY info{};
    info.dwVersion = CARD_DERIVE_KEY_VERSION;
    info.pwszKDF = name.c_str();
    info.bSecretAgreementIndex = index;
    info.pParameterList = list;
    const DWORD rv = m_data.pfnCardDeriveKey(&m_data, &info);
    key = Take(info.pbDerivedKey, info.cbDerivedKey);
    return rv;
}

DWORD CMinidriverSession::DestroyDHAgreement(BYTE index) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardDestroyDHAgreement == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    return m_data.pfnCardDestroyDHAgreement(&m_data, index, 0);
}

DWORD CMinidriverSession::GetProperty(LPCWSTR name, DWORD flags, DWORD size, Bytes& value,
                                      const Bytes& initial) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardGetProperty == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes buffer(std::max<size_t>({size, initial.size(), 1}), 0);
    std::copy(initial.begin(), initial.end(), buffer.begin());
    DWORD length = 0;
    const DWORD rv = m_data.pfnCardGetProperty(&m_data, name, buffer.data(), size, &length, flags);
    value.assign(buffer.begin(),
                 buffer.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(length, size)));
    return rv;
}

DWORD CMinidriverSession::SetProperty(LPCWSTR name, const Bytes& value, DWORD flags) {
    const CCallerTransaction held(m_reader);
    if (m_data.pfnCardSetProperty == nullptr) return SCARD_E_UNSUPPORTED_FEATURE;
    Bytes data = value;
    return m_data.pfnCardSetProperty(&m_data, name, data.empty() ? nullptr : data.data(),
                                     static_cast<DWORD>(data.size()), flags);
}

}  // namespace mdhost
