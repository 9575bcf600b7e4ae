// The smart card minidriver interface through version 7: the CARD_DATA record with its function
// table, the records, flags and names its entry points exchange, and the key blob and CNG
// parameter types they carry. Declared here on every platform rather than taken from the
// toolchain's cardmod.h, whose copy stops at version 5 and disagrees with the interface in
// places. On Windows the system headers supply what they already declare (key blobs, CNG
// buffers, ALG_IDs, BCrypt names); elsewhere this header declares those too, with the Windows
// x64 data model of win32.h, so that CARD_DATA has one layout per pointer size.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>
#endif

// ---------------------------------------------------------------------------------------------
// Types and names that Windows headers own.

#ifndef _WIN32
typedef unsigned int ALG_ID;

struct BLOBHEADER {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
typedef BLOBHEADER PUBLICKEYSTRUC;

struct RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
};

struct BCRYPT_ECCKEY_BLOB {
    ULONG dwMagic;
    ULONG cbKey;
};
typedef BCRYPT_ECCKEY_BLOB* PBCRYPT_ECCKEY_BLOB;

struct BCryptBuffer {
    ULONG cbBuffer;
    ULONG BufferType;
    PVOID pvBuffer;
};
typedef BCryptBuffer* PBCryptBuffer;

struct BCryptBufferDesc {
    ULONG ulVersion;
    ULONG cBuffers;
    PBCryptBuffer pBuffers;
};
typedef BCryptBufferDesc* PBCryptBufferDesc;

typedef BCryptBuffer NCryptBuffer;
typedef BCryptBuffer* PNCryptBuffer;
typedef BCryptBufferDesc NCryptBufferDesc;
typedef BCryptBufferDesc* PNCryptBufferDesc;

struct BCRYPT_PKCS1_PADDING_INFO {
    LPCWSTR pszAlgId;
};

struct BCRYPT_PSS_PADDING_INFO {
    LPCWSTR pszAlgId;
    ULONG cbSalt;
};

struct BCRYPT_OAEP_PADDING_INFO {
    LPCWSTR pszAlgId;
    PBYTE pbLabel;
    ULONG cbLabel;
};
#endif

#ifndef AT_KEYEXCHANGE
#define AT_KEYEXCHANGE 1
#endif
#ifndef AT_SIGNATURE
#define AT_SIGNATURE 2
#endif

#ifndef PUBLICKEYBLOB
#define PUBLICKEYBLOB 0x6
#endif
#ifndef PRIVATEKEYBLOB
#define PRIVATEKEYBLOB 0x7
#endif
#ifndef CUR_BLOB_VERSION
#define CUR_BLOB_VERSION 2
#endif

#ifndef CALG_RSA_SIGN
#define CALG_RSA_SIGN 0x00002400
#endif
#ifndef CALG_RSA_KEYX
#define CALG_RSA_KEYX 0x0000a400
#endif
#ifndef CALG_MD2
#define CALG_MD2 0x00008001
#endif
#ifndef CALG_MD4
#define CALG_MD4 0x00008002
#endif
#ifndef CALG_MD5
#define CALG_MD5 0x00008003
#endif
#ifndef CALG_SHA1
#define CALG_SHA1 0x00008004
#endif
#ifndef CALG_SSL3_SHAMD5
#define CALG_SSL3_SHAMD5 0x00008008
#endif
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif
#ifndef CALG_SHA_384
#define CALG_SHA_384 0x0000800d
#endif
#ifndef CALG_SHA_512
#define CALG_SHA_512 0x0000800e
#endif

// Signing flag: the padded block carries no DigestInfo.
#ifndef CRYPT_NOHASHOID
#define CRYPT_NOHASHOID 0x00000001
#endif

#ifndef BCRYPT_RSAPUBLIC_MAGIC
#define BCRYPT_RSAPUBLIC_MAGIC 0x31415352  // "RSA1"
#endif
#ifndef BCRYPT_RSAPRIVATE_MAGIC
#define BCRYPT_RSAPRIVATE_MAGIC 0x32415352  // "RSA2"
#endif

#ifndef BCRYPT_ECDH_PUBLIC_P256_MAGIC
#define BCRYPT_ECDH_PUBLIC_P256_MAGIC 0x314B4345  // "ECK1"
#endif
#ifndef BCRYPT_ECDH_PRIVATE_P256_MAGIC
#define BCRYPT_ECDH_PRIVATE_P256_MAGIC 0x324B4345
#endif
#ifndef BCRYPT_ECDH_PUBLIC_P384_MAGIC
#define BCRYPT_ECDH_PUBLIC_P384_MAGIC 0x334B4345
#endif
#ifndef BCRYPT_ECDH_PRIVATE_P384_MAGIC
#define BCRYPT_ECDH_PRIVATE_P384_MAGIC 0x344B4345
#endif
#ifndef BCRYPT_ECDH_PUBLIC_P521_MAGIC
#define BCRYPT_ECDH_PUBLIC_P521_MAGIC 0x354B4345
#endif
#ifndef BCRYPT_ECDH_PRIVATE_P521_MAGIC
#define BCRYPT_ECDH_PRIVATE_P521_MAGIC 0x364B4345
#endif
#ifndef BCRYPT_ECDSA_PUBLIC_P256_MAGIC
#define BCRYPT_ECDSA_PUBLIC_P256_MAGIC 0x31534345  // "ECS1"
#endif
#ifndef BCRYPT_ECDSA_PRIVATE_P256_MAGIC
#define BCRYPT_ECDSA_PRIVATE_P256_MAGIC 0x32534345
#endif
#ifndef BCRYPT_ECDSA_PUBLIC_P384_MAGIC
#define BCRYPT_ECDSA_PUBLIC_P384_MAGIC 0x33534345
#endif
#ifndef BCRYPT_ECDSA_PRIVATE_P384_MAGIC
#define BCRYPT_ECDSA_PRIVATE_P384_MAGIC 0x34534345
#endif
#ifndef BCRYPT_ECDSA_PUBLIC_P521_MAGIC
#define BCRYPT_ECDSA_PUBLIC_P521_MAGIC 0x35534345
#endif
#ifndef BCRYPT_ECDSA_PRIVATE_P521_MAGIC
#define BCRYPT_ECDSA_PRIVATE_P521_MAGIC 0x36534345
#endif

