// The entry points of the function table. Each one is the frame of call_frame.h around one
// method of the card context; the log lines are those of call_lines.h.
#include <algorithm>

#include "entry/call_frame.h"
#include "entry/call_lines.h"
#include "libapdu/token/failure.h"

namespace entry {

namespace {

// A call line with fixed arguments.
template <class... A>
auto Line(const char* format, A... args) {
    return [=](const CARD_DATA& cardData) { LogCall(cardData, format, args...); };
}

// A line naming a directory and a file, in the form that leaves out the null one; nothing
// when both are null.
template <class... A>
auto NamesLine(const lines::Names& line, LPCSTR directory, LPCSTR file, A... rest) {
    return [=, &line](const CARD_DATA& cardData) {
        if (directory != nullptr && file != nullptr) {
            LogCall(cardData, line.both, directory, file, rest...);
        } else if (file != nullptr) {
            LogCall(cardData, line.noDirectory, file, rest...);
        } else if (directory != nullptr) {
            LogCall(cardData, line.noFile, directory, rest...);
        }
    };
}

// The frame around one method of the record's context, its arguments passed on unchanged.
template <class Writer, class Method, class... A>
DWORD Forward(PCARD_DATA pCardData, Writer&& line, Method method, A... args) noexcept {
    return Framed(pCardData, line,
                  [&](const CARD_DATA& cardData) { (ContextOf(cardData).*method)(pCardData, args...); });
}

// For the operations this module does not offer: a line, no lock, no card.
template <class... A>
DWORD Unsupported(PCARD_DATA pCardData, const char* format, const A&... args) noexcept {
    if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
    LogCall(*pCardData, format, args...);
    return SCARD_E_UNSUPPORTED_FEATURE;
}

// A property read is shown as the bytes the method wrote, never beyond the caller's buffer.
void DumpResult(LPCWSTR property, const BYTE* data, DWORD capacity, const DWORD* length) noexcept {
    const DWORD written = (data == nullptr || length == nullptr) ? 0 : std::min(*length, capacity);
    MdLogHex(property, data, written, HexHeader::Arrow);
}

// Records of version 1 end before the padding type: it is read only where the host wrote it.
template <class Info>
DWORD PaddingType(const Info& info) {
    return info.dwVersion >= 2 ? info.dwPaddingType : 0;
}

DWORD WINAPI CardDeleteContext(PCARD_DATA pCardData) {
    const std::lock_guard<std::mutex> hold(CallLock());
    if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
    LogCall(*pCardData, lines::kDeleteContext);
    // Only a context this module created is released; the host's pointer goes with it.
    const std::unique_ptr<CCardContext> context = Release(pCardData->pvVendorSpecific);
    if (!context) return SCARD_S_SUCCESS;
    pCardData->pvVendorSpecific = nullptr;
    try {
        context->Delete(pCardData);
    } catch (...) {
        // Letting go of a card never fails.
    }
    return SCARD_S_SUCCESS;
}

DWORD WINAPI CardQueryCapabilities(PCARD_DATA pCardData, PCARD_CAPABILITIES pCardCapabilities) {
    return Forward(pCardData, Line(lines::kQueryCapabilities), &CCardContext::QueryCapabilities,
                   pCardCapabilities);
}

DWORD WINAPI CardDeleteContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwReserved) {
    return Forward(pCardData, Line(lines::kDeleteContainer), &CCardContext::DeleteContainer, bContainerIndex,
                   dwReserved);
}

DWORD WINAPI CardCreateContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                 DWORD dwKeySize, PBYTE pbKeyData) {
    return Forward(pCardData, Line(lines::kCreateContainer, bContainerIndex, dwFlags, dwKeySpec, dwKeySize),
                   &CCardContext::CreateContainer, bContainerIndex, dwFlags, dwKeySpec, dwKeySize, pbKeyData);
}

