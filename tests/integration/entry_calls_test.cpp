// The frame around every entry point of the function table: the call line in each of its forms,
// the record and context checks, and what a failure inside a method becomes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "entry/call_frame.h"
#include "log_capture.h"
#include "module_over_sim.h"

namespace {

using moduletest::Acquired;
using moduletest::Entries;
using moduletest::Normalised;
using moduletest::SimReader;

constexpr char kReader[] = "Helix Sim 0";
constexpr SCARDCONTEXT kFakeContext = static_cast<SCARDCONTEXT>(0xAB0000001234ABCDuLL);
constexpr SCARDHANDLE kFakeCard = 0x00C0FFEE;

// The interface takes names and PINs through non-const pointers.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char g_mscp[] = "mscp";
char g_cmapfile[] = "cmapfile";
char g_cardid[] = "cardid";
WCHAR g_user[] = u"user";
BYTE g_pin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Every entry point of a version 7 table, called with arguments that exercise each form of its
// line, on a record whose context has been released; in the order of the expected log. Checks
// made before the context is looked up (any PIN but the user's for CardCreateContainerEx) show
// there as their own status instead of an invalid handle.
std::vector<std::function<DWORD(const CARD_DATA&, PCARD_DATA)>> EveryCall() {
    using T = const CARD_DATA&;
    using P = PCARD_DATA;
    return {
        [](T t, P r) { return t.pfnCardQueryCapabilities(r, nullptr); },
        [](T t, P r) { return t.pfnCardDeleteContainer(r, 1, 0); },
        [](T t, P r) { return t.pfnCardCreateContainer(r, 1, 1, 2, 2048, nullptr); },
        [](T t, P r) { return t.pfnCardCreateContainerEx(r, 1, 0x11, 0xA, 2048, nullptr, 1); },
        [](T t, P r) { return t.pfnCardCreateContainerEx(r, 2, 1, 2, 1024, nullptr, 2); },
        [](T t, P r) { return t.pfnCardCreateContainerEx(r, 3, 1, 2, 1024, nullptr, 3); },
        [](T t, P r) { return t.pfnCardCreateContainerEx(r, 4, 1, 2, 1024, nullptr, ROLE_EVERYONE); },
        [](T t, P r) { return t.pfnCardCreateContainerEx(r, 5, 1, 2, 1024, nullptr, MAX_PINS); },
        [](T t, P r) { return t.pfnCardGetContainerInfo(r, 2, 0, nullptr); },
        [](T t, P r) { return t.pfnCardAuthenticatePin(r, g_user, g_pin, 8, nullptr); },
        [](T t, P r) { return t.pfnCardAuthenticatePin(r, nullptr, g_pin, 8, nullptr); },
        [](T t, P r) { return t.pfnCardGetChallenge(r, nullptr, nullptr); },
        [](T t, P r) { return t.pfnCardAuthenticateChallenge(r, g_pin, 8, nullptr); },
        [](T t, P r) { return t.pfnCardUnblockPin(r, g_user, g_pin, 8, g_pin, 8, 5, 1); },
        [](T t, P r) { return t.pfnCardUnblockPin(r, nullptr, g_pin, 8, g_pin, 8, 5, 2); },
        [](T t, P r) { return t.pfnCardChangeAuthenticator(r, g_user, g_pin, 8, g_pin, 8, 3, 2, nullptr); },
        [](T t, P r) { return t.pfnCardChangeAuthenticator(r, nullptr, g_pin, 8, g_pin, 8, 0, 1, nullptr); },
        [](T t, P r) { return t.pfnCardDeauthenticate(r, g_user, 0); },
        [](T t, P r) { return t.pfnCardCreateDirectory(r, g_mscp, UserCreateDeleteDirAc); },
        [](T t, P r) { return t.pfnCardCreateDirectory(r, nullptr, AdminCreateDeleteDirAc); },
        [](T t, P r) { return t.pfnCardDeleteDirectory(r, g_mscp); },
        [](T t, P r) { return t.pfnCardDeleteDirectory(r, nullptr); },
        [](T t, P r) { return t.pfnCardCreateFile(r, g_mscp, g_cmapfile, 100, EveryoneReadUserWriteAc); },
        [](T t, P r) { return t.pfnCardCreateFile(r, nullptr, g_cardid, 18, EveryoneReadUserWriteAc); },
        [](T t, P r) { return t.pfnCardCreateFile(r, g_mscp, nullptr, 8, EveryoneReadUserWriteAc); },
        [](T t, P r) { return t.pfnCardReadFile(r, g_mscp, g_cmapfile, 0, nullptr, nullptr); },
        [](T t, P r) { return t.pfnCardReadFile(r, nullptr, g_cardid, 0, nullptr, nullptr); },
        [](T t, P r) { return t.pfnCardReadFile(r, g_mscp, nullptr, 0, nullptr, nullptr); },
        [](T t, P r) { return t.pfnCardReadFile(r, nullptr, nullptr, 0, nullptr, nullptr); },
        [](T t, P r) { return t.pfnCardWriteFile(r, g_mscp, g_cmapfile, 0, g_pin, 8); },
        [](T t, P r) { return t.pfnCardWriteFile(r, nullptr, g_cardid, 0, g_pin, 8); },
        [](T t, P r) { return t.pfnCardWriteFile(r, g_mscp, nullptr, 0, g_pin, 8); },
        [](T t, P r) { return t.pfnCardDeleteFile(r, g_mscp, g_cmapfile, 0); },
        [](T t, P r) { return t.pfnCardDeleteFile(r, nullptr, g_cardid, 0); },
        [](T t, P r) { return t.pfnCardDeleteFile(r, g_mscp, nullptr, 0); },
        [](T t, P r) { return t.pfnCardEnumFiles(r, g_mscp, nullptr, nullptr, 0); },
        [](T t, P r) { return t.pfnCardEnumFiles(r, nullptr, nullptr, nullptr, 0); },
        [](T t, P r) { return t.pfnCardGetFileInfo(r, g_mscp, g_cmapfile, nullptr); },
        [](T t, P r) { return t.pfnCardGetFileInfo(r, nullptr, g_cardid, nullptr); },
        [](T t, P r) { return t.pfnCardGetFileInfo(r, g_mscp, nullptr, nullptr); },
        [](T t, P r) { return t.pfnCardQueryFreeSpace(r, 0, nullptr); },
        [](T t, P r) { return t.pfnCardQueryKeySizes(r, AT_SIGNATURE, 0, nullptr); },
        [](T t, P r) {
            CARD_SIGNING_INFO info{};
            info.dwVersion = CARD_SIGNING_INFO_CURRENT_VERSION;
            info.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
            info.dwPaddingType = CARD_PADDING_PSS;
            info.cbData = 32;
            return t.pfnCardSignData(r, &info);
        },
        [](T t, P r) {
            // A version 1 record ends before the padding fields; a longer read would overrun it.
            std::vector<unsigned char> bytes(offsetof(CARD_SIGNING_INFO, pPaddingInfo));
            auto* info = reinterpret_cast<CARD_SIGNING_INFO*>(bytes.data());
            info->dwVersion = CARD_SIGNING_INFO_BASIC_VERSION;
            info->dwSigningFlags = CRYPT_NOHASHOID;
            info->cbData = 20;
            return t.pfnCardSignData(r, info);
        },
        [](T t, P r) { return t.pfnCardSignData(r, nullptr); },
        [](T t, P r) {
            CARD_RSA_DECRYPT_INFO info{};
            info.dwVersion = CARD_RSA_KEY_DECRYPT_INFO_VERSION_TWO;
            info.dwPaddingType = CARD_PADDING_OAEP;
            return t.pfnCardRSADecrypt(r, &info);
        },
        [](T t, P r) { return t.pfnCardRSADecrypt(r, nullptr); },
        [](T t, P r) {
            CARD_DH_AGREEMENT_INFO info{};
            info.bContainerIndex = 4;
            return t.pfnCardConstructDHAgreement(r, &info);
        },
        [](T t, P r) { return t.pfnCardConstructDHAgreement(r, nullptr); },
        [](T t, P r) {
            CARD_DERIVE_KEY info{};
            info.bSecretAgreementIndex = 7;
            return t.pfnCardDeriveKey(r, &info);
        },
        [](T t, P r) { return t.pfnCardDeriveKey(r, nullptr); },
        [](T t, P r) { return t.pfnCardDestroyDHAgreement(r, 7, 0); },
        [](T t, P r) { return t.pfnCardGetChallengeEx(r, ROLE_ADMIN, nullptr, nullptr, 0); },
        [](T t, P r) {
            return t.pfnCardAuthenticateEx(r, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, g_pin, 8,
                                           nullptr, nullptr, nullptr);
        },
        [](T t, P r) {
            return t.pfnCardChangeAuthenticatorEx(r, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, g_pin, 8,
                                                  ROLE_USER, g_pin, 8, 0, nullptr);
        },
        [](T t, P r) { return t.pfnCardDeauthenticateEx(r, CREATE_PIN_SET(ROLE_USER), 0); },
        [](T t, P r) {
            return t.pfnCardGetContainerProperty(r, 1, CCP_CONTAINER_INFO, nullptr, 0, nullptr, 0);
        },
        [](T t, P r) { return t.pfnCardSetContainerProperty(r, 1, CCP_PIN_IDENTIFIER, nullptr, 0, 0); },
        [](T t, P r) { return t.pfnCardGetProperty(r, CP_CARD_FREE_SPACE, nullptr, 0, nullptr, 0); },
        [](T t, P r) { return t.pfnCardSetProperty(r, CP_PARENT_WINDOW, nullptr, 0, 0); },
        [](T t, P r) { return t.pfnMDImportSessionKey(r, u"KeyDataBlob", u"AES", nullptr, nullptr, 0); },
        [](T t, P r) { return t.pfnMDEncryptData(r, 0, u"CbcEncrypt", nullptr, 0, 0, nullptr, nullptr); },
        [](T t, P r) {
            return t.pfnCardImportSessionKey(r, 2, nullptr, u"KeyDataBlob", u"AES", nullptr, nullptr, 0, 0);
        },
        [](T t, P r) { return t.pfnCardGetSharedKeyHandle(r, nullptr, 0, nullptr, nullptr, nullptr); },
        [](T t, P r) {
            return t.pfnCardGetAlgorithmProperty(r, u"AES", u"ChainingMode", nullptr, 0, nullptr, 0);
        },
        [](T t, P r) { return t.pfnCardGetKeyProperty(r, 0, u"KeyLength", nullptr, 0, nullptr, 0); },
        [](T t, P r) { return t.pfnCardSetKeyProperty(r, 0, u"IV", nullptr, 0, 0); },
        [](T t, P r) { return t.pfnCardDestroyKey(r, 0); },
        [](T t, P r) {
            return t.pfnCardProcessEncryptedData(r, 0, u"CbcDecrypt", nullptr, 0, nullptr, 0, nullptr, 0);
        },
    };
}

// Every call goes through a stale copy of a released record, context pointer and all: each
// answers an invalid handle (the expected log shows it) and none touches the freed context.
TEST(EntryCalls, EveryCallLineMatchesTheExpectedFile) {
    SimReader reader(kReader);
    CARD_DATA record = reader.Record();
    ASSERT_EQ(CardAcquireContext(&record, 0), SCARD_S_SUCCESS);
    record.hSCardCtx = kFakeContext;
    record.hScard = kFakeCard;
    CARD_DATA stale = record;

    LogCapture log;
    EXPECT_EQ(record.pfnCardDeleteContext(&record), SCARD_S_SUCCESS);
    EXPECT_EQ(record.pvVendorSpecific, nullptr);
    for (const auto& call : EveryCall()) (void)call(stale, &stale);
    EXPECT_EQ(Normalised(log.Read()), ReadTestData("entry/call_lines.log"));

    CARD_CAPABILITIES caps{};
    EXPECT_EQ(stale.pfnCardQueryCapabilities(&stale, &caps), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(stale.pfnCardDeleteContext(&stale), SCARD_S_SUCCESS);
    EXPECT_EQ(record.pfnCardDeleteContext(&record), SCARD_S_SUCCESS);
}

TEST(EntryCalls, NullRecordIsAnInvalidParameterWithoutALine) {
    SimReader reader;
    Acquired card(reader.Record());
    LogCapture log;
    EXPECT_EQ(card->pfnCardDeleteContext(nullptr), SCARD_E_INVALID_PARAMETER);
    const auto calls = EveryCall();
    for (size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i](*card, nullptr), SCARD_E_INVALID_PARAMETER) << "call " << i;
    EXPECT_FALSE(log.Exists());
}

// The log entries of a call, without their time lines.
template <class F>
std::vector<std::string> Observe(F call) {
    LogCapture log;
    call();
    std::vector<std::string> entries;
    for (const std::string& entry : Entries(log.Read()))
        entries.push_back(entry.substr(entry.find('\n') + 1));
    return entries;
}

// A host allocator that has run out of memory the C++ way.
LPVOID WINAPI ExhaustedAlloc(SIZE_T) {
    throw std::bad_alloc();
}

// What the frame makes of a method's outcome: the status returned and the entry logged last.
TEST(FailureMapping, StatusAndLastEntry) {
    PBYTE data = nullptr;
    DWORD size = 0;
    const struct {
        const char* name;
        std::function<DWORD(CARD_DATA&)> call;
        DWORD status;
        const char* last;
        size_t entries;  // 0: any number
    } cases[] = {
        // The TLV readers fail by throwing 0: a failure of unknown kind, never a success.
        {"thrown 0",
         [](CARD_DATA& r) {
             return entry::Framed(
                 &r, [](const CARD_DATA&) {}, [](const CARD_DATA&) { ThrowStatus(0); });
         },
         ERROR_GEN_FAILURE, "Unknown failure.", 1},
        {"any other failure",
         [&](CARD_DATA& r) {
             r.pfnCspAlloc = ExhaustedAlloc;
             const DWORD status = r.pfnCardReadFile(&r, nullptr, g_cardid, 0, &data, &size);
             r.pfnCspAlloc = moduletest::HostMemory::Alloc;
             return status;
         },
         ERROR_GEN_FAILURE, "Unknown failure.", 0},
        {"call without a line still runs its method",
         [&](CARD_DATA& r) { return r.pfnCardReadFile(&r, nullptr, nullptr, 0, &data, &size); },
         SCARD_E_INVALID_PARAMETER, "Exception: 80100004", 1},
        {"failed property read is not dumped",
         [](CARD_DATA& r) {
             BYTE buffer[16] = {};
             DWORD length = 0;
             return r.pfnCardGetProperty(&r, u"No Such Property", buffer, sizeof buffer, &length, 0);
         },
         SCARD_E_UNSUPPORTED_FEATURE, "Exception: 80100022", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimReader reader(kReader);
        Acquired card(reader.Record());
        data = nullptr;
        DWORD status = 0;
        const std::vector<std::string> entries = Observe([&] { status = c.call(*card); });
        EXPECT_EQ(status, c.status);
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back(), c.last);
        EXPECT_TRUE(c.entries == 0 || entries.size() == c.entries) << entries.size() << " entries";
        EXPECT_EQ(data, nullptr);
    }
}

// An invalid dwKeySpec: whatever the method answers, both entry points answer alike.
TEST(FailureMapping, CreateContainerExWithTheUserPinIsCardCreateContainer) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    DWORD plain = 0;
    DWORD extended = 1;
    std::vector<std::string> plainLog = Observe([&] {
        plain =
            card->pfnCardCreateContainer(card.get(), 0, CARD_CREATE_CONTAINER_KEY_GEN, 0x77, 2048, nullptr);
    });
    const std::vector<std::string> extendedLog = Observe([&] {
        extended = card->pfnCardCreateContainerEx(card.get(), 0, CARD_CREATE_CONTAINER_KEY_GEN, 0x77, 2048,
                                                  nullptr, ROLE_USER);
    });
    EXPECT_EQ(extended, plain);
    ASSERT_FALSE(plainLog.empty());
    EXPECT_NE(extendedLog.at(0).find(", PinId: 1)"), std::string::npos);
    plainLog[0] = extendedLog[0];  // the lines differ in their own ways
    EXPECT_EQ(extendedLog, plainLog);
}

}  // namespace