// Algorithm names; the hash names double as hash identifiers in padding and KDF parameters.
#ifndef BCRYPT_MD2_ALGORITHM
#define BCRYPT_MD2_ALGORITHM HELIX_WTEXT("MD2")
#endif
#ifndef BCRYPT_MD4_ALGORITHM
#define BCRYPT_MD4_ALGORITHM HELIX_WTEXT("MD4")
#endif
#ifndef BCRYPT_MD5_ALGORITHM
#define BCRYPT_MD5_ALGORITHM HELIX_WTEXT("MD5")
#endif
#ifndef BCRYPT_SHA1_ALGORITHM
#define BCRYPT_SHA1_ALGORITHM HELIX_WTEXT("SHA1")
#endif
#ifndef BCRYPT_SHA256_ALGORITHM
#define BCRYPT_SHA256_ALGORITHM HELIX_WTEXT("SHA256")
#endif
#ifndef BCRYPT_SHA384_ALGORITHM
#define BCRYPT_SHA384_ALGORITHM HELIX_WTEXT("SHA384")
#endif
#ifndef BCRYPT_SHA512_ALGORITHM
#define BCRYPT_SHA512_ALGORITHM HELIX_WTEXT("SHA512")
#endif
#ifndef BCRYPT_RSA_ALGORITHM
#define BCRYPT_RSA_ALGORITHM HELIX_WTEXT("RSA")
#endif
#ifndef BCRYPT_ECDH_P256_ALGORITHM
#define BCRYPT_ECDH_P256_ALGORITHM HELIX_WTEXT("ECDH_P256")
#endif
#ifndef BCRYPT_ECDH_P384_ALGORITHM
#define BCRYPT_ECDH_P384_ALGORITHM HELIX_WTEXT("ECDH_P384")
#endif
#ifndef BCRYPT_ECDH_P521_ALGORITHM
#define BCRYPT_ECDH_P521_ALGORITHM HELIX_WTEXT("ECDH_P521")
#endif
#ifndef BCRYPT_ECDSA_P256_ALGORITHM
#define BCRYPT_ECDSA_P256_ALGORITHM HELIX_WTEXT("ECDSA_P256")
#endif
#ifndef BCRYPT_ECDSA_P384_ALGORITHM
#define BCRYPT_ECDSA_P384_ALGORITHM HELIX_WTEXT("ECDSA_P384")
#endif
#ifndef BCRYPT_ECDSA_P521_ALGORITHM
#define BCRYPT_ECDSA_P521_ALGORITHM HELIX_WTEXT("ECDSA_P521")
#endif

// Key derivation functions accepted in CARD_DERIVE_KEY.pwszKDF.
#ifndef BCRYPT_KDF_HASH
#define BCRYPT_KDF_HASH HELIX_WTEXT("HASH")
#endif
#ifndef BCRYPT_KDF_HMAC
#define BCRYPT_KDF_HMAC HELIX_WTEXT("HMAC")
#endif
#ifndef BCRYPT_KDF_TLS_PRF
#define BCRYPT_KDF_TLS_PRF HELIX_WTEXT("TLS_PRF")
#endif
#ifndef BCRYPT_KDF_SP80056A_CONCAT
#define BCRYPT_KDF_SP80056A_CONCAT HELIX_WTEXT("SP800_56A_CONCAT")
#endif