DWORD WINAPI CardCreateContainerEx(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                   DWORD dwKeySize, PBYTE pbKeyData, PIN_ID PinId) {
    return Framed(pCardData,
                  Line(lines::kCreateContainerEx, bContainerIndex, dwFlags, dwKeySpec, dwKeySize, PinId),
                  [&](const CARD_DATA& cardData) {
                      // Keys on this card are always the user's.
                      if (PinId == ROLE_ADMIN) ThrowStatus(SCARD_E_UNSUPPORTED_FEATURE);
                      if (PinId != ROLE_USER) ThrowStatus(SCARD_E_INVALID_PARAMETER);
                      ContextOf(cardData).CreateContainer(pCardData, bContainerIndex, dwFlags, dwKeySpec,
                                                          dwKeySize, pbKeyData);
                  });
}

DWORD WINAPI CardGetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                  PCONTAINER_INFO pContainerInfo) {
    return Forward(pCardData, Line(lines::kGetContainerInfo, bContainerIndex, dwFlags),
                   &CCardContext::GetContainerInfo, bContainerIndex, dwFlags, pContainerInfo);
}

DWORD WINAPI CardAuthenticatePin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin, DWORD cbPin,
                                 PDWORD pcAttemptsRemaining) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pwszUserId != nullptr) LogCall(cardData, lines::kAuthenticatePin.present, pwszUserId);
    };
    return Forward(pCardData, line, &CCardContext::AuthenticatePin, pwszUserId, pbPin, cbPin,
                   pcAttemptsRemaining);
}

DWORD WINAPI CardGetChallenge(PCARD_DATA pCardData, PBYTE* ppbChallengeData, PDWORD pcbChallengeData) {
    return Forward(pCardData, Line(lines::kGetChallenge), &CCardContext::GetChallenge, ppbChallengeData,
                   pcbChallengeData);
}

DWORD WINAPI CardAuthenticateChallenge(PCARD_DATA pCardData, PBYTE pbResponseData, DWORD cbResponseData,
                                       PDWORD pcAttemptsRemaining) {
    return Forward(pCardData, Line(lines::kAuthenticateChallenge), &CCardContext::AuthenticateChallenge,
                   pbResponseData, cbResponseData, pcAttemptsRemaining);
}

DWORD WINAPI CardUnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                            DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                            DWORD cRetryCount, DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kUnblockPin, pwszUserId, dwFlags), &CCardContext::UnblockPin,
                   pwszUserId, pbAuthenticationData, cbAuthenticationData, pbNewPinData, cbNewPinData,
                   cRetryCount, dwFlags);
}

DWORD WINAPI CardChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                                     DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                     DWORD cbNewAuthenticator, DWORD cRetryCount, DWORD dwFlags,
                                     PDWORD pcAttemptsRemaining) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pwszUserId != nullptr) {
            LogCall(cardData, lines::kChangeAuthenticator.present, pwszUserId, cRetryCount, dwFlags);
        } else {
            LogCall(cardData, lines::kChangeAuthenticator.absent, cRetryCount, dwFlags);
        }
    };
    return Forward(pCardData, line, &CCardContext::ChangeAuthenticator, pwszUserId, pbCurrentAuthenticator,
                   cbCurrentAuthenticator, pbNewAuthenticator, cbNewAuthenticator, cRetryCount, dwFlags,
                   pcAttemptsRemaining);
}

DWORD WINAPI CardDeauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kDeauthenticate, pwszUserId, dwFlags),
                   &CCardContext::Deauthenticate, pwszUserId, dwFlags);
}

DWORD WINAPI CardCreateDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName,
                                 CARD_DIRECTORY_ACCESS_CONDITION AccessCondition) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pszDirectoryName != nullptr) {
            LogCall(cardData, lines::kCreateDirectory.present, pszDirectoryName, AccessCondition);
        } else {
            LogCall(cardData, lines::kCreateDirectory.absent, AccessCondition);
        }
    };
    return Forward(pCardData, line, &CCardContext::CreateDirectory, pszDirectoryName, AccessCondition);
}

