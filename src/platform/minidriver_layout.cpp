// Compile-time pins of the minidriver records. The expected numbers were worked out by hand from
// the field lists and the natural alignment of each data model, so a misplaced, missing or
// wrongly typed field fails the build on the platform where it matters. Linux uses the Windows
// x64 numbers because win32.h keeps that data model.
#include <cstddef>

#include "platform/minidriver.h"

namespace {

#if defined(_WIN32) && !defined(_WIN64)
constexpr std::size_t Pick(std::size_t x86, std::size_t /*x64*/) {
    return x86;
}
static_assert(sizeof(void*) == 4, "x86 has 4-byte pointers");
#else
constexpr std::size_t Pick(std::size_t /*x86*/, std::size_t x64) {
    return x64;
}
static_assert(sizeof(void*) == 8, "only the x86 and x64 data models are supported");
#endif

static_assert(sizeof(WCHAR) == 2 && sizeof(DWORD) == 4 && sizeof(ULONG) == 4);
static_assert(sizeof(ULONG_PTR) == Pick(4, 8) && sizeof(SCARDHANDLE) == Pick(4, 8));

// 63 slots; on x64 the three DWORDs among the first four are padded to a full word.
static_assert(offsetof(CARD_DATA, dwVersion) == 0);
static_assert(offsetof(CARD_DATA, pbAtr) == Pick(4, 8));
static_assert(offsetof(CARD_DATA, cbAtr) == Pick(8, 16));
static_assert(offsetof(CARD_DATA, pwszCardName) == Pick(12, 24));
static_assert(offsetof(CARD_DATA, pfnCspAlloc) == Pick(16, 32));
static_assert(offsetof(CARD_DATA, pvCacheContext) == Pick(40, 80));
static_assert(offsetof(CARD_DATA, pfnCspPadData) == Pick(44, 88));
static_assert(offsetof(CARD_DATA, hSCardCtx) == Pick(48, 96));
static_assert(offsetof(CARD_DATA, hScard) == Pick(52, 104));
static_assert(offsetof(CARD_DATA, pvVendorSpecific) == Pick(56, 112));
static_assert(offsetof(CARD_DATA, pfnCardDeleteContext) == Pick(60, 120));
static_assert(offsetof(CARD_DATA, pfnCardDeleteDirectory) == Pick(108, 216));
static_assert(offsetof(CARD_DATA, pvUnused3) == Pick(112, 224));
static_assert(offsetof(CARD_DATA, pvUnused4) == Pick(116, 232));
static_assert(offsetof(CARD_DATA, pfnCardCreateFile) == Pick(120, 240));
static_assert(offsetof(CARD_DATA, pfnCardSignData) == Pick(152, 304));
static_assert(offsetof(CARD_DATA, pfnCardConstructDHAgreement) == Pick(160, 320));
static_assert(offsetof(CARD_DATA, pfnCardDeriveKey) == Pick(164, 328));
static_assert(offsetof(CARD_DATA, pfnCspGetDHAgreement) == Pick(172, 344));
static_assert(offsetof(CARD_DATA, pfnCardGetChallengeEx) == Pick(176, 352));
static_assert(offsetof(CARD_DATA, pfnCardGetProperty) == Pick(200, 400));
static_assert(offsetof(CARD_DATA, pfnCardSetProperty) == Pick(204, 408));
static_assert(offsetof(CARD_DATA, pfnCspUnpadData) == Pick(208, 416));
static_assert(offsetof(CARD_DATA, pfnMDImportSessionKey) == Pick(212, 424));
static_assert(offsetof(CARD_DATA, pfnCardDestroyKey) == Pick(240, 480));
static_assert(offsetof(CARD_DATA, pfnCardProcessEncryptedData) == Pick(244, 488));
static_assert(offsetof(CARD_DATA, pfnCardCreateContainerEx) == Pick(248, 496));
static_assert(sizeof(CARD_DATA) == Pick(252, 504));

static_assert(sizeof(CARD_CAPABILITIES) == 12);
static_assert(offsetof(CARD_CAPABILITIES, fKeyGen) == 8);

static_assert(offsetof(CONTAINER_MAP_RECORD, bFlags) == 80);
static_assert(offsetof(CONTAINER_MAP_RECORD, bReserved) == 81);
static_assert(offsetof(CONTAINER_MAP_RECORD, wSigKeySizeBits) == 82);
static_assert(offsetof(CONTAINER_MAP_RECORD, wKeyExchangeKeySizeBits) == 84);
static_assert(sizeof(CONTAINER_MAP_RECORD) == 86);

static_assert(offsetof(CARD_CACHE_FILE_FORMAT, bPinsFreshness) == 1);
static_assert(offsetof(CARD_CACHE_FILE_FORMAT, wContainersFreshness) == 2);
static_assert(offsetof(CARD_CACHE_FILE_FORMAT, wFilesFreshness) == 4);
static_assert(sizeof(CARD_CACHE_FILE_FORMAT) == 6);

static_assert(offsetof(CONTAINER_INFO, cbSigPublicKey) == 8);
static_assert(offsetof(CONTAINER_INFO, pbSigPublicKey) == Pick(12, 16));
static_assert(offsetof(CONTAINER_INFO, cbKeyExPublicKey) == Pick(16, 24));
static_assert(offsetof(CONTAINER_INFO, pbKeyExPublicKey) == Pick(20, 32));
static_assert(sizeof(CONTAINER_INFO) == Pick(24, 40));

static_assert(sizeof(CARD_FILE_ACCESS_CONDITION) == 4);
static_assert(offsetof(CARD_FILE_INFO, AccessCondition) == 8);
static_assert(sizeof(CARD_FILE_INFO) == 12);

static_assert(offsetof(CARD_FREE_SPACE_INFO, dwMaxKeyContainers) == 12);
static_assert(sizeof(CARD_FREE_SPACE_INFO) == 16);

static_assert(offsetof(CARD_KEY_SIZES, dwMinimumBitlen) == 4);
static_assert(offsetof(CARD_KEY_SIZES, dwDefaultBitlen) == 8);
static_assert(offsetof(CARD_KEY_SIZES, dwMaximumBitlen) == 12);
static_assert(offsetof(CARD_KEY_SIZES, dwIncrementalBitlen) == 16);
static_assert(sizeof(CARD_KEY_SIZES) == 20);

static_assert(offsetof(CARD_SIGNING_INFO, bContainerIndex) == 4);
static_assert(offsetof(CARD_SIGNING_INFO, dwKeySpec) == 8);
static_assert(offsetof(CARD_SIGNING_INFO, dwSigningFlags) == 12);
static_assert(offsetof(CARD_SIGNING_INFO, aiHashAlg) == 16);
static_assert(offsetof(CARD_SIGNING_INFO, pbData) == Pick(20, 24));
static_assert(offsetof(CARD_SIGNING_INFO, cbData) == Pick(24, 32));
static_assert(offsetof(CARD_SIGNING_INFO, pbSignedData) == Pick(28, 40));
static_assert(offsetof(CARD_SIGNING_INFO, cbSignedData) == Pick(32, 48));
static_assert(offsetof(CARD_SIGNING_INFO, pPaddingInfo) == Pick(36, 56));
static_assert(offsetof(CARD_SIGNING_INFO, dwPaddingType) == Pick(40, 64));
static_assert(sizeof(CARD_SIGNING_INFO) == Pick(44, 72));

static_assert(offsetof(CARD_RSA_DECRYPT_INFO, dwKeySpec) == 8);
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, pbData) == Pick(12, 16));
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, cbData) == Pick(16, 24));
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, pPaddingInfo) == Pick(20, 32));
static_assert(offsetof(CARD_RSA_DECRYPT_INFO, dwPaddingType) == Pick(24, 40));
static_assert(sizeof(CARD_RSA_DECRYPT_INFO) == Pick(28, 48));