// BufferType values of the KDF parameter list.
#ifndef KDF_HASH_ALGORITHM
#define KDF_HASH_ALGORITHM 0x0
#endif
#ifndef KDF_SECRET_PREPEND
#define KDF_SECRET_PREPEND 0x1
#endif
#ifndef KDF_SECRET_APPEND
#define KDF_SECRET_APPEND 0x2
#endif
#ifndef KDF_HMAC_KEY
#define KDF_HMAC_KEY 0x3
#endif
#ifndef KDF_TLS_PRF_LABEL
#define KDF_TLS_PRF_LABEL 0x4
#endif
#ifndef KDF_TLS_PRF_SEED
#define KDF_TLS_PRF_SEED 0x5
#endif
#ifndef KDF_SECRET_HANDLE
#define KDF_SECRET_HANDLE 0x6
#endif
#ifndef KDF_TLS_PRF_PROTOCOL
#define KDF_TLS_PRF_PROTOCOL 0x7
#endif
#ifndef KDF_ALGORITHMID
#define KDF_ALGORITHMID 0x8
#endif
#ifndef KDF_PARTYUINFO
#define KDF_PARTYUINFO 0x9
#endif
#ifndef KDF_PARTYVINFO
#define KDF_PARTYVINFO 0xA
#endif
#ifndef KDF_SUPPPUBINFO
#define KDF_SUPPPUBINFO 0xB
#endif
#ifndef KDF_SUPPPRIVINFO
#define KDF_SUPPPRIVINFO 0xC
#endif
#ifndef KDF_LABEL
#define KDF_LABEL 0xD
#endif
#ifndef KDF_CONTEXT
#define KDF_CONTEXT 0xE
#endif
#ifndef KDF_SALT
#define KDF_SALT 0xF
#endif
#ifndef KDF_ITERATION_COUNT
#define KDF_ITERATION_COUNT 0x10
#endif
#ifndef KDF_GENERIC_PARAMETER
#define KDF_GENERIC_PARAMETER 0x11
#endif
#ifndef KDF_KEYBITLENGTH
#define KDF_KEYBITLENGTH 0x12
#endif
#ifndef KDF_USE_SECRET_AS_HMAC_KEY_FLAG
#define KDF_USE_SECRET_AS_HMAC_KEY_FLAG 0x1
#endif
#ifndef BCRYPTBUFFER_VERSION
#define BCRYPTBUFFER_VERSION 0
#endif
#ifndef NCRYPTBUFFER_VERSION
#define NCRYPTBUFFER_VERSION 0
#endif

// ---------------------------------------------------------------------------------------------
// The minidriver interface proper.

#define CARD_DATA_VERSION_FOUR 4
#define CARD_DATA_VERSION_FIVE 5
#define CARD_DATA_VERSION_SIX 6
#define CARD_DATA_VERSION_SEVEN 7
#define CARD_DATA_CURRENT_VERSION CARD_DATA_VERSION_SEVEN

// CardAcquireContext dwFlags: only the secure key injection entry points, no card.
#define CARD_SECURE_KEY_INJECTION_NO_CARD_MODE 0x1

#define CARD_DATA_VALUE_UNKNOWN ((DWORD)-1)

#define CARD_BUFFER_SIZE_ONLY 0x20000000
#define CARD_PADDING_INFO_PRESENT 0x40000000
#define CARD_RETURN_KEY_HANDLE 0x1000000

// Not the BCRYPT_PAD_* values: PSS and OAEP are swapped there.
#define CARD_PADDING_NONE 0x00000001
#define CARD_PADDING_PKCS1 0x00000002
#define CARD_PADDING_PSS 0x00000004
#define CARD_PADDING_OAEP 0x00000008

#define CARD_CREATE_CONTAINER_KEY_GEN 1
#define CARD_CREATE_CONTAINER_KEY_IMPORT 2

#define AT_ECDSA_P256 3
#define AT_ECDSA_P384 4
#define AT_ECDSA_P521 5
#define AT_ECDHE_P256 6
#define AT_ECDHE_P384 7
#define AT_ECDHE_P521 8

// PIN identifiers and sets of them (bit n stands for PIN n).
typedef DWORD PIN_ID;
typedef DWORD* PPIN_ID;
typedef DWORD PIN_SET;
typedef DWORD* PPIN_SET;

#define MAX_PINS 8
#define ROLE_EVERYONE 0
#define ROLE_USER 1
#define ROLE_ADMIN 2
#define ROLE_PIN_ALWAYS 3

#define PIN_SET_NONE 0x00
#define PIN_SET_ALL_ROLES 0xFF
#define CREATE_PIN_SET(PinId) ((PIN_SET)1 << (PinId))
#define SET_PIN(PinSet, PinId) ((PinSet) |= CREATE_PIN_SET(PinId))
#define IS_PIN_SET(PinSet, PinId) (0 != ((PinSet)&CREATE_PIN_SET(PinId)))
#define CLEAR_PIN(PinSet, PinId) ((PinSet) &= ~CREATE_PIN_SET(PinId))

#define PIN_CHANGE_FLAG_UNBLOCK 0x01
#define PIN_CHANGE_FLAG_CHANGEPIN 0x02

// CardUnblockPin and CardChangeAuthenticator dwFlags.
#define CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE 0x00000001
#define CARD_AUTHENTICATE_PIN_PIN 0x00000002
// CardAuthenticateEx dwFlags.
#define CARD_PIN_SILENT_CONTEXT 0x00000040
#define CARD_AUTHENTICATE_GENERATE_SESSION_PIN 0x10000000
#define CARD_AUTHENTICATE_SESSION_PIN 0x20000000

#define CARD_PIN_STRENGTH_PLAINTEXT 0x1
#define CARD_PIN_STRENGTH_SESSION_PIN 0x2

#define wszCARD_USER_EVERYONE HELIX_WTEXT("anonymous")
#define wszCARD_USER_USER HELIX_WTEXT("user")
#define wszCARD_USER_ADMIN HELIX_WTEXT("admin")

