// The frame around every entry point of the function table: the call line in each of its forms,
// the record and context checks, and what a failure inside a method becomes.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "log_capture.h"
#include "module_over_sim.h"

namespace {

using moduletest::Acquired;
using moduletest::Entries;
using moduletest::Normalised;
using moduletest::SimReader;

constexpr char kReader[] = "Helix Sim 0";
constexpr SCARDCONTEXT kFakeContext = static_cast<SCARDCONTEXT>(0xAB0000001234ABCDull);
constexpr SCARDHANDLE kFakeCard = 0x00C0FFEE;

char g_mscp[] = "mscp";
char g_cmapfile[] = "cmapfile";
char g_cardid[] = "cardid";
WCHAR g_user[] = u"user";
BYTE g_pin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};

// Every entry point of a version 7 table, called with arguments that exercise each form of its
// line, on a record whose context has been released; in the order of the expected log.
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

TEST(EntryCalls, EveryCallLineMatchesTheExpectedFile) {
    SimReader reader(kReader);
    CARD_DATA record = reader.Record();
    ASSERT_EQ(CardAcquireContext(&record, 0), SCARD_S_SUCCESS);
    record.hSCardCtx = kFakeContext;
    record.hScard = kFakeCard;

    LogCapture log;
    EXPECT_EQ(record.pfnCardDeleteContext(&record), SCARD_S_SUCCESS);
    EXPECT_EQ(record.pvVendorSpecific, nullptr);
    for (const auto& call : EveryCall()) (void)call(record, &record);

    EXPECT_EQ(Normalised(log.Read()), ReadTestData("entry/call_lines.log"));
}

TEST(EntryCalls, ReleasedContextAnswersInvalidHandleEvenThroughAStaleCopy) {
    SimReader reader(kReader);
    CARD_DATA record = reader.Record();
    ASSERT_EQ(CardAcquireContext(&record, 0), SCARD_S_SUCCESS);
    CARD_DATA stale = record;  // a host that kept a copy of the record, context pointer and all
    ASSERT_EQ(record.pfnCardDeleteContext(&record), SCARD_S_SUCCESS);

    CARD_CAPABILITIES caps{};
    EXPECT_EQ(record.pfnCardQueryCapabilities(&record, &caps), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(stale.pfnCardQueryCapabilities(&stale, &caps), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(stale.pfnCardReadFile(&stale, nullptr, g_cardid, 0, nullptr, nullptr), SCARD_E_INVALID_HANDLE);
    // Releasing again, through either copy, is harmless.
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

// The call line of a live context, then what the frame made of the method's outcome.
struct Outcome {
    DWORD status;
    std::vector<std::string> entries;  // without their time lines
};

template <class F>
Outcome Observe(F call) {
    LogCapture log;
    const DWORD status = call();
    std::vector<std::string> entries;
    for (const std::string& entry : Entries(log.Read()))
        entries.push_back(entry.substr(entry.find('\n') + 1));
    return {status, entries};
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FailureMapping, ThrownStatusCodeIsReturnedAndLogged) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    CARD_CAPABILITIES caps{2, FALSE, FALSE};
    const Outcome outcome = Observe([&] { return card->pfnCardQueryCapabilities(card.get(), &caps); });
    EXPECT_EQ(outcome.status, ERROR_REVISION_MISMATCH);
    ASSERT_EQ(outcome.entries.size(), 2u);
    EXPECT_TRUE(EndsWith(outcome.entries[0], ">: CardQueryCapabilities()"));
    EXPECT_EQ(outcome.entries[1], "Exception: 51a");
}

struct RefusalCase {
    uint16_t answer;  // what the card says
    DWORD status;     // the status word as the token library normalises it
};

class UntranslatedRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(UntranslatedRefusal, CardStatusWordIsReturnedAsItIs) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    // The applet selection that opens the next call's card work is refused; no method
    // translates that step.
    reader.WithCard([&](helixsim::HelixCard& c) {
        const auto next = static_cast<uint32_t>(c.CommandLog().size() + 1);
        c.AddFault({helixsim::Fault::Kind::StatusWord, next, GetParam().answer, 0});
    });
    PBYTE data = nullptr;
    DWORD size = 0;
    const Outcome outcome =
        Observe([&] { return card->pfnCardReadFile(card.get(), g_mscp, g_cmapfile, 0, &data, &size); });
    EXPECT_EQ(outcome.status, GetParam().status);
    char expected[32];
    std::snprintf(expected, sizeof expected, "Exception: %x", GetParam().status);
    ASSERT_FALSE(outcome.entries.empty());
    EXPECT_EQ(outcome.entries.back(), expected);
    EXPECT_EQ(data, nullptr);
}

INSTANTIATE_TEST_SUITE_P(StatusWords, UntranslatedRefusal,
                         ::testing::Values(RefusalCase{0x6982, 0x6900}, RefusalCase{0x6983, 0x6983},
                                           RefusalCase{0x6A82, 0x6A82}),
                         [](const testing::TestParamInfo<RefusalCase>& p) {
                             return "Sw" + HexWord(p.param.answer);
                         });

// A host allocator that has run out of memory the C++ way.
LPVOID WINAPI ExhaustedAlloc(SIZE_T) {
    throw std::bad_alloc();
}

TEST(FailureMapping, AnyOtherFailureIsAnUnknownFailure) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    card->pfnCspAlloc = ExhaustedAlloc;
    PBYTE data = nullptr;
    DWORD size = 0;
    const Outcome outcome =
        Observe([&] { return card->pfnCardReadFile(card.get(), nullptr, g_cardid, 0, &data, &size); });
    EXPECT_EQ(outcome.status, ERROR_GEN_FAILURE);
    ASSERT_FALSE(outcome.entries.empty());
    EXPECT_EQ(outcome.entries.back(), "Unknown failure.");
    card->pfnCspAlloc = moduletest::HostMemory::Alloc;
}