DWORD WINAPI CardDeleteDirectory(PCARD_DATA pCardData, LPSTR pszDirectoryName) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pszDirectoryName != nullptr) {
            LogCall(cardData, lines::kDeleteDirectory.present, pszDirectoryName);
        } else {
            LogCall(cardData, lines::kDeleteDirectory.absent);
        }
    };
    return Forward(pCardData, line, &CCardContext::DeleteDirectory, pszDirectoryName);
}

DWORD WINAPI CardCreateFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                            DWORD cbInitialCreationSize, CARD_FILE_ACCESS_CONDITION AccessCondition) {
    const auto line = [&](const CARD_DATA& cardData) {
        const lines::Names& form = lines::kCreateFile;
        if (pszFileName == nullptr) {
            LogCall(cardData, form.noFile, cbInitialCreationSize);
        } else if (pszDirectoryName == nullptr) {
            LogCall(cardData, form.noDirectory, pszFileName, cbInitialCreationSize);
        } else {
            LogCall(cardData, form.both, pszDirectoryName, pszFileName, cbInitialCreationSize);
        }
    };
    return Forward(pCardData, line, &CCardContext::CreateFile, pszDirectoryName, pszFileName,
                   cbInitialCreationSize, AccessCondition);
}

DWORD WINAPI CardReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                          PBYTE* ppbData, PDWORD pcbData) {
    return Forward(pCardData, NamesLine(lines::kReadFile, pszDirectoryName, pszFileName, dwFlags),
                   &CCardContext::ReadFile, pszDirectoryName, pszFileName, dwFlags, ppbData, pcbData);
}

DWORD WINAPI CardWriteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                           PBYTE pbData, DWORD cbData) {
    return Forward(pCardData, NamesLine(lines::kWriteFile, pszDirectoryName, pszFileName, dwFlags),
                   &CCardContext::WriteFile, pszDirectoryName, pszFileName, dwFlags, pbData, cbData);
}

DWORD WINAPI CardDeleteFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags) {
    return Forward(pCardData, NamesLine(lines::kDeleteFile, pszDirectoryName, pszFileName, dwFlags),
                   &CCardContext::DeleteFile, pszDirectoryName, pszFileName, dwFlags);
}

DWORD WINAPI CardEnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames,
                           LPDWORD pdwcbFileName, DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kEnumFiles, pszDirectoryName), &CCardContext::EnumFiles,
                   pszDirectoryName, pmszFileNames, pdwcbFileName, dwFlags);
}

DWORD WINAPI CardGetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                             PCARD_FILE_INFO pCardFileInfo) {
    return Forward(pCardData, NamesLine(lines::kGetFileInfo, pszDirectoryName, pszFileName),
                   &CCardContext::GetFileInfo, pszDirectoryName, pszFileName, pCardFileInfo);
}

DWORD WINAPI CardQueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags,
                                PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo) {
    return Forward(pCardData, Line(lines::kQueryFreeSpace, dwFlags), &CCardContext::QueryFreeSpace, dwFlags,
                   pCardFreeSpaceInfo);
}

DWORD WINAPI CardQueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags,
                               PCARD_KEY_SIZES pKeySizes) {
    return Forward(pCardData, Line(lines::kQueryKeySizes, dwKeySpec, dwFlags), &CCardContext::QueryKeySizes,
                   dwKeySpec, dwFlags, pKeySizes);
}

DWORD WINAPI CardSignData(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pInfo != nullptr) {
            LogCall(cardData, lines::kSignData.present, pInfo->dwSigningFlags, PaddingType(*pInfo),
                    pInfo->cbData);
        } else {
            LogCall(cardData, lines::kSignData.absent);
        }
    };
    return Forward(pCardData, line, &CCardContext::SignData, pInfo);
}

DWORD WINAPI CardRSADecrypt(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pInfo != nullptr) {
            LogCall(cardData, lines::kRSADecrypt.present, PaddingType(*pInfo));
        } else {
            LogCall(cardData, lines::kRSADecrypt.absent);
        }
    };
    return Forward(pCardData, line, &CCardContext::RSADecrypt, pInfo);
}