// Card properties (CardGetProperty / CardSetProperty).
#define CP_CARD_FREE_SPACE HELIX_WTEXT("Free Space")
#define CP_CARD_CAPABILITIES HELIX_WTEXT("Capabilities")
#define CP_CARD_KEYSIZES HELIX_WTEXT("Key Sizes")
#define CP_CARD_READ_ONLY HELIX_WTEXT("Read Only Mode")
#define CP_CARD_CACHE_MODE HELIX_WTEXT("Cache Mode")
#define CP_SUPPORTS_WIN_X509_ENROLLMENT HELIX_WTEXT("Supports Windows x.509 Enrollment")
#define CP_CARD_GUID HELIX_WTEXT("Card Identifier")
#define CP_CARD_SERIAL_NO HELIX_WTEXT("Card Serial Number")
#define CP_CARD_PIN_INFO HELIX_WTEXT("PIN Information")
#define CP_CARD_LIST_PINS HELIX_WTEXT("PIN List")
#define CP_CARD_AUTHENTICATED_STATE HELIX_WTEXT("Authenticated State")
#define CP_CARD_PIN_STRENGTH_VERIFY HELIX_WTEXT("PIN Strength Verify")
#define CP_CARD_PIN_STRENGTH_CHANGE HELIX_WTEXT("PIN Strength Change")
#define CP_CARD_PIN_STRENGTH_UNBLOCK HELIX_WTEXT("PIN Strength Unblock")
#define CP_PARENT_WINDOW HELIX_WTEXT("Parent Window")
#define CP_PIN_CONTEXT_STRING HELIX_WTEXT("PIN Context String")
#define CP_KEY_IMPORT_SUPPORT HELIX_WTEXT("Key Import Support")
#define CP_ENUM_ALGORITHMS HELIX_WTEXT("Algorithms")
#define CP_PADDING_SCHEMES HELIX_WTEXT("Padding Schemes")
#define CP_CHAINING_MODES HELIX_WTEXT("Chaining Modes")

// Container properties (CardGetContainerProperty / CardSetContainerProperty).
#define CCP_CONTAINER_INFO HELIX_WTEXT("Container Info")
#define CCP_PIN_IDENTIFIER HELIX_WTEXT("PIN Identifier")
#define CCP_ASSOCIATED_ECDH_KEY HELIX_WTEXT("Associated ECDH Key")

#define CP_CACHE_MODE_GLOBAL_CACHE 1
#define CP_CACHE_MODE_SESSION_ONLY 2
#define CP_CACHE_MODE_NO_CACHE 3

#define CARD_KEY_IMPORT_PLAIN_TEXT 0x00000001
#define CARD_KEY_IMPORT_RSA_KEYEST 0x00000002
#define CARD_KEY_IMPORT_ECC_KEYEST 0x00000004
#define CARD_KEY_IMPORT_SHARED_SYMMETRIC 0x00000008

// Well-known directory and files of the card file system; names are narrow.
#define szBASE_CSP_DIR "mscp"
#define szINTERMEDIATE_CERTS_DIR "mscerts"
#define szCACHE_FILE "cardcf"
#define szCARD_IDENTIFIER_FILE "cardid"
#define szCONTAINER_MAP_FILE "cmapfile"
#define szROOT_STORE_FILE "msroots"
#define szUSER_SIGNATURE_PRIVATE_KEY_PREFIX "kss"
#define szUSER_SIGNATURE_PUBLIC_KEY_PREFIX "ksp"
#define szUSER_SIGNATURE_CERT_PREFIX "ksc"
#define szUSER_KEYEXCHANGE_PRIVATE_KEY_PREFIX "kxs"
#define szUSER_KEYEXCHANGE_PUBLIC_KEY_PREFIX "kxp"
#define szUSER_KEYEXCHANGE_CERT_PREFIX "kxc"

// One record of cmapfile.
#define MAX_CONTAINER_NAME_LEN 39
#define CONTAINER_MAP_VALID_CONTAINER 1
#define CONTAINER_MAP_DEFAULT_CONTAINER 2

struct CONTAINER_MAP_RECORD {
    WCHAR wszGuid[MAX_CONTAINER_NAME_LEN + 1];
    BYTE bFlags;
    BYTE bReserved;
    WORD wSigKeySizeBits;
    WORD wKeyExchangeKeySizeBits;
};
typedef CONTAINER_MAP_RECORD* PCONTAINER_MAP_RECORD;

// Content of cardcf.
struct CARD_CACHE_FILE_FORMAT {
    BYTE bVersion;
    BYTE bPinsFreshness;
    WORD wContainersFreshness;
    WORD wFilesFreshness;
};
typedef CARD_CACHE_FILE_FORMAT* PCARD_CACHE_FILE_FORMAT;

#define CARD_CAPABILITIES_CURRENT_VERSION 1

struct CARD_CAPABILITIES {
    DWORD dwVersion;
    BOOL fCertificateCompression;
    BOOL fKeyGen;
};
typedef CARD_CAPABILITIES* PCARD_CAPABILITIES;

#define CONTAINER_INFO_CURRENT_VERSION 1

struct CONTAINER_INFO {
    DWORD dwVersion;
    DWORD dwReserved;
    DWORD cbSigPublicKey;
    PBYTE pbSigPublicKey;
    DWORD cbKeyExPublicKey;
    PBYTE pbKeyExPublicKey;
};
typedef CONTAINER_INFO* PCONTAINER_INFO;

enum CARD_DIRECTORY_ACCESS_CONDITION {
    InvalidDirAc = 0,
    UserCreateDeleteDirAc = 1,
    AdminCreateDeleteDirAc = 2
};

enum CARD_FILE_ACCESS_CONDITION {
    InvalidAc = 0,
    EveryoneReadUserWriteAc = 1,
    UserWriteExecuteAc = 2,
    EveryoneReadAdminWriteAc = 3,
    UnknownAc = 4,
    UserReadWriteAc = 5,
    AdminReadWriteAc = 6
};