static_assert(offsetof(CARD_DH_AGREEMENT_INFO, dwFlags) == 8);
static_assert(offsetof(CARD_DH_AGREEMENT_INFO, dwPublicKey) == 12);
static_assert(offsetof(CARD_DH_AGREEMENT_INFO, pbPublicKey) == 16);
static_assert(offsetof(CARD_DH_AGREEMENT_INFO, pbReserved) == Pick(20, 24));
static_assert(offsetof(CARD_DH_AGREEMENT_INFO, cbReserved) == Pick(24, 32));
static_assert(offsetof(CARD_DH_AGREEMENT_INFO, bSecretAgreementIndex) == Pick(28, 36));
static_assert(sizeof(CARD_DH_AGREEMENT_INFO) == Pick(32, 40));

static_assert(offsetof(CARD_DERIVE_KEY, pwszKDF) == 8);
static_assert(offsetof(CARD_DERIVE_KEY, bSecretAgreementIndex) == Pick(12, 16));
static_assert(offsetof(CARD_DERIVE_KEY, pParameterList) == Pick(16, 24));
static_assert(offsetof(CARD_DERIVE_KEY, pbDerivedKey) == Pick(20, 32));
static_assert(offsetof(CARD_DERIVE_KEY, cbDerivedKey) == Pick(24, 40));
static_assert(offsetof(CARD_DERIVE_KEY, pwszAlgId) == Pick(28, 48));
static_assert(offsetof(CARD_DERIVE_KEY, dwKeyLen) == Pick(32, 56));
static_assert(offsetof(CARD_DERIVE_KEY, hKey) == Pick(36, 64));
static_assert(sizeof(CARD_DERIVE_KEY) == Pick(40, 72));

