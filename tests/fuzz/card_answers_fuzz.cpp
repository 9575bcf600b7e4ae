// The module over a card that answers whatever the input says: a context is acquired, a plan of
// calls follows (what a certificate tool, a logon, the key operations and an enrollment call), and
// the context is deleted. Every call must return (its status is free), hand back outputs inside
// their buffers, send a bounded number of commands and leave no transaction open; deleting the
// context must succeed and leave no host buffer behind.
//
// Input: a plan length byte N, N call numbers (Call below; 0 for N gives the default plan, every
// call from 0 to 34 in order), then the card's answers (fuzz_card.h). log_to_answers.py makes
// inputs from the module's log of a real exchange.
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "fuzz_card.h"
#include "fuzz_check.h"
#include "host_memory.h"
#include "p256_peer.h"
#include "platform/minidriver.h"

namespace {

// Names the module takes as writable strings.
struct Names {
    char mscp[5] = "mscp";
    char cardid[7] = "cardid";
    char cardcf[7] = "cardcf";
    char cmapfile[9] = "cmapfile";
    char msroots[8] = "msroots";
    char kxc00[6] = "kxc00";
    char ksc01[6] = "ksc01";
    char kxc02[6] = "kxc02";
    WCHAR user[5] = u"user";
    WCHAR cardName[11] = u"Helix Card";
};

constexpr BYTE kAtr[] = {0x3B, 0x8C, 0x80, 0x01, 0x80, 0x73, 0xC8, 0x21, 0x13,
                         0x66, 0x01, 0x06, 0x11, 0x59, 0x00, 0x01, 0x2C};

// One call: whatever it returns, the card saw a bounded number of commands (the card counts them)
// and no transaction stays open.
DWORD Call(const std::function<DWORD()>& call) {
    fuzzcard::NewCall();
    const DWORD status = call();
    FUZZ_REQUIRE(fuzzcard::OpenTransactions() == 0);
    return status;
}

// A buffer the module filled for the host: inside its allocation, then given back.
void TakeOutput(DWORD status, BYTE* data, DWORD size) {
    if (status != SCARD_S_SUCCESS) return;
    if (size != 0) fuzzhost::RequireInside(data, size);
    fuzzhost::Free(data);
}

// A property read into a buffer of exactly `room` bytes (on the heap, so that a write past it shows).
void ReadProperty(CARD_DATA& card, LPCWSTR name, DWORD room, DWORD flags = 0) {
    std::vector<BYTE> buffer(room);
    DWORD length = 0;
    const DWORD status =
        Call([&] { return card.pfnCardGetProperty(&card, name, buffer.data(), room, &length, flags); });
    if (status == SCARD_S_SUCCESS) FUZZ_REQUIRE(length <= room);
}

void ReadFile(CARD_DATA& card, char* directory, char* file) {
    BYTE* data = nullptr;
    DWORD size = 0;
    const DWORD status = Call([&] { return card.pfnCardReadFile(&card, directory, file, 0, &data, &size); });
    TakeOutput(status, data, size);
}

void ContainerInfo(CARD_DATA& card, BYTE index) {
    CONTAINER_INFO info{};
    info.dwVersion = CONTAINER_INFO_CURRENT_VERSION;
    const DWORD status = Call([&] { return card.pfnCardGetContainerInfo(&card, index, 0, &info); });
    TakeOutput(status, info.pbSigPublicKey, info.cbSigPublicKey);
    TakeOutput(status, info.pbKeyExPublicKey, info.cbKeyExPublicKey);
}

void Sign(CARD_DATA& card, BYTE index, DWORD keySpec) {
    std::vector<BYTE> digest(32, 0x5A);
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    CARD_SIGNING_INFO info{};
    info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
    info.bContainerIndex = index;
    info.dwKeySpec = keySpec;
    info.aiHashAlg = CALG_SHA_256;
    info.pbData = digest.data();
    info.cbData = static_cast<DWORD>(digest.size());
    if (keySpec == AT_KEYEXCHANGE) {
        info.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
        info.pPaddingInfo = &padding;
        info.dwPaddingType = CARD_PADDING_PKCS1;
    }
    const DWORD status = Call([&] { return card.pfnCardSignData(&card, &info); });
    TakeOutput(status, info.pbSignedData, info.cbSignedData);
}

void Decrypt(CARD_DATA& card, BYTE index) {
    std::vector<BYTE> block(256, 0x33);
    CARD_RSA_DECRYPT_INFO info{};
    info.dwVersion = CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO;
    info.bContainerIndex = index;
    info.dwKeySpec = AT_KEYEXCHANGE;
    info.pbData = block.data();
    info.cbData = static_cast<DWORD>(block.size());
    info.dwPaddingType = CARD_PADDING_NONE;
    if (Call([&] { return card.pfnCardRSADecrypt(&card, &info); }) == SCARD_S_SUCCESS)
        FUZZ_REQUIRE(info.cbData <= block.size());
}

// A certificate as small as the module takes one: version, serial, signature algorithm, issuer,
// validity, subject.
const std::vector<BYTE> kCertificate = {0x30, 0x1C, 0x30, 0x1A, 0xA0, 0x03, 0x02, 0x01, 0x02, 0x02,
                                        0x01, 0x07, 0x30, 0x02, 0x05, 0x00, 0x30, 0x03, 0x31, 0x01,
                                        0x41, 0x30, 0x00, 0x30, 0x03, 0x31, 0x01, 0x42};

// A map record of one container: its name, valid and default, a 2048-bit key-exchange key.
std::vector<BYTE> MapRecord() {
    CONTAINER_MAP_RECORD record{};
    const char name[] = "{2A4F1C3E-0001-4C7A-9E2B-5D6F7A8B9C0D}";
    for (size_t i = 0; i + 1 < sizeof name; ++i) record.wszGuid[i] = static_cast<WCHAR>(name[i]);
    record.bFlags = 3;
    record.wKeyExchangeKeySizeBits = 2048;
    const auto* bytes = reinterpret_cast<const BYTE*>(&record);
    return std::vector<BYTE>(bytes, bytes + sizeof record);
}

void WriteFile(CARD_DATA& card, char* directory, char* file, std::vector<BYTE> content) {
    Call([&] {
        return card.pfnCardWriteFile(&card, directory, file, 0, content.data(),
                                     static_cast<DWORD>(content.size()));
    });
}

constexpr uint8_t kDefaultPlanLength = 35;
constexpr uint8_t kCalls = 45;

struct Session {
    CARD_DATA& card;
    Names& names;
    BYTE agreement = 0;