#define CARD_FILE_INFO_CURRENT_VERSION 1

struct CARD_FILE_INFO {
    DWORD dwVersion;
    DWORD cbFileSize;
    CARD_FILE_ACCESS_CONDITION AccessCondition;
};
typedef CARD_FILE_INFO* PCARD_FILE_INFO;

#define CARD_FREE_SPACE_INFO_CURRENT_VERSION 1

struct CARD_FREE_SPACE_INFO {
    DWORD dwVersion;
    DWORD dwBytesAvailable;
    DWORD dwKeyContainersAvailable;
    DWORD dwMaxKeyContainers;
};
typedef CARD_FREE_SPACE_INFO* PCARD_FREE_SPACE_INFO;

#define CARD_KEY_SIZES_CURRENT_VERSION 1

struct CARD_KEY_SIZES {
    DWORD dwVersion;
    DWORD dwMinimumBitlen;
    DWORD dwDefaultBitlen;
    DWORD dwMaximumBitlen;
    DWORD dwIncrementalBitlen;
};
typedef CARD_KEY_SIZES* PCARD_KEY_SIZES;

#define CARD_SIGNING_INFO_BASIC_VERSION 1
#define CARD_SIGNING_INFO_CURRENT_VERSION 2

struct CARD_SIGNING_INFO {
    DWORD dwVersion;
    BYTE bContainerIndex;
    DWORD dwKeySpec;
    DWORD dwSigningFlags;
    ALG_ID aiHashAlg;
    PBYTE pbData;
    DWORD cbData;
    PBYTE pbSignedData;
    DWORD cbSignedData;
    // Read only from version 2 on, and only with CARD_PADDING_INFO_PRESENT.
    LPVOID pPaddingInfo;
    DWORD dwPaddingType;
};
typedef CARD_SIGNING_INFO* PCARD_SIGNING_INFO;

#define CARD_RSA_KEY_DECRYPT_INFO_VERSION_ONE 1
#define CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO 2
#define CARD_RSA_KEY_DECRYPT_INFO_CURRENT_VERSION CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO

struct CARD_RSA_DECRYPT_INFO {
    DWORD dwVersion;
    BYTE bContainerIndex;
    DWORD dwKeySpec;
    PBYTE pbData;
    DWORD cbData;
    // Version 2 only.
    LPVOID pPaddingInfo;
    DWORD dwPaddingType;
};
typedef CARD_RSA_DECRYPT_INFO* PCARD_RSA_DECRYPT_INFO;

#define CARD_DH_AGREEMENT_INFO_VERSION 2

struct CARD_DH_AGREEMENT_INFO {
    DWORD dwVersion;
    BYTE bContainerIndex;
    DWORD dwFlags;
    DWORD dwPublicKey;
    PBYTE pbPublicKey;
    PBYTE pbReserved;
    DWORD cbReserved;
    BYTE bSecretAgreementIndex;
};
typedef CARD_DH_AGREEMENT_INFO* PCARD_DH_AGREEMENT_INFO;

typedef ULONG_PTR CARD_KEY_HANDLE;
typedef ULONG_PTR* PCARD_KEY_HANDLE;

#define CARD_DERIVE_KEY_VERSION 1
#define CARD_DERIVE_KEY_VERSION_TWO 2
#define CARD_DERIVE_KEY_CURRENT_VERSION CARD_DERIVE_KEY_VERSION_TWO

struct CARD_DERIVE_KEY {
    DWORD dwVersion;
    DWORD dwFlags;
    LPCWSTR pwszKDF;
    BYTE bSecretAgreementIndex;
    PVOID pParameterList;  // an NCryptBufferDesc
    PBYTE pbDerivedKey;
    DWORD cbDerivedKey;
    // Version 2 only, for CARD_RETURN_KEY_HANDLE.
    LPWSTR pwszAlgId;
    DWORD dwKeyLen;
    CARD_KEY_HANDLE hKey;
};
typedef CARD_DERIVE_KEY* PCARD_DERIVE_KEY;

struct CARD_ENCRYPTED_DATA {
    PBYTE pbEncryptedData;
    DWORD cbEncryptedData;
};
typedef CARD_ENCRYPTED_DATA* PCARD_ENCRYPTED_DATA;

enum SECRET_TYPE {
    AlphaNumericPinType = 0,
    ExternalPinType = 1,
    ChallengeResponsePinType = 2,
    EmptyPinType = 3
};

enum SECRET_PURPOSE {
    AuthenticationPin = 0,
    DigitalSignaturePin = 1,
    EncryptionPin = 2,
    NonRepudiationPin = 3,
    AdministratorPin = 4,
    PrimaryCardPin = 5,
    UnblockOnlyPin = 6
};

enum PIN_CACHE_POLICY_TYPE {
    PinCacheNormal = 0,
    PinCacheTimed = 1,
    PinCacheNone = 2,
    PinCacheAlwaysPrompt = 3
};

#define PIN_CACHE_POLICY_CURRENT_VERSION 6

struct PIN_CACHE_POLICY {
    DWORD dwVersion;
    PIN_CACHE_POLICY_TYPE PinCachePolicyType;
    DWORD dwPinCachePolicyInfo;
};
typedef PIN_CACHE_POLICY* PPIN_CACHE_POLICY;