DWORD WINAPI CardConstructDHAgreement(PCARD_DATA pCardData, PCARD_DH_AGREEMENT_INFO pAgreementInfo) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pAgreementInfo != nullptr) {
            LogCall(cardData, lines::kConstructDHAgreement.present, pAgreementInfo->bContainerIndex);
        } else {
            LogCall(cardData, lines::kConstructDHAgreement.absent);
        }
    };
    return Forward(pCardData, line, &CCardContext::ConstructDHAgreement, pAgreementInfo);
}

DWORD WINAPI CardDeriveKey(PCARD_DATA pCardData, PCARD_DERIVE_KEY pAgreementInfo) {
    const auto line = [&](const CARD_DATA& cardData) {
        if (pAgreementInfo != nullptr) {
            LogCall(cardData, lines::kDeriveKey.present, pAgreementInfo->bSecretAgreementIndex);
        } else {
            LogCall(cardData, lines::kDeriveKey.absent);
        }
    };
    return Forward(pCardData, line, &CCardContext::DeriveKey, pAgreementInfo);
}

DWORD WINAPI CardDestroyDHAgreement(PCARD_DATA pCardData, BYTE bSecretAgreementIndex, DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kDestroyDHAgreement, bSecretAgreementIndex),
                   &CCardContext::DestroyDHAgreement, bSecretAgreementIndex, dwFlags);
}

// The host's own agreement lookup: this module keeps agreements to itself.
DWORD WINAPI CspGetDHAgreement(PCARD_DATA, PVOID, BYTE*, DWORD) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

DWORD WINAPI CardGetChallengeEx(PCARD_DATA pCardData, PIN_ID PinId, PBYTE* ppbChallengeData,
                                PDWORD pcbChallengeData, DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kGetChallengeEx, PinId), &CCardContext::GetChallengeEx, PinId,
                   ppbChallengeData, pcbChallengeData, dwFlags);
}

DWORD WINAPI CardAuthenticateEx(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags, PBYTE pbPinData,
                                DWORD cbPinData, PBYTE* ppbSessionPin, PDWORD pcbSessionPin,
                                PDWORD pcAttemptsRemaining) {
    return Forward(pCardData, Line(lines::kAuthenticateEx, PinId, dwFlags), &CCardContext::AuthenticateEx,
                   PinId, dwFlags, pbPinData, cbPinData, ppbSessionPin, pcbSessionPin, pcAttemptsRemaining);
}

DWORD WINAPI CardChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                                       PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                                       PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                                       DWORD cRetryCount, PDWORD pcAttemptsRemaining) {
    return Forward(
        pCardData, Line(lines::kChangeAuthenticatorEx, dwFlags, dwAuthenticatingPinId, dwTargetPinId),
        &CCardContext::ChangeAuthenticatorEx, dwFlags, dwAuthenticatingPinId, pbAuthenticatingPinData,
        cbAuthenticatingPinData, dwTargetPinId, pbTargetData, cbTargetData, cRetryCount, pcAttemptsRemaining);
}

DWORD WINAPI CardDeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kDeauthenticateEx, PinId, dwFlags), &CCardContext::DeauthenticateEx,
                   PinId, dwFlags);
}

DWORD WINAPI CardGetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                      PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags) {
    return Framed(pCardData, Line(lines::kGetContainerProperty, bContainerIndex, wszProperty),
                  [&](const CARD_DATA& cardData) {
                      ContextOf(cardData).GetContainerProperty(pCardData, bContainerIndex, wszProperty,
                                                               pbData, cbData, pdwDataLen, dwFlags);
                      DumpResult(wszProperty, pbData, cbData, pdwDataLen);
                  });
}

DWORD WINAPI CardSetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty, PBYTE,
                                      DWORD, DWORD) {
    const std::lock_guard<std::mutex> hold(CallLock());
    return Unsupported(pCardData, lines::kSetContainerProperty, bContainerIndex, wszProperty);
}