    // Call number `id`, as log_to_answers.py numbers them.
    void Run(uint8_t id) {
        switch (id) {
            case 0:
                return ReadFile(card, nullptr, names.cardid);
            case 1:
                return ReadFile(card, nullptr, names.cardcf);
            case 2: {
                CARD_CAPABILITIES capabilities{};
                capabilities.dwVersion = CARD_CAPABILITIES_CURRENT_VERSION;
                Call([&] { return card.pfnCardQueryCapabilities(&card, &capabilities); });
                return;
            }
            case 3: {
                CARD_FREE_SPACE_INFO space{};
                space.dwVersion = CARD_FREE_SPACE_INFO_CURRENT_VERSION;
                Call([&] { return card.pfnCardQueryFreeSpace(&card, 0, &space); });
                return;
            }
            case 4:
            case 5:
            case 6:
            case 7:
            case 8:
            case 9:
            case 10:
            case 11: {
                CARD_KEY_SIZES sizes{};
                sizes.dwVersion = CARD_KEY_SIZES_CURRENT_VERSION;
                Call([&] { return card.pfnCardQueryKeySizes(&card, id - 3u, 0, &sizes); });
                return;
            }
            case 12:
                return ReadFile(card, names.mscp, names.cmapfile);
            case 13: {
                LPSTR files = nullptr;
                DWORD size = 0;
                const DWORD status =
                    Call([&] { return card.pfnCardEnumFiles(&card, names.mscp, &files, &size, 0); });
                TakeOutput(status, reinterpret_cast<BYTE*>(files), size);
                return;
            }
            case 14:
                return ReadFile(card, names.mscp, names.msroots);
            case 15: {
                CARD_FILE_INFO info{};
                info.dwVersion = CARD_FILE_INFO_CURRENT_VERSION;
                Call([&] { return card.pfnCardGetFileInfo(&card, names.mscp, names.cmapfile, &info); });
                return;
            }
            case 16:
                return ContainerInfo(card, 0);
            case 17:
                return ContainerInfo(card, 1);
            case 18:
                return ReadFile(card, names.mscp, names.kxc00);
            case 19:
                return ReadFile(card, names.mscp, names.ksc01);
            case 20:
                return ReadProperty(card, CP_CARD_GUID, 16);
            case 21:
                return ReadProperty(card, CP_CARD_SERIAL_NO, 8);
            case 22:
                return ReadProperty(card, CP_CARD_PIN_INFO, sizeof(PIN_INFO), ROLE_USER);
            case 23:
                return ReadProperty(card, CP_CARD_FREE_SPACE, sizeof(CARD_FREE_SPACE_INFO));
            case 24:
                return ReadProperty(card, CP_CARD_READ_ONLY, sizeof(BOOL));
            case 25:
                return ReadProperty(card, CP_CARD_LIST_PINS, sizeof(DWORD));
            case 26: {
                BYTE pin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
                DWORD attempts = 0;
                Call([&] {
                    return card.pfnCardAuthenticatePin(&card, names.user, pin, sizeof pin, &attempts);
                });
                return;
            }
            case 27:
                return Sign(card, 0, AT_KEYEXCHANGE);
            case 28:
                return Sign(card, 1, AT_ECDSA_P256);
            case 29:
                return Decrypt(card, 0);
            case 30:
                return Construct();
            case 31:
                return Derive();
            case 32:
                Call([&] { return card.pfnCardDestroyDHAgreement(&card, agreement, 0); });
                return;
            case 33:
                Call([&] { return card.pfnCardDeauthenticate(&card, names.user, 0); });
                return;
            case 34:
                return PresentSessionPin();
            case 35:
                return WriteFile(card, nullptr, names.cardcf, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03});
            case 36:
                return WriteFile(card, names.mscp, names.cmapfile, MapRecord());
            case 37:
                Call([&] {
                    return card.pfnCardCreateContainer(&card, 2, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDHE_P256,
                                                       256, nullptr);
                });
                return;
            case 38:
                Call([&] { return card.pfnCardDeleteContainer(&card, 2, 0); });
                return;
            case 39: {
                BYTE* challenge = nullptr;
                DWORD size = 0;
                const DWORD status =
                    Call([&] { return card.pfnCardGetChallengeEx(&card, ROLE_ADMIN, &challenge, &size, 0); });
                TakeOutput(status, challenge, size);
                return;
            }
            case 40:
                Call([&] { return card.pfnCardDeleteFile(&card, names.mscp, names.kxc02, 0); });
                return;
            case 41:
                Call([&] {
                    return card.pfnCardCreateFile(&card, names.mscp, names.kxc02, 363,
                                                  EveryoneReadUserWriteAc);
                });
                return;
            case 42:
                return WriteFile(card, names.mscp, names.kxc02, kCertificate);
            case 43:
                return WriteFile(card, nullptr, names.cardid, std::vector<BYTE>(16, 0x42));
            default:
                return ReadProperty(card, CP_CARD_PIN_STRENGTH_VERIFY, sizeof(DWORD), ROLE_USER);
        }
    }

