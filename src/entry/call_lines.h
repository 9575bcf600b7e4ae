// The log line of every entry point. Each line starts with the process id, the thread id and
// the record's two handles; a null string prints as nothing. Where a line has a second form,
// the form is chosen by which pointer argument is null.
#pragma once

#define HELIX_CALL "<P:%lu; T:%lu: hSCardCtx:0x%08X; hScard:0x%08X>: "

namespace entry::lines {

// A line with a form for a null pointer argument; a null `absent` writes no line at all.
struct Optional {
    const char* present;
    const char* absent;
};

// Lines naming a directory and a file: both, the file alone, the directory alone.
struct Names {
    const char* both;
    const char* noDirectory;
    const char* noFile;
};

constexpr const char* kAcquireContext = HELIX_CALL "CardAcquireContext(dwFlags: %d)";
constexpr const char* kAcquireProcess =
    "<ProcName: %s P:%lu; T:%lu: hSCardCtx:0x%08X; hScard:0x%08X>: CardAcquireContext()";
constexpr const char* kDeleteContext = HELIX_CALL "CardDeleteContext()";
constexpr const char* kQueryCapabilities = HELIX_CALL "CardQueryCapabilities()";
constexpr const char* kGetChallengeEx = HELIX_CALL "CardGetChallengeEx(PinId: %d)";
constexpr const char* kAuthenticateEx = HELIX_CALL "CardAuthenticateEx(PinId: %d, dwFlags: 0x%08X)";
constexpr const char* kChangeAuthenticatorEx =
    HELIX_CALL "CardChangeAuthenticatorEx(dwFlags: %d, dwAuthenticatingPinId: %d, dwTargetPinId: %d)";
constexpr const char* kDeauthenticateEx = HELIX_CALL "CardDeauthenticateEx(PinId: %d, Flags: 0x%x)";
constexpr const char* kDeleteContainer = HELIX_CALL "CardDeleteContainer()";
constexpr const char* kCreateContainer =
    HELIX_CALL "CardCreateContainer(bContainerIndex: %d, dwFlags: %d, dwKeySpec: %d, dwKeySize: %d)";
constexpr const char* kCreateContainerEx = HELIX_CALL
    "CardCreateContainerEx(bContainerIndex: %d, dwFlags: %x, dwKeySpec: %x, dwKeySize: %d, PinId: %d)";
constexpr const char* kGetContainerInfo =
    HELIX_CALL "CardGetContainerInfo(bContainerIndex: %d, dwFlags: %d)\n";
constexpr Optional kAuthenticatePin{HELIX_CALL "CardAuthenticatePin(pwszUserId: %ws)", nullptr};
constexpr const char* kGetChallenge = HELIX_CALL "CardGetChallenge()";
constexpr const char* kAuthenticateChallenge = HELIX_CALL "CardAuthenticateChallenge()";
constexpr const char* kUnblockPin = HELIX_CALL "CardUnblockPin(pwszUserId: %ws, dwFlags: %d)";
constexpr Optional kChangeAuthenticator{
    HELIX_CALL "CardChangeAuthenticator(pwszUserId: %ws, cRetryCount: %d, dwFlags: %d)",
    HELIX_CALL "CardChangeAuthenticator(pwszUserId: , cRetryCount: %d, dwFlags: %d)"};
constexpr const char* kDeauthenticate = HELIX_CALL "CardDeauthenticate(pwszUserId: %ws, dwFlags: %d)";
// These two have prefixes of their own.
constexpr Optional kCreateDirectory{
    "<P:%lu; T:%lu; hSCardCtx:0x%08X; hScard:0x%08X>: CardCreateDirectory(pszDirectoryName: %s, "
    "AccessCondition: %d)",
    "<P:%lu; T:%lu; hSCardCtx:0x%08X; hScard:0x%08X>: CardCreateDirectory(pszDirectoryName: , "
    "AccessCondition: %d)"};
constexpr Optional kDeleteDirectory{
    "P:%lu; T:%lu; hSCardCtx:0x%08X; hScard:0x%08X> CardDeleteDirectory(pszDirectoryName: %s)",
    "P:%lu; T:%lu; hSCardCtx:0x%08X; hScard:0x%08X> CardDeleteDirectory(pszDirectoryName: )"};
// A null file name drops the directory name too.
constexpr Names kCreateFile{
    HELIX_CALL "CardCreateFile(pszDirectoryName: %s, pszFileName: %s, cbInitialCreationSize: %d)",
    HELIX_CALL "CardCreateFile(pszDirectoryName: , pszFileName: %s, cbInitialCreationSize: %d)",
    HELIX_CALL "CardCreateFile(pszDirectoryName: , pszFileName: , cbInitialCreationSize: %d)"};
constexpr Names kReadFile{HELIX_CALL "CardReadFile(pszDirectoryName: %s, pszFileName: %s, dwFlags: %d)",
                          HELIX_CALL "CardReadFile(pszDirectoryName: , pszFileName: %s, dwFlags: %d)",
                          HELIX_CALL "CardReadFile(pszDirectoryName: %s, pszFileName: , dwFlags: %d)"};
constexpr Names kWriteFile{HELIX_CALL "CardWriteFile(pszDirectoryName: %s, pszFileName: %s, dwFlags: %d)",
                           HELIX_CALL "CardWriteFile(pszDirectoryName: , pszFileName: %s, dwFlags: %d)",
                           HELIX_CALL "CardWriteFile(pszDirectoryName: %s, pszFileName: , dwFlags: %d)"};
constexpr Names kDeleteFile{HELIX_CALL "CardDeleteFile(pszDirectoryName: %s, pszFileName: %s, dwFlags: %d)",
                            HELIX_CALL "CardDeleteFile(pszDirectoryName: , pszFileName: %s, dwFlags: %d)",
                            HELIX_CALL "CardDeleteFile(pszDirectoryName: %s, pszFileName: , dwFlags: %d)"};
constexpr Names kGetFileInfo{HELIX_CALL "CardGetFileInfo(pszDirectoryName: %s, pszFileName: %s)",
                             HELIX_CALL "CardGetFileInfo(pszDirectoryName: , pszFileName: %s)",
                             HELIX_CALL "CardGetFileInfo(pszDirectoryName: %s, pszFileName: )"};
constexpr const char* kEnumFiles = HELIX_CALL "CardEnumFiles(pszDirectoryName: %s)";
constexpr const char* kQueryFreeSpace = HELIX_CALL "CardQueryFreeSpace(dwFlags: %d)";
constexpr const char* kQueryKeySizes = HELIX_CALL "CardQueryKeySizes(dwKeySpec: %d, dwFlags: %d)";
constexpr Optional kRSADecrypt{HELIX_CALL "CardRSADecrypt( dwPaddingType: %d )",
                               HELIX_CALL "CardRSADecrypt( pInfo = NULL )"};
constexpr Optional kSignData{HELIX_CALL
                             "CardSignData(dwSigningFlags: 0x%08X, dwPaddingType: %d, szDataToSign: %d)",
                             HELIX_CALL "CardSignData(pInfo = NULL)"};
constexpr Optional kConstructDHAgreement{HELIX_CALL
                                         "CardConstructDHAgreement( pAgreementInfo->bContainerIndex: %d )",
                                         HELIX_CALL "CardConstructDHAgreement( pAgreementInfo = NULL )"};
constexpr Optional kDeriveKey{HELIX_CALL "CardDeriveKey( bSecretAgreementIndex: %d )",
                              HELIX_CALL "CardDeriveKey( pAgreementInfo = NULL )"};
constexpr const char* kDestroyDHAgreement = HELIX_CALL "CardDestroyDHAgreement( bSecretAgreementIndex: %d )";
constexpr const char* kGetContainerProperty =
    HELIX_CALL "CardGetContainerProperty(bContainerIndex :%d, wszProperty: %ws)";
constexpr const char* kSetContainerProperty =
    HELIX_CALL "CardSetContainerProperty(bContainerIndex :%d, wszProperty: %ws)";
constexpr const char* kGetProperty = HELIX_CALL "CardGetProperty(wszProperty: %ws, dwFlags: %d)";
constexpr const char* kSetProperty = HELIX_CALL "CardSetProperty(wszProperty: %ws, dwFlags: %d)";

// The operations this module does not offer, in either mode.
constexpr const char* kMDImportSessionKey = HELIX_CALL "MDImportSessionKey(pwszBlobType: %ws)";
constexpr const char* kMDEncryptData = HELIX_CALL "MDEncryptData(pwszSecureFunction: %ws)";
constexpr const char* kGetSharedKeyHandle = HELIX_CALL "CardGetSharedKeyHandle()";
constexpr const char* kDestroyKey = HELIX_CALL "CardDestroyKey()";
constexpr const char* kGetAlgorithmProperty = HELIX_CALL "CardGetAlgorithmProperty(pwszProperty: %ws)";
constexpr const char* kGetKeyProperty = HELIX_CALL "CardGetKeyProperty(wszProperty: %ws)";
constexpr const char* kSetKeyProperty = HELIX_CALL "CardSetKeyProperty(wszProperty: %ws)";
constexpr const char* kImportSessionKey =
    HELIX_CALL "CardImportSessionKey(bContainerIndex: %d, pwszBlobType: %ws)";
constexpr const char* kProcessEncryptedData = HELIX_CALL "CardProcessEncryptedData(pwszSecureFunction: %ws)";

}  // namespace entry::lines

#undef HELIX_CALL