#define PIN_INFO_CURRENT_VERSION 6
#define PIN_INFO_REQUIRE_SECURE_ENTRY 1

struct PIN_INFO {
    DWORD dwVersion;
    SECRET_TYPE PinType;
    SECRET_PURPOSE PinPurpose;
    PIN_SET dwChangePermission;
    PIN_SET dwUnblockPermission;
    PIN_CACHE_POLICY PinCachePolicy;
    DWORD dwFlags;
};
typedef PIN_INFO* PPIN_INFO;

struct CARD_DATA;
typedef CARD_DATA* PCARD_DATA;

// Services of the host, set in CARD_DATA before CardAcquireContext.
typedef LPVOID(WINAPI* PFN_CSP_ALLOC)(SIZE_T Size);
typedef LPVOID(WINAPI* PFN_CSP_REALLOC)(LPVOID Address, SIZE_T Size);
typedef void(WINAPI* PFN_CSP_FREE)(LPVOID Address);
typedef DWORD(WINAPI* PFN_CSP_CACHE_ADD_FILE)(PVOID pvCacheContext, LPWSTR wszTag, DWORD dwFlags,
                                              PBYTE pbData, DWORD cbData);
typedef DWORD(WINAPI* PFN_CSP_CACHE_LOOKUP_FILE)(PVOID pvCacheContext, LPWSTR wszTag, DWORD dwFlags,
                                                 PBYTE* ppbData, PDWORD pcbData);
typedef DWORD(WINAPI* PFN_CSP_CACHE_DELETE_FILE)(PVOID pvCacheContext, LPWSTR wszTag, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CSP_PAD_DATA)(PCARD_SIGNING_INFO pSigningInfo, DWORD cbMaxWidth,
                                        DWORD* pcbPaddedBuffer, PBYTE* ppbPaddedBuffer);
typedef DWORD(WINAPI* PFN_CSP_UNPAD_DATA)(PCARD_RSA_DECRYPT_INFO pRSADecryptInfo, DWORD* pcbUnpaddedData,
                                          PBYTE* ppbUnpaddedData);
typedef DWORD(WINAPI* PFN_CSP_GET_DH_AGREEMENT)(PCARD_DATA pCardData, PVOID hSecretAgreement,
                                                BYTE* pbSecretAgreementIndex, DWORD dwFlags);

// Entry points of the card module.
typedef DWORD(WINAPI* PFN_CARD_ACQUIRE_CONTEXT)(PCARD_DATA pCardData, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_DELETE_CONTEXT)(PCARD_DATA pCardData);
typedef DWORD(WINAPI* PFN_CARD_QUERY_CAPABILITIES)(PCARD_DATA pCardData,
                                                   PCARD_CAPABILITIES pCardCapabilities);
typedef DWORD(WINAPI* PFN_CARD_DELETE_CONTAINER)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                 DWORD dwReserved);
typedef DWORD(WINAPI* PFN_CARD_CREATE_CONTAINER)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                                 DWORD dwKeySpec, DWORD dwKeySize, PBYTE pbKeyData);
typedef DWORD(WINAPI* PFN_CARD_GET_CONTAINER_INFO)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                                   PCONTAINER_INFO pContainerInfo);
typedef DWORD(WINAPI* PFN_CARD_AUTHENTICATE_PIN)(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin,
                                                 DWORD cbPin, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI* PFN_CARD_GET_CHALLENGE)(PCARD_DATA pCardData, PBYTE* ppbChallengeData,
                                              PDWORD pcbChallengeData);
typedef DWORD(WINAPI* PFN_CARD_AUTHENTICATE_CHALLENGE)(PCARD_DATA pCardData, PBYTE pbResponseData,
                                                       DWORD cbResponseData, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI* PFN_CARD_UNBLOCK_PIN)(PCARD_DATA pCardData, LPWSTR pwszUserId,
                                            PBYTE pbAuthenticationData, DWORD cbAuthenticationData,
                                            PBYTE pbNewPinData, DWORD cbNewPinData, DWORD cRetryCount,
                                            DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_CHANGE_AUTHENTICATOR)(PCARD_DATA pCardData, LPWSTR pwszUserId,
                                                     PBYTE pbCurrentAuthenticator,
                                                     DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                                     DWORD cbNewAuthenticator, DWORD cRetryCount,
                                                     DWORD dwFlags, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI* PFN_CARD_DEAUTHENTICATE)(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_CREATE_DIRECTORY)(PCARD_DATA pCardData, LPSTR pszDirectoryName,
                                                 CARD_DIRECTORY_ACCESS_CONDITION AccessCondition);
typedef DWORD(WINAPI* PFN_CARD_DELETE_DIRECTORY)(PCARD_DATA pCardData, LPSTR pszDirectoryName);
typedef DWORD(WINAPI* PFN_CARD_CREATE_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                            DWORD cbInitialCreationSize,
                                            CARD_FILE_ACCESS_CONDITION AccessCondition);
typedef DWORD(WINAPI* PFN_CARD_READ_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                          DWORD dwFlags, PBYTE* ppbData, PDWORD pcbData);
typedef DWORD(WINAPI* PFN_CARD_WRITE_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                           DWORD dwFlags, PBYTE pbData, DWORD cbData);
typedef DWORD(WINAPI* PFN_CARD_DELETE_FILE)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                            DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_ENUM_FILES)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames,
                                           LPDWORD pdwcbFileName, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_GET_FILE_INFO)(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                              PCARD_FILE_INFO pCardFileInfo);