    void Construct() {
        std::vector<BYTE> peer = kPeerBlob;
        CARD_DH_AGREEMENT_INFO info{};
        info.dwVersion = CARD_DH_AGREEMENT_INFO_VERSION;
        info.bContainerIndex = 2;
        info.dwPublicKey = static_cast<DWORD>(peer.size());
        info.pbPublicKey = peer.data();
        if (Call([&] { return card.pfnCardConstructDHAgreement(&card, &info); }) == SCARD_S_SUCCESS)
            agreement = info.bSecretAgreementIndex;
    }

    void Derive() {
        CARD_DERIVE_KEY derive{};
        derive.dwVersion = CARD_DERIVE_KEY_VERSION;
        derive.pwszKDF = BCRYPT_KDF_HASH;
        derive.bSecretAgreementIndex = agreement;
        const DWORD status = Call([&] { return card.pfnCardDeriveKey(&card, &derive); });
        TakeOutput(status, derive.pbDerivedKey, derive.cbDerivedKey);
    }

    // A session PIN as a biometric logon presents it: value 00 90, identity 00 80.
    void PresentSessionPin() {
        std::vector<BYTE> pin = {0x00, 0x90, 0x14};
        pin.resize(pin.size() + 20, 0x11);
        pin.insert(pin.end(), {0x00, 0x80, 0x10});
        pin.resize(pin.size() + 16, 'u');
        DWORD attempts = 0;
        Call([&] {
            return card.pfnCardAuthenticateEx(&card, ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, pin.data(),
                                              static_cast<DWORD>(pin.size()), nullptr, nullptr, &attempts);
        });
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t planLength = data[0];
    if (size - 1 < planLength) return 0;
    std::vector<uint8_t> plan(data + 1, data + 1 + planLength);
    if (plan.empty()) {
        for (uint8_t id = 0; id < kDefaultPlanLength; ++id) plan.push_back(id);
    }
    fuzzcard::Load(data + 1 + planLength, size - 1 - planLength);

    Names names;
    std::vector<BYTE> atr(std::begin(kAtr), std::end(kAtr));
    CARD_DATA card{};
    card.dwVersion = CARD_DATA_VERSION_SEVEN;
    card.pbAtr = atr.data();
    card.cbAtr = static_cast<DWORD>(atr.size());
    card.pwszCardName = names.cardName;
    card.pfnCspAlloc = &fuzzhost::Alloc;
    card.pfnCspReAlloc = &fuzzhost::ReAlloc;
    card.pfnCspFree = &fuzzhost::Free;
    card.hSCardCtx = 1;
    card.hScard = fuzzcard::kHandle;

    if (Call([&] { return CardAcquireContext(&card, 0); }) != SCARD_S_SUCCESS) {
        FUZZ_REQUIRE(fuzzhost::Live().empty());
        return 0;
    }
    Session session{card, names};
    for (const uint8_t id : plan) session.Run(id % kCalls);

    FUZZ_REQUIRE(Call([&] { return card.pfnCardDeleteContext(&card); }) == SCARD_S_SUCCESS);
    FUZZ_REQUIRE(card.pvVendorSpecific == nullptr);
    FUZZ_REQUIRE(fuzzhost::Live().empty());
    return 0;
}