DWORD WINAPI CardGetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                             PDWORD pdwDataLen, DWORD dwFlags) {
    return Framed(pCardData, Line(lines::kGetProperty, wszProperty, dwFlags), [&](const CARD_DATA& cardData) {
        ContextOf(cardData).GetProperty(pCardData, wszProperty, pbData, cbData, pdwDataLen, dwFlags);
        DumpResult(wszProperty, pbData, cbData, pdwDataLen);
    });
}

DWORD WINAPI CardSetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                             DWORD dwFlags) {
    return Forward(pCardData, Line(lines::kSetProperty, wszProperty, dwFlags), &CCardContext::SetProperty,
                   wszProperty, pbData, cbDataLen, dwFlags);
}

DWORD WINAPI MDImportSessionKey(PCARD_DATA pCardData, LPCWSTR pwszBlobType, LPCWSTR, PCARD_KEY_HANDLE, PBYTE,
                                DWORD) {
    return Unsupported(pCardData, lines::kMDImportSessionKey, pwszBlobType);
}

DWORD WINAPI MDEncryptData(PCARD_DATA pCardData, CARD_KEY_HANDLE, LPCWSTR pwszSecureFunction, PBYTE, DWORD,
                           DWORD, PCARD_ENCRYPTED_DATA*, PDWORD) {
    return Unsupported(pCardData, lines::kMDEncryptData, pwszSecureFunction);
}

DWORD WINAPI CardImportSessionKey(PCARD_DATA pCardData, BYTE bContainerIndex, LPVOID, LPCWSTR pwszBlobType,
                                  LPCWSTR, PCARD_KEY_HANDLE, PBYTE, DWORD, DWORD) {
    return Unsupported(pCardData, lines::kImportSessionKey, bContainerIndex, pwszBlobType);
}

DWORD WINAPI CardGetSharedKeyHandle(PCARD_DATA pCardData, PBYTE, DWORD, PBYTE*, PDWORD, PCARD_KEY_HANDLE) {
    return Unsupported(pCardData, lines::kGetSharedKeyHandle);
}

DWORD WINAPI CardGetAlgorithmProperty(PCARD_DATA pCardData, LPCWSTR, LPCWSTR pwszProperty, PBYTE, DWORD,
                                      PDWORD, DWORD) {
    return Unsupported(pCardData, lines::kGetAlgorithmProperty, pwszProperty);
}

DWORD WINAPI CardGetKeyProperty(PCARD_DATA pCardData, CARD_KEY_HANDLE, LPCWSTR pwszProperty, PBYTE, DWORD,
                                PDWORD, DWORD) {
    return Unsupported(pCardData, lines::kGetKeyProperty, pwszProperty);
}

DWORD WINAPI CardSetKeyProperty(PCARD_DATA pCardData, CARD_KEY_HANDLE, LPCWSTR pwszProperty, PBYTE, DWORD,
                                DWORD) {
    return Unsupported(pCardData, lines::kSetKeyProperty, pwszProperty);
}

DWORD WINAPI CardDestroyKey(PCARD_DATA pCardData, CARD_KEY_HANDLE) {
    return Unsupported(pCardData, lines::kDestroyKey);
}

DWORD WINAPI CardProcessEncryptedData(PCARD_DATA pCardData, CARD_KEY_HANDLE, LPCWSTR pwszSecureFunction,
                                      PCARD_ENCRYPTED_DATA, DWORD, PBYTE, DWORD, PDWORD, DWORD) {
    return Unsupported(pCardData, lines::kProcessEncryptedData, pwszSecureFunction);
}

}  // namespace