typedef DWORD(WINAPI* PFN_CARD_QUERY_FREE_SPACE)(PCARD_DATA pCardData, DWORD dwFlags,
                                                 PCARD_FREE_SPACE_INFO pCardFreeSpaceInfo);
typedef DWORD(WINAPI* PFN_CARD_QUERY_KEY_SIZES)(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags,
                                                PCARD_KEY_SIZES pKeySizes);
typedef DWORD(WINAPI* PFN_CARD_SIGN_DATA)(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo);
typedef DWORD(WINAPI* PFN_CARD_RSA_DECRYPT)(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo);
typedef DWORD(WINAPI* PFN_CARD_CONSTRUCT_DH_AGREEMENT)(PCARD_DATA pCardData,
                                                       PCARD_DH_AGREEMENT_INFO pAgreementInfo);
typedef DWORD(WINAPI* PFN_CARD_DERIVE_KEY)(PCARD_DATA pCardData, PCARD_DERIVE_KEY pAgreementInfo);
typedef DWORD(WINAPI* PFN_CARD_DESTROY_DH_AGREEMENT)(PCARD_DATA pCardData, BYTE bSecretAgreementIndex,
                                                     DWORD dwFlags);

// Version 6.
typedef DWORD(WINAPI* PFN_CARD_GET_CHALLENGE_EX)(PCARD_DATA pCardData, PIN_ID PinId, PBYTE* ppbChallengeData,
                                                 PDWORD pcbChallengeData, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_AUTHENTICATE_EX)(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags,
                                                PBYTE pbPinData, DWORD cbPinData, PBYTE* ppbSessionPin,
                                                PDWORD pcbSessionPin, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI* PFN_CARD_CHANGE_AUTHENTICATOR_EX)(PCARD_DATA pCardData, DWORD dwFlags,
                                                        PIN_ID dwAuthenticatingPinId,
                                                        PBYTE pbAuthenticatingPinData,
                                                        DWORD cbAuthenticatingPinData, PIN_ID dwTargetPinId,
                                                        PBYTE pbTargetData, DWORD cbTargetData,
                                                        DWORD cRetryCount, PDWORD pcAttemptsRemaining);
typedef DWORD(WINAPI* PFN_CARD_DEAUTHENTICATE_EX)(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_GET_CONTAINER_PROPERTY)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                       LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                                                       PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_SET_CONTAINER_PROPERTY)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                       LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                                                       DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_GET_PROPERTY)(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData,
                                             DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_SET_PROPERTY)(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData,
                                             DWORD cbDataLen, DWORD dwFlags);

// Version 7.
typedef DWORD(WINAPI* PFN_MD_IMPORT_SESSION_KEY)(PCARD_DATA pCardData, LPCWSTR pwszBlobType,
                                                 LPCWSTR pwszAlgId, PCARD_KEY_HANDLE phKey, PBYTE pbInput,
                                                 DWORD cbInput);
typedef DWORD(WINAPI* PFN_MD_ENCRYPT_DATA)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                           LPCWSTR pwszSecureFunction, PBYTE pbInput, DWORD cbInput,
                                           DWORD dwFlags, PCARD_ENCRYPTED_DATA* ppEncryptedData,
                                           PDWORD pcEncryptedData);
typedef DWORD(WINAPI* PFN_CARD_IMPORT_SESSION_KEY)(PCARD_DATA pCardData, BYTE bContainerIndex,
                                                   LPVOID pPaddingInfo, LPCWSTR pwszBlobType,
                                                   LPCWSTR pwszAlgId, PCARD_KEY_HANDLE phKey, PBYTE pbInput,
                                                   DWORD cbInput, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_GET_SHARED_KEY_HANDLE)(PCARD_DATA pCardData, PBYTE pbInput, DWORD cbInput,
                                                      PBYTE* ppbOutput, PDWORD pcbOutput,
                                                      PCARD_KEY_HANDLE phKey);
typedef DWORD(WINAPI* PFN_CARD_GET_ALGORITHM_PROPERTY)(PCARD_DATA pCardData, LPCWSTR pwszAlgId,
                                                       LPCWSTR pwszProperty, PBYTE pbData, DWORD cbData,
                                                       PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_GET_KEY_PROPERTY)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                                 LPCWSTR pwszProperty, PBYTE pbData, DWORD cbData,
                                                 PDWORD pdwDataLen, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_SET_KEY_PROPERTY)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                                 LPCWSTR pwszProperty, PBYTE pbInput, DWORD cbInput,
                                                 DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_DESTROY_KEY)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey);
typedef DWORD(WINAPI* PFN_CARD_PROCESS_ENCRYPTED_DATA)(PCARD_DATA pCardData, CARD_KEY_HANDLE hKey,
                                                       LPCWSTR pwszSecureFunction,
                                                       PCARD_ENCRYPTED_DATA pEncryptedData,
                                                       DWORD cEncryptedData, PBYTE pbOutput, DWORD cbOutput,
                                                       PDWORD pdwOutputLen, DWORD dwFlags);
typedef DWORD(WINAPI* PFN_CARD_CREATE_CONTAINER_EX)(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                                    DWORD dwKeySpec, DWORD dwKeySize, PBYTE pbKeyData,
                                                    PIN_ID PinId);

