// The module's object for one card connection, kept in CARD_DATA.pvVendorSpecific. Every entry
// point calls one of its methods; methods return normally on success and throw a status code
// (or a CAException) on failure. The methods live in one file per area of src/card/.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "card/login_state.h"
#include "channel/transaction.h"
#include "libapdu/libapdu.h"
#include "platform/minidriver.h"

// One slot of the container list: the record as the host wrote it and the public key cache.
struct ContainerEntry {
    CONTAINER_MAP_RECORD record{};
    uint32_t keyLengthCode = 0;  // card key length in bytes; 0 while unknown
    uint8_t publicKey[512] = {};
    uint32_t exponent = 0;
};

class CCardContext {
public:
    CCardContext();
    ~CCardContext();
    CCardContext(const CCardContext&) = delete;
    CCardContext& operator=(const CCardContext&) = delete;

    // Checks the record, recognises the ATR, opens the channel, selects the applet inside a
    // transaction and reads the biometric type (recognition.cpp).
    void Initialise(PCARD_DATA pCardData);
    // True when `atr` matches one of the recognised pattern/mask entries.
    static bool IsRecognisedAtr(const BYTE* atr, DWORD length);

    // Releases the token and caches and wipes the cached PIN (CardDeleteContext).
    void Delete(PCARD_DATA pCardData);
    void QueryCapabilities(PCARD_DATA pCardData, PCARD_CAPABILITIES pCardCapabilities);

    // Virtual card file system (files.cpp).
    void CreateDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName, CARD_DIRECTORY_ACCESS_CONDITION ac);
    void DeleteDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName);
    void CreateFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                    DWORD cbInitialCreationSize, CARD_FILE_ACCESS_CONDITION ac);
    void ReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                  PBYTE* ppbData, PDWORD pcbData);
    void WriteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                   PBYTE pbData, DWORD cbData);
    void DeleteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags);
    void EnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames, LPDWORD pdwcbFileName,
                   DWORD dwFlags);
    void GetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                     PCARD_FILE_INFO pCardFileInfo);
    void QueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags, PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo);
    void QueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags, PCARD_KEY_SIZES pKeySizes);

    // Containers: key generation and import, the public key, deletion (containers.cpp).
    void CreateContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                         DWORD dwKeySize, PBYTE pbKeyData);
    void DeleteContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwReserved);
    void GetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                          PCONTAINER_INFO pContainerInfo);

    // Authentication (authentication.cpp).
    void AuthenticatePin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin, DWORD cbPin,
                         PDWORD pcAttemptsRemaining);
    void GetChallenge(PCARD_DATA pCardData, PBYTE* ppbChallengeData, PDWORD pcbChallengeData);
    void AuthenticateChallenge(PCARD_DATA pCardData, PBYTE pbResponseData, DWORD cbResponseData,
                               PDWORD pcAttemptsRemaining);
    void UnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                    DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData, DWORD cRetryCount,
                    DWORD dwFlags);
    void ChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                             DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator, DWORD cbNewAuthenticator,
                             DWORD cRetryCount, DWORD dwFlags, PDWORD pcAttemptsRemaining);
    void Deauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags);
    void GetChallengeEx(PCARD_DATA pCardData, PIN_ID PinId, PBYTE* ppbChallengeData, PDWORD pcbChallengeData,
                        DWORD dwFlags);
    void AuthenticateEx(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags, PBYTE pbPinData, DWORD cbPinData,
                        PBYTE* ppbSessionPin, PDWORD pcbSessionPin, PDWORD pcAttemptsRemaining);
    void ChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                               PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                               PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                               DWORD cRetryCount, PDWORD pcAttemptsRemaining);
    void DeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags);

    // Private-key operations (key_operations.cpp).
    void SignData(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo);
    void RSADecrypt(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo);
    void ConstructDHAgreement(PCARD_DATA pCardData, PCARD_DH_AGREEMENT_INFO pAgreementInfo);
    void DeriveKey(PCARD_DATA pCardData, PCARD_DERIVE_KEY pAgreementInfo);
    void DestroyDHAgreement(PCARD_DATA pCardData, BYTE bSecretAgreementIndex, DWORD dwFlags);

    // Properties (properties.cpp).
    void GetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty, PBYTE pbData,
                              DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);
    void GetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData, PDWORD pdwDataLen,
                     DWORD dwFlags);
    void SetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen, DWORD dwFlags);

    // Card access prologues (channel.cpp). Re-selection: unless the administrator is logged in,
    // a new channel and token over pCardData->hScard, a transaction, applet selection, and the
    // transaction ends at once. The held form returns the transaction to the caller.
    void Reselect(PCARD_DATA pCardData);
    [[nodiscard]] std::unique_ptr<CTransactionGuard> SelectHeld(PCARD_DATA pCardData);
    // A new sender and token over the record's card handle, replacing the old ones.
    void CreateChannel(PCARD_DATA pCardData);
    // Presents the cached user PIN again when there is one; any failure is
    // SCARD_W_SECURITY_VIOLATION (authentication.cpp).
    void ReverifyCachedPin();

    libapdu::IToken& Token();
    TLoginState& Login() { return *m_login; }
    std::vector<ContainerEntry>& Containers() { return m_ContIdx; }

private:
    // Tests read the state that no entry point reports.

    // Property reads that go to the card (properties.cpp).
    uint32_t UserAuthKind(PCARD_DATA pCardData);
    void ReadCardIdentifier(PCARD_DATA pCardData, PBYTE pbData, DWORD cbData, PDWORD pdwDataLen);
    void ReadPinInformation(PCARD_DATA pCardData, PBYTE pbData, PDWORD pdwDataLen, DWORD pinId);

    // A session PIN from the outside authentication library's ticket (authentication.cpp).
    void GenerateSessionPin(PCARD_DATA pCardData, PBYTE* ppbSessionPin, PDWORD pcbSessionPin);

    // Re-selection that also presents the cached user PIN inside its transaction (channel.cpp).
    void ReselectWithPin(PCARD_DATA pCardData);
    // Length in bytes of the key under `reference` (RSA modulus, or one curve coordinate): from
    // the container list when it knows it, else from the card (key_operations.cpp).
    uint32_t KeyLength(PCARD_DATA pCardData, BYTE containerIndex, uint8_t reference);
    // The file cache is valid for the card handles it was filled under; adopting other handles
    // drops what was cached under the old ones (files.cpp).
    bool CacheCurrent(const CARD_DATA& data) const;
    void AdoptHandles(const CARD_DATA& data);

    std::map<uint8_t, libapdu::SecretBytes> m_agreements;
    std::unique_ptr<libapdu::IToken> m_token;
    std::shared_ptr<TLoginState> m_login;
    std::vector<ContainerEntry> m_ContIdx;
    SCARDCONTEXT m_hSCardCtx = 0;
    SCARDHANDLE m_hScard = 0;
    ULONG_PTR m_parentWindow = 0;
    DWORD m_cardidSize = 16;
    libapdu::ByteVector m_cardid;
    DWORD m_cardcfSize = 6;
    libapdu::ByteVector m_cardcf;
    DWORD m_biometricType = 0;
};