void InstallCardTable(CARD_DATA& cardData, DWORD version) noexcept {
    cardData.pfnCardDeleteContext = CardDeleteContext;
    cardData.pfnCardQueryCapabilities = CardQueryCapabilities;
    cardData.pfnCardDeleteContainer = CardDeleteContainer;
    cardData.pfnCardCreateContainer = CardCreateContainer;
    cardData.pfnCardGetContainerInfo = CardGetContainerInfo;
    cardData.pfnCardAuthenticatePin = CardAuthenticatePin;
    cardData.pfnCardGetChallenge = CardGetChallenge;
    cardData.pfnCardAuthenticateChallenge = CardAuthenticateChallenge;
    cardData.pfnCardUnblockPin = CardUnblockPin;
    cardData.pfnCardChangeAuthenticator = CardChangeAuthenticator;
    cardData.pfnCardDeauthenticate = CardDeauthenticate;
    cardData.pfnCardCreateDirectory = CardCreateDirectory;
    cardData.pfnCardDeleteDirectory = CardDeleteDirectory;
    cardData.pfnCardCreateFile = CardCreateFile;
    cardData.pfnCardReadFile = CardReadFile;
    cardData.pfnCardWriteFile = CardWriteFile;
    cardData.pfnCardDeleteFile = CardDeleteFile;
    cardData.pfnCardEnumFiles = CardEnumFiles;
    cardData.pfnCardGetFileInfo = CardGetFileInfo;
    cardData.pfnCardQueryFreeSpace = CardQueryFreeSpace;
    cardData.pfnCardQueryKeySizes = CardQueryKeySizes;
    cardData.pfnCardSignData = CardSignData;
    cardData.pfnCardRSADecrypt = CardRSADecrypt;
    cardData.pfnCardConstructDHAgreement = CardConstructDHAgreement;
    // A shorter record ends where the next version's slots begin: nothing is written past it.
    if (version < CARD_DATA_VERSION_FIVE) return;
    cardData.pfnCardDeriveKey = CardDeriveKey;
    cardData.pfnCardDestroyDHAgreement = CardDestroyDHAgreement;
    cardData.pfnCspGetDHAgreement = CspGetDHAgreement;
    if (version < CARD_DATA_VERSION_SIX) return;
    cardData.pfnCardGetChallengeEx = CardGetChallengeEx;
    cardData.pfnCardAuthenticateEx = CardAuthenticateEx;
    cardData.pfnCardChangeAuthenticatorEx = CardChangeAuthenticatorEx;
    cardData.pfnCardDeauthenticateEx = CardDeauthenticateEx;
    cardData.pfnCardGetContainerProperty = CardGetContainerProperty;
    cardData.pfnCardSetContainerProperty = CardSetContainerProperty;
    cardData.pfnCardGetProperty = CardGetProperty;
    cardData.pfnCardSetProperty = CardSetProperty;
    if (version < CARD_DATA_VERSION_SEVEN) return;
    cardData.pfnMDImportSessionKey = MDImportSessionKey;
    cardData.pfnMDEncryptData = MDEncryptData;
    cardData.pfnCardImportSessionKey = CardImportSessionKey;
    cardData.pfnCardGetSharedKeyHandle = CardGetSharedKeyHandle;
    cardData.pfnCardGetAlgorithmProperty = CardGetAlgorithmProperty;
    cardData.pfnCardGetKeyProperty = CardGetKeyProperty;
    cardData.pfnCardSetKeyProperty = CardSetKeyProperty;
    cardData.pfnCardDestroyKey = CardDestroyKey;
    cardData.pfnCardProcessEncryptedData = CardProcessEncryptedData;
    cardData.pfnCardCreateContainerEx = CardCreateContainerEx;
}

void InstallNoCardTable(CARD_DATA& cardData) noexcept {
    cardData.pfnMDImportSessionKey = MDImportSessionKey;
    cardData.pfnMDEncryptData = MDEncryptData;
    cardData.pfnCardGetSharedKeyHandle = CardGetSharedKeyHandle;
    cardData.pfnCardDestroyKey = CardDestroyKey;
    cardData.pfnCardGetAlgorithmProperty = CardGetAlgorithmProperty;
    cardData.pfnCardGetKeyProperty = CardGetKeyProperty;
    cardData.pfnCardSetKeyProperty = CardSetKeyProperty;
    cardData.pfnCardProcessEncryptedData = CardProcessEncryptedData;
    cardData.pfnCardDeleteContext = CardDeleteContext;
}

}  // namespace entry
