// The module over a card that answers whatever the input says: a context is acquired, a plan of
// calls follows (what a certificate tool, a logon, the key operations and an enrollment call), and
// the context is deleted. Every call must return (its status is free), hand back outputs inside
// their buffers, send at most kCommandsPerCall commands and leave no transaction open; deleting
// the context must succeed and leave no host buffer behind.
//
// Input: a plan length byte N, N call numbers (kCalls below; 0 for N gives the default plan, calls
// 0 to 34 in order), then the card's answers, each a length byte and that many bytes (FF is
// followed by a two-byte length, high byte first). Once the answers run out the card gives the
// last one again (90 00 when there was none), so that a loop waiting for the card to say something
// else shows. The seeds are exchanges of real scenarios, taken from the module's log.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "channel/pcsc.h"
#include "fuzz_check.h"

namespace {

constexpr SCARDHANDLE kHandle = 0xF022;
// Far more than any call needs on a real card (a 64 KiB file read is some 260 commands), far
// fewer than a loop that never ends.
constexpr size_t kCommandsPerCall = 2048;
// The ATR of the card family the module recognises.
const std::vector<BYTE> kAtr = {0x3B, 0x8C, 0x80, 0x01, 0x80, 0x73, 0xC8, 0x21, 0x13,
                                0x66, 0x01, 0x06, 0x11, 0x59, 0x00, 0x01, 0x2C};

// One card per process: libFuzzer runs one input at a time.
struct FuzzCard {
    const uint8_t* data = nullptr;
    size_t size = 0, position = 0, commands = 0;
    int transactions = 0;
    const uint8_t* last = nullptr;
    size_t lastLength = 0;

    // Moves `last` on to the next answer, if the input has one.
    void Next() {
        if (position >= size) return;
        size_t n = data[position++];
        if (n == 0xFF) {
            if (size - position < 2) {
                position = size;
                return;
            }
            n = static_cast<size_t>(data[position]) << 8 | data[position + 1];
            position += 2;
        }
        last = data + position;
        lastLength = std::min(n, size - position);
        position += lastLength;
    }
} g_card;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// One call: whatever it returns, the card saw a bounded number of commands and no transaction
// stays open.
DWORD Call(const std::function<DWORD()>& call) {
    g_card.commands = 0;
    const DWORD status = call();
    FUZZ_REQUIRE(g_card.transactions == 0);
    return status;
}

// A buffer the module filled for the host: inside its allocation, then given back. Taken by
// reference, so that the call in the first argument has filled them.
template <class T>
void TakeOutput(DWORD status, T* const& data, const DWORD& size) {
    if (status != SCARD_S_SUCCESS) return;
    if (size != 0) fuzzhost::RequireInside(data, size);
    fuzzhost::Free(data);
}

// Names the module takes as writable strings.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char g_mscp[] = "mscp", g_cardid[] = "cardid", g_cardcf[] = "cardcf", g_cmapfile[] = "cmapfile",
     g_msroots[] = "msroots", g_kxc00[] = "kxc00", g_ksc01[] = "ksc01", g_kxc02[] = "kxc02";
WCHAR g_user[] = u"user";
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

struct Session {
    CARD_DATA& card;
    BYTE agreement = 0;