// The slot order is the binary contract with the host: never reorder, insert or remove.
struct CARD_DATA {
    // Set by the host before CardAcquireContext.
    DWORD dwVersion;
    PBYTE pbAtr;
    DWORD cbAtr;
    LPWSTR pwszCardName;
    PFN_CSP_ALLOC pfnCspAlloc;
    PFN_CSP_REALLOC pfnCspReAlloc;
    PFN_CSP_FREE pfnCspFree;
    PFN_CSP_CACHE_ADD_FILE pfnCspCacheAddFile;
    PFN_CSP_CACHE_LOOKUP_FILE pfnCspCacheLookupFile;
    PFN_CSP_CACHE_DELETE_FILE pfnCspCacheDeleteFile;
    PVOID pvCacheContext;
    PFN_CSP_PAD_DATA pfnCspPadData;
    SCARDCONTEXT hSCardCtx;
    SCARDHANDLE hScard;
    PVOID pvVendorSpecific;

    // Set by the card module.
    PFN_CARD_DELETE_CONTEXT pfnCardDeleteContext;
    PFN_CARD_QUERY_CAPABILITIES pfnCardQueryCapabilities;
    PFN_CARD_DELETE_CONTAINER pfnCardDeleteContainer;
    PFN_CARD_CREATE_CONTAINER pfnCardCreateContainer;
    PFN_CARD_GET_CONTAINER_INFO pfnCardGetContainerInfo;
    PFN_CARD_AUTHENTICATE_PIN pfnCardAuthenticatePin;
    PFN_CARD_GET_CHALLENGE pfnCardGetChallenge;
    PFN_CARD_AUTHENTICATE_CHALLENGE pfnCardAuthenticateChallenge;
    PFN_CARD_UNBLOCK_PIN pfnCardUnblockPin;
    PFN_CARD_CHANGE_AUTHENTICATOR pfnCardChangeAuthenticator;
    PFN_CARD_DEAUTHENTICATE pfnCardDeauthenticate;
    PFN_CARD_CREATE_DIRECTORY pfnCardCreateDirectory;
    PFN_CARD_DELETE_DIRECTORY pfnCardDeleteDirectory;
    LPVOID pvUnused3;
    LPVOID pvUnused4;
    PFN_CARD_CREATE_FILE pfnCardCreateFile;
    PFN_CARD_READ_FILE pfnCardReadFile;
    PFN_CARD_WRITE_FILE pfnCardWriteFile;
    PFN_CARD_DELETE_FILE pfnCardDeleteFile;
    PFN_CARD_ENUM_FILES pfnCardEnumFiles;
    PFN_CARD_GET_FILE_INFO pfnCardGetFileInfo;
    PFN_CARD_QUERY_FREE_SPACE pfnCardQueryFreeSpace;
    PFN_CARD_QUERY_KEY_SIZES pfnCardQueryKeySizes;
    PFN_CARD_SIGN_DATA pfnCardSignData;
    PFN_CARD_RSA_DECRYPT pfnCardRSADecrypt;
    PFN_CARD_CONSTRUCT_DH_AGREEMENT pfnCardConstructDHAgreement;

    // Version 5.
    PFN_CARD_DERIVE_KEY pfnCardDeriveKey;
    PFN_CARD_DESTROY_DH_AGREEMENT pfnCardDestroyDHAgreement;
    PFN_CSP_GET_DH_AGREEMENT pfnCspGetDHAgreement;

    // Version 6.
    PFN_CARD_GET_CHALLENGE_EX pfnCardGetChallengeEx;
    PFN_CARD_AUTHENTICATE_EX pfnCardAuthenticateEx;
    PFN_CARD_CHANGE_AUTHENTICATOR_EX pfnCardChangeAuthenticatorEx;
    PFN_CARD_DEAUTHENTICATE_EX pfnCardDeauthenticateEx;
    PFN_CARD_GET_CONTAINER_PROPERTY pfnCardGetContainerProperty;
    PFN_CARD_SET_CONTAINER_PROPERTY pfnCardSetContainerProperty;
    PFN_CARD_GET_PROPERTY pfnCardGetProperty;
    PFN_CARD_SET_PROPERTY pfnCardSetProperty;

    // Version 7; pfnCspUnpadData is the host's.
    PFN_CSP_UNPAD_DATA pfnCspUnpadData;
    PFN_MD_IMPORT_SESSION_KEY pfnMDImportSessionKey;
    PFN_MD_ENCRYPT_DATA pfnMDEncryptData;
    PFN_CARD_IMPORT_SESSION_KEY pfnCardImportSessionKey;
    PFN_CARD_GET_SHARED_KEY_HANDLE pfnCardGetSharedKeyHandle;
    PFN_CARD_GET_ALGORITHM_PROPERTY pfnCardGetAlgorithmProperty;
    PFN_CARD_GET_KEY_PROPERTY pfnCardGetKeyProperty;
    PFN_CARD_SET_KEY_PROPERTY pfnCardSetKeyProperty;
    PFN_CARD_DESTROY_KEY pfnCardDestroyKey;
    PFN_CARD_PROCESS_ENCRYPTED_DATA pfnCardProcessEncryptedData;
    PFN_CARD_CREATE_CONTAINER_EX pfnCardCreateContainerEx;
};

extern "C" DWORD WINAPI CardAcquireContext(PCARD_DATA pCardData, DWORD dwFlags);