TEST(FailureMapping, CallWithoutLineStillRunsItsMethod) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    PBYTE data = nullptr;
    DWORD size = 0;
    const Outcome outcome =
        Observe([&] { return card->pfnCardReadFile(card.get(), nullptr, nullptr, 0, &data, &size); });
    EXPECT_EQ(outcome.status, SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(outcome.entries, std::vector<std::string>{"Exception: 80100004"});
}

TEST(FailureMapping, FailedPropertyReadIsNotDumped) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    BYTE buffer[16] = {};
    DWORD length = 0;
    const Outcome outcome = Observe([&] {
        return card->pfnCardGetProperty(card.get(), u"No Such Property", buffer, sizeof buffer, &length, 0);
    });
    EXPECT_NE(outcome.status, SCARD_S_SUCCESS);
    ASSERT_EQ(outcome.entries.size(), 2u);
    EXPECT_EQ(outcome.entries[1].rfind("Exception: ", 0), 0u);
}

struct PinIdCase {
    PIN_ID pinId;
    DWORD status;
};

class CreateContainerExPin : public ::testing::TestWithParam<PinIdCase> {};

TEST_P(CreateContainerExPin, AnyPinButTheUsersIsRefusedWithoutTouchingTheCard) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    reader.Commands();
    const Outcome outcome = Observe([&] {
        return card->pfnCardCreateContainerEx(card.get(), 0, CARD_CREATE_CONTAINER_KEY_GEN, AT_KEYEXCHANGE,
                                              2048, nullptr, GetParam().pinId);
    });
    EXPECT_EQ(outcome.status, GetParam().status);
    char expected[32];
    std::snprintf(expected, sizeof expected, "Exception: %x", GetParam().status);
    ASSERT_EQ(outcome.entries.size(), 2u);
    EXPECT_EQ(outcome.entries[1], expected);
    EXPECT_TRUE(reader.Commands().empty());
}

INSTANTIATE_TEST_SUITE_P(PinIds, CreateContainerExPin,
                         ::testing::Values(PinIdCase{ROLE_EVERYONE, SCARD_E_INVALID_PARAMETER},
                                           PinIdCase{ROLE_ADMIN, SCARD_E_UNSUPPORTED_FEATURE},
                                           PinIdCase{ROLE_PIN_ALWAYS, SCARD_E_INVALID_PARAMETER},
                                           PinIdCase{MAX_PINS, SCARD_E_INVALID_PARAMETER}),
                         [](const testing::TestParamInfo<PinIdCase>& p) {
                             return "PinId" + std::to_string(p.param.pinId);
                         });

TEST(CreateContainerEx, UserPinIsCardCreateContainer) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    // An invalid key spec value: whatever the method answers, both entry points answer alike.
    const Outcome plain = Observe([&] {
        return card->pfnCardCreateContainer(card.get(), 0, CARD_CREATE_CONTAINER_KEY_GEN, 0x77, 2048,
                                            nullptr);
    });
    const Outcome extended = Observe([&] {
        return card->pfnCardCreateContainerEx(card.get(), 0, CARD_CREATE_CONTAINER_KEY_GEN, 0x77, 2048,
                                              nullptr, ROLE_USER);
    });
    EXPECT_EQ(extended.status, plain.status);
    ASSERT_EQ(extended.entries.size(), plain.entries.size());
    EXPECT_TRUE(EndsWith(extended.entries[0], ", PinId: 1)"));
    for (size_t i = 1; i < plain.entries.size(); ++i) EXPECT_EQ(extended.entries[i], plain.entries[i]);
}

TEST(SetContainerProperty, IsUnsupportedAfterItsLine) {
    SimReader reader(kReader);
    Acquired card(reader.Record());
    BYTE value[4] = {1, 0, 0, 0};
    const Outcome outcome = Observe([&] {
        return card->pfnCardSetContainerProperty(card.get(), 3, CCP_PIN_IDENTIFIER, value, sizeof value, 0);
    });
    EXPECT_EQ(outcome.status, SCARD_E_UNSUPPORTED_FEATURE);
    ASSERT_EQ(outcome.entries.size(), 1u);
    EXPECT_TRUE(EndsWith(outcome.entries[0],
                         ">: CardSetContainerProperty(bContainerIndex :3, wszProperty: PIN Identifier)"));
}

}  // namespace