    void ReadFile(char* directory, char* file) {
        BYTE* data = nullptr;
        DWORD size = 0;
        TakeOutput(Call([&] { return card.pfnCardReadFile(&card, directory, file, 0, &data, &size); }), data,
                   size);
    }
    void WriteFile(char* directory, char* file, std::vector<BYTE> content) {
        Call([&] {
            return card.pfnCardWriteFile(&card, directory, file, 0, content.data(),
                                         static_cast<DWORD>(content.size()));
        });
    }
    // Into a buffer of exactly `room` bytes (on the heap, so that a write past it shows).
    void ReadProperty(LPCWSTR name, DWORD room, DWORD flags = 0) {
        std::vector<BYTE> buffer(room);
        DWORD length = 0;
        if (Call([&] { return card.pfnCardGetProperty(&card, name, buffer.data(), room, &length, flags); }) ==
            SCARD_S_SUCCESS)
            FUZZ_REQUIRE(length <= room);
    }
    void ContainerInfo(BYTE index) {
        CONTAINER_INFO info{};
        info.dwVersion = CONTAINER_INFO_CURRENT_VERSION;
        const DWORD status = Call([&] { return card.pfnCardGetContainerInfo(&card, index, 0, &info); });
        TakeOutput(status, info.pbSigPublicKey, info.cbSigPublicKey);
        TakeOutput(status, info.pbKeyExPublicKey, info.cbKeyExPublicKey);
    }
    void Sign(BYTE index, DWORD keySpec) {
        std::vector<BYTE> digest(32, 0x5A);
        BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
        const bool pkcs1 = keySpec == AT_KEYEXCHANGE;
        CARD_SIGNING_INFO info{CARD_SIGNING_INFO_CURRENT_VERSION,
                               index,
                               keySpec,
                               pkcs1 ? CARD_PADDING_INFO_PRESENT : 0u,
                               CALG_SHA_256,
                               digest.data(),
                               static_cast<DWORD>(digest.size()),
                               nullptr,
                               0,
                               pkcs1 ? &padding : nullptr,
                               pkcs1 ? CARD_PADDING_PKCS1 : 0u};
        TakeOutput(Call([&] { return card.pfnCardSignData(&card, &info); }), info.pbSignedData,
                   info.cbSignedData);
    }
    void Decrypt() {
        std::vector<BYTE> block(256, 0x33);
        CARD_RSA_DECRYPT_INFO info{
            CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO, 0,       AT_KEYEXCHANGE,   block.data(),
            static_cast<DWORD>(block.size()),      nullptr, CARD_PADDING_NONE};
        if (Call([&] { return card.pfnCardRSADecrypt(&card, &info); }) == SCARD_S_SUCCESS)
            FUZZ_REQUIRE(info.cbData <= block.size());
    }
    void Construct() {
        std::vector<BYTE> peer = fuzzhost::kPeerBlob;
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
        TakeOutput(Call([&] { return card.pfnCardDeriveKey(&card, &derive); }), derive.pbDerivedKey,
                   derive.cbDerivedKey);
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

// A map record of one container: its name, valid and default, a 2048-bit key-exchange key.
std::vector<BYTE> MapRecord() {
    CONTAINER_MAP_RECORD record{};
    const char name[] = "{2A4F1C3E-0001-4C7A-9E2B-5D6F7A8B9C0D}";
    for (size_t i = 0; i + 1 < sizeof name; ++i) record.wszGuid[i] = static_cast<WCHAR>(name[i]);
    record.bFlags = 3;
    record.wKeyExchangeKeySizeBits = 2048;
    const auto* bytes = reinterpret_cast<const BYTE*>(&record);
    return {bytes, bytes + sizeof record};
}

// A certificate as small as the module takes one: version, serial, signature algorithm, issuer,
// validity, subject.
const std::vector<BYTE> kCertificate = {0x30, 0x1C, 0x30, 0x1A, 0xA0, 0x03, 0x02, 0x01, 0x02, 0x02,
                                        0x01, 0x07, 0x30, 0x02, 0x05, 0x00, 0x30, 0x03, 0x31, 0x01,
                                        0x41, 0x30, 0x00, 0x30, 0x03, 0x31, 0x01, 0x42};

using S = Session&;
// The calls by number (the seeds' plans name them so); 4 to 11 ask the key sizes of dwKeySpec 1 to 8.
const std::vector<std::function<void(S)>> kCalls = [] {
    std::vector<std::function<void(S)>> calls = {
        [](S s) { s.ReadFile(nullptr, g_cardid); }, [](S s) { s.ReadFile(nullptr, g_cardcf); },
        [](S s) {
            CARD_CAPABILITIES caps{CARD_CAPABILITIES_CURRENT_VERSION, FALSE, FALSE};
            Call([&] { return s.card.pfnCardQueryCapabilities(&s.card, &caps); });
        },
        [](S s) {
            CARD_FREE_SPACE_INFO space{CARD_FREE_SPACE_INFO_CURRENT_VERSION, 0, 0, 0};
            Call([&] { return s.card.pfnCardQueryFreeSpace(&s.card, 0, &space); });
        }};
    for (DWORD keySpec = 1; keySpec <= 8; ++keySpec) {
        calls.emplace_back([keySpec](S s) {
            CARD_KEY_SIZES sizes{};
            sizes.dwVersion = CARD_KEY_SIZES_CURRENT_VERSION;
            Call([&] { return s.card.pfnCardQueryKeySizes(&s.card, keySpec, 0, &sizes); });
        });
    }
    const std::vector<std::function<void(S)>> rest = {
        [](S s) { s.ReadFile(g_mscp, g_cmapfile); },  // 12
        [](S s) {
            LPSTR files = nullptr;
            DWORD size = 0;
            TakeOutput(Call([&] { return s.card.pfnCardEnumFiles(&s.card, g_mscp, &files, &size, 0); }),
                       files, size);
        },
        [](S s) { s.ReadFile(g_mscp, g_msroots); },
        [](S s) {
            CARD_FILE_INFO info{CARD_FILE_INFO_CURRENT_VERSION, 0, InvalidAc};
            Call([&] { return s.card.pfnCardGetFileInfo(&s.card, g_mscp, g_cmapfile, &info); });
        },
        [](S s) { s.ContainerInfo(0); },  // 16
        [](S s) { s.ContainerInfo(1); },
        [](S s) { s.ReadFile(g_mscp, g_kxc00); },
        [](S s) { s.ReadFile(g_mscp, g_ksc01); },
        [](S s) { s.ReadProperty(CP_CARD_GUID, 16); },  // 20
        [](S s) { s.ReadProperty(CP_CARD_SERIAL_NO, 8); },
        [](S s) { s.ReadProperty(CP_CARD_PIN_INFO, sizeof(PIN_INFO), ROLE_USER); },
        [](S s) { s.ReadProperty(CP_CARD_FREE_SPACE, sizeof(CARD_FREE_SPACE_INFO)); },
        [](S s) { s.ReadProperty(CP_CARD_READ_ONLY, sizeof(BOOL)); },
        [](S s) { s.ReadProperty(CP_CARD_LIST_PINS, sizeof(DWORD)); },
        [](S s) {
            BYTE pin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
            DWORD attempts = 0;
            Call([&] { return s.card.pfnCardAuthenticatePin(&s.card, g_user, pin, sizeof pin, &attempts); });
        },
        [](S s) { s.Sign(0, AT_KEYEXCHANGE); },  // 27
        [](S s) { s.Sign(1, AT_ECDSA_P256); },
        [](S s) { s.Decrypt(); },
        [](S s) { s.Construct(); },  // 30
        [](S s) { s.Derive(); },
        [](S s) { Call([&] { return s.card.pfnCardDestroyDHAgreement(&s.card, s.agreement, 0); }); },
        [](S s) { Call([&] { return s.card.pfnCardDeauthenticate(&s.card, g_user, 0); }); },
        [](S s) { s.PresentSessionPin(); },
        [](S s) {
            s.WriteFile(nullptr, g_cardcf, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03});
        },  // 35
        [](S s) { s.WriteFile(g_mscp, g_cmapfile, MapRecord()); },
        [](S s) {
            Call([&] {
                return s.card.pfnCardCreateContainer(&s.card, 2, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDHE_P256,
                                                     256, nullptr);
            });
        },
        [](S s) { Call([&] { return s.card.pfnCardDeleteContainer(&s.card, 2, 0); }); },
        [](S s) {
            BYTE* challenge = nullptr;
            DWORD size = 0;
            TakeOutput(
                Call([&] { return s.card.pfnCardGetChallengeEx(&s.card, ROLE_ADMIN, &challenge, &size, 0); }),
                challenge, size);
        },
        [](S s) { Call([&] { return s.card.pfnCardDeleteFile(&s.card, g_mscp, g_kxc02, 0); }); },  // 40
        [](S s) {
            Call([&] {
                return s.card.pfnCardCreateFile(&s.card, g_mscp, g_kxc02, 363, EveryoneReadUserWriteAc);
            });
        },
        [](S s) { s.WriteFile(g_mscp, g_kxc02, kCertificate); },
        [](S s) { s.WriteFile(nullptr, g_cardid, std::vector<BYTE>(16, 0x42)); },
        [](S s) { s.ReadProperty(CP_CARD_PIN_STRENGTH_VERIFY, sizeof(DWORD), ROLE_USER); },  // 44
    };
    calls.insert(calls.end(), rest.begin(), rest.end());
    return calls;
}();
constexpr uint8_t kDefaultPlanLength = 35;

}  // namespace

namespace pcsc {

DWORD Transmit(SCARDHANDLE card, DWORD, const BYTE* send, DWORD sendLength, BYTE* recv, DWORD* recvLength) {
    FUZZ_REQUIRE(card == kHandle);
    FUZZ_REQUIRE(send != nullptr && sendLength >= 4 && recv != nullptr && recvLength != nullptr);
    FUZZ_REQUIRE(++g_card.commands <= kCommandsPerCall);
    g_card.Next();
    if (g_card.lastLength > *recvLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (g_card.lastLength != 0) std::memcpy(recv, g_card.last, g_card.lastLength);
    *recvLength = static_cast<DWORD>(g_card.lastLength);
    return SCARD_S_SUCCESS;
}

DWORD Status(SCARDHANDLE card, DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    FUZZ_REQUIRE(card == kHandle);
    if (protocol != nullptr) *protocol = kProtocolT1;
    if (atr != nullptr && atrLength != nullptr) {
        if (*atrLength < kAtr.size()) return SCARD_E_INSUFFICIENT_BUFFER;
        std::memcpy(atr, kAtr.data(), kAtr.size());
        *atrLength = static_cast<DWORD>(kAtr.size());
    }
    return SCARD_S_SUCCESS;
}

DWORD BeginTransaction(SCARDHANDLE card) {
    FUZZ_REQUIRE(card == kHandle);
    ++g_card.transactions;
    return SCARD_S_SUCCESS;
}

DWORD EndTransaction(SCARDHANDLE card, DWORD) {
    FUZZ_REQUIRE(card == kHandle && g_card.transactions > 0);
    --g_card.transactions;
    return SCARD_S_SUCCESS;
}

}  // namespace pcsc

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 < data[0]) return 0;
    std::vector<uint8_t> plan(data + 1, data + 1 + data[0]);
    if (plan.empty()) {
        for (uint8_t id = 0; id < kDefaultPlanLength; ++id) plan.push_back(id);
    }
    static const uint8_t kDone[] = {0x90, 0x00};
    g_card = FuzzCard{data + 1 + data[0], size - 1 - data[0], 0, 0, 0, kDone, sizeof kDone};

    std::vector<BYTE> atr = kAtr;
    CARD_DATA card = fuzzhost::Record(atr, 1, kHandle);
    if (Call([&] { return CardAcquireContext(&card, 0); }) != SCARD_S_SUCCESS) {
        FUZZ_REQUIRE(fuzzhost::Live().empty());
        return 0;
    }
    Session session{card};
    for (const uint8_t id : plan) kCalls[id % kCalls.size()](session);

    FUZZ_REQUIRE(Call([&] { return card.pfnCardDeleteContext(&card); }) == SCARD_S_SUCCESS);
    FUZZ_REQUIRE(card.pvVendorSpecific == nullptr);
    FUZZ_REQUIRE(fuzzhost::Live().empty());
    return 0;
}