static_assert(offsetof(CARD_ENCRYPTED_DATA, cbEncryptedData) == Pick(4, 8));
static_assert(sizeof(CARD_ENCRYPTED_DATA) == Pick(8, 16));

static_assert(sizeof(PIN_CACHE_POLICY) == 12);
static_assert(offsetof(PIN_INFO, PinPurpose) == 8);
static_assert(offsetof(PIN_INFO, dwUnblockPermission) == 16);
static_assert(offsetof(PIN_INFO, PinCachePolicy) == 20);
static_assert(offsetof(PIN_INFO, dwFlags) == 32);
static_assert(sizeof(PIN_INFO) == 36);

static_assert(offsetof(BLOBHEADER, bVersion) == 1);
static_assert(offsetof(BLOBHEADER, reserved) == 2);
static_assert(offsetof(BLOBHEADER, aiKeyAlg) == 4);
static_assert(sizeof(BLOBHEADER) == 8 && sizeof(PUBLICKEYSTRUC) == 8);
static_assert(offsetof(RSAPUBKEY, bitlen) == 4);
static_assert(offsetof(RSAPUBKEY, pubexp) == 8);
static_assert(sizeof(RSAPUBKEY) == 12);
static_assert(offsetof(BCRYPT_ECCKEY_BLOB, cbKey) == 4);
static_assert(sizeof(BCRYPT_ECCKEY_BLOB) == 8);

static_assert(offsetof(BCryptBuffer, BufferType) == 4);
static_assert(offsetof(BCryptBuffer, pvBuffer) == 8);
static_assert(sizeof(BCryptBuffer) == Pick(12, 16));
static_assert(offsetof(NCryptBufferDesc, cBuffers) == 4);
static_assert(offsetof(NCryptBufferDesc, pBuffers) == 8);
static_assert(sizeof(NCryptBufferDesc) == Pick(12, 16));

static_assert(sizeof(BCRYPT_PKCS1_PADDING_INFO) == Pick(4, 8));
static_assert(offsetof(BCRYPT_PSS_PADDING_INFO, cbSalt) == Pick(4, 8));
static_assert(sizeof(BCRYPT_PSS_PADDING_INFO) == Pick(8, 16));
static_assert(offsetof(BCRYPT_OAEP_PADDING_INFO, pbLabel) == Pick(4, 8));
static_assert(offsetof(BCRYPT_OAEP_PADDING_INFO, cbLabel) == Pick(8, 16));
static_assert(sizeof(BCRYPT_OAEP_PADDING_INFO) == Pick(12, 24));

}  // namespace
