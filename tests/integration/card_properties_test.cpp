// Card properties through the function table, over the simulated card.
#include <gtest/gtest.h>

#include <cstring>

#include "entry_host.h"
#include "hex.h"

namespace {

using libapdu::ByteVector;
using moduletest::EntryHost;

constexpr DWORD kUntouched = 0xA5A5A5A5;

struct Read {
    DWORD status = 0;
    DWORD length = kUntouched;
    ByteVector data;
};

// The buffer starts with `version` where the host sets one, the rest a pattern.
Read GetProperty(CARD_DATA& card, LPCWSTR name, DWORD size, DWORD flags = 0, DWORD version = kUntouched) {
    Read read;
    read.data.assign(size, 0xA5);
    if (version != kUntouched) std::memcpy(read.data.data(), &version, sizeof version);
    read.status = card.pfnCardGetProperty(&card, name, read.data.data(), size, &read.length, flags);
    return read;
}

DWORD Value(const Read& read) {
    DWORD value = 0;
    std::memcpy(&value, read.data.data(), sizeof value);
    return value;
}

// Each property with the buffer size and flags the host passes: the status, the length written
// (kUntouched: none) and the value at the buffer's start (kUntouched: the buffer as it was).
TEST(CardProperty, AnswersItsValueOrItsCode) {
    const struct {
        const char* name;
        LPCWSTR property;
        DWORD size, flags, status, length, value;
    } cases[] = {
        {"ReadOnlyMode", CP_CARD_READ_ONLY, 4, 0, SCARD_S_SUCCESS, 4, 0},
        {"CacheMode", CP_CARD_CACHE_MODE, 4, 0, SCARD_S_SUCCESS, 4, CP_CACHE_MODE_NO_CACHE},
        {"X509Enrollment", CP_SUPPORTS_WIN_X509_ENROLLMENT, 4, 0, SCARD_S_SUCCESS, 4, 1},
        {"PinList", CP_CARD_LIST_PINS, 4, 0, SCARD_S_SUCCESS, 4, 6},
        {"KeyImport", CP_KEY_IMPORT_SUPPORT, 8, 0, SCARD_S_SUCCESS, 4, 6},
        {"FreshContextIsTheUsers", CP_CARD_AUTHENTICATED_STATE, 4, 0, SCARD_S_SUCCESS, 4, 2},
        {"UserPinStrength", CP_CARD_PIN_STRENGTH_VERIFY, 4, ROLE_USER, SCARD_S_SUCCESS, 4,
         CARD_PIN_STRENGTH_PLAINTEXT},
        {"AdminPinStrengthOnlyItsLength", CP_CARD_PIN_STRENGTH_VERIFY, 4, ROLE_ADMIN, SCARD_S_SUCCESS, 4,
         kUntouched},
        {"AlgorithmsSayNothing", CP_ENUM_ALGORITHMS, 4, 7, SCARD_S_SUCCESS, kUntouched, kUntouched},
        {"ChainingModesSayNothing", CP_CHAINING_MODES, 4, 0, SCARD_S_SUCCESS, kUntouched, kUntouched},
        {"NameInOtherCase", u"free space", 16, 0, SCARD_E_UNSUPPORTED_FEATURE, kUntouched, kUntouched},
        {"SerialNumber", CP_CARD_SERIAL_NO, 64, 0, SCARD_E_UNSUPPORTED_FEATURE, kUntouched, kUntouched},
        {"ShortBuffer", CP_CARD_READ_ONLY, 3, 0, SCARD_E_INSUFFICIENT_BUFFER, kUntouched, kUntouched},
        {"FlagsBeforeBuffer", CP_CARD_READ_ONLY, 3, 1, SCARD_E_INVALID_PARAMETER, kUntouched, kUntouched},
        {"StateLengthBeforeBuffer", CP_CARD_AUTHENTICATED_STATE, 3, 0, SCARD_E_INSUFFICIENT_BUFFER, 4,
         kUntouched},
        {"PinInformationOfPin3", CP_CARD_PIN_INFO, 36, 3, SCARD_E_INVALID_PARAMETER, kUntouched,
         PIN_INFO_CURRENT_VERSION},
        {"PinStrengthOfPin3", CP_CARD_PIN_STRENGTH_VERIFY, 4, 3, SCARD_E_INVALID_PARAMETER, kUntouched,
         kUntouched},
        {"ShortPinInformation", CP_CARD_PIN_INFO, 35, ROLE_USER, SCARD_E_INSUFFICIENT_BUFFER, kUntouched,
         kUntouched},
        {"ShortFreeSpace", CP_CARD_FREE_SPACE, 15, 0, SCARD_E_INSUFFICIENT_BUFFER, kUntouched, kUntouched},
        {"ShortKeySizes", CP_CARD_KEYSIZES, 19, AT_SIGNATURE, SCARD_E_INSUFFICIENT_BUFFER, kUntouched,
         kUntouched},
    };
    EntryHost host;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Read read = GetProperty(host.Card(), c.property, c.size, c.flags);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.length, c.length);
        EXPECT_EQ(c.size >= 4 ? Value(read) : kUntouched, c.value);
    }
}

TEST(CardProperties, QueriesAnswerAsTheirEntryPoints) {
    EntryHost host;
    CARD_DATA& card = host.Card();
    CARD_FREE_SPACE_INFO space{};
    space.dwVersion = CARD_FREE_SPACE_INFO_CURRENT_VERSION;
    ASSERT_EQ(card.pfnCardQueryFreeSpace(&card, 0, &space), SCARD_S_SUCCESS);
    CARD_KEY_SIZES sizes{};
    ASSERT_EQ(card.pfnCardQueryKeySizes(&card, AT_ECDSA_P384, 0, &sizes), SCARD_S_SUCCESS);
    CARD_CAPABILITIES caps{};
    caps.dwVersion = CARD_CAPABILITIES_CURRENT_VERSION;
    ASSERT_EQ(card.pfnCardQueryCapabilities(&card, &caps), SCARD_S_SUCCESS);

    // One byte past the record: the host's buffer need not be aligned.
    Read read = GetProperty(card, CP_CARD_FREE_SPACE, sizeof space + 1, 0, space.dwVersion);
    EXPECT_EQ(read.length, sizeof space);
    EXPECT_EQ(std::memcmp(read.data.data(), &space, sizeof space), 0);
    read = GetProperty(card, CP_CARD_KEYSIZES, sizeof sizes, AT_ECDSA_P384, sizes.dwVersion);
    EXPECT_EQ(read.length, sizeof sizes);
    EXPECT_EQ(std::memcmp(read.data.data(), &sizes, sizeof sizes), 0);
    read = GetProperty(card, CP_CARD_CAPABILITIES, sizeof caps, 0, caps.dwVersion);
    EXPECT_EQ(read.length, sizeof caps);
    EXPECT_EQ(std::memcmp(read.data.data(), &caps, sizeof caps), 0);
}

TEST(CardProperties, TheAuthenticatedStateFollowsTheLogins) {
    EntryHost host;
    CARD_DATA& card = host.Card();
    WCHAR user[] = u"user";
    ASSERT_EQ(card.pfnCardDeauthenticate(&card, user, 0), SCARD_S_SUCCESS);
    EXPECT_EQ(Value(GetProperty(card, CP_CARD_AUTHENTICATED_STATE, 4)), 0U);
    ByteVector response = host.AdminResponse();
    ASSERT_EQ(card.pfnCardAuthenticateChallenge(&card, response.data(), 8, nullptr), SCARD_S_SUCCESS);
    EXPECT_EQ(Value(GetProperty(card, CP_CARD_AUTHENTICATED_STATE, 4)), 4U);
    ASSERT_EQ(host.Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    EXPECT_EQ(Value(GetProperty(card, CP_CARD_AUTHENTICATED_STATE, 4)), 0xFFU);
}

// The PIN information block as the host reads it, field by field.
ByteVector PinInfo(DWORD type, DWORD purpose, DWORD change, DWORD unblock) {
    ByteVector out;
    for (DWORD field : {DWORD{6}, type, purpose, change, unblock, DWORD{6}, DWORD{0}, DWORD{0}, DWORD{0}}) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(field >> (8 * i)));
    }
    return out;
}

TEST(CardProperties, PinInformationNamesWhoChangesAndUnblocksEachPin) {
    const struct {
        const char* profile;
        DWORD pinId;
        ByteVector info;
        DWORD strength;
    } cases[] = {
        {"default", ROLE_USER, PinInfo(AlphaNumericPinType, AuthenticationPin, 2, 4),
         CARD_PIN_STRENGTH_PLAINTEXT},
        {"bio-23", ROLE_USER, PinInfo(ExternalPinType, AuthenticationPin, 2, 4),
         CARD_PIN_STRENGTH_SESSION_PIN},
        {"default", ROLE_ADMIN, PinInfo(ChallengeResponsePinType, AdministratorPin, 0, 0), kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " pin " + std::to_string(c.pinId));
        EntryHost host(helixsim::ProfileByName(c.profile));
        const Read read = GetProperty(host.Card(), CP_CARD_PIN_INFO, 36, c.pinId);
        EXPECT_EQ(read.status, SCARD_S_SUCCESS);
        EXPECT_EQ(read.length, 36U);
        EXPECT_EQ(ToHex(read.data), ToHex(c.info));
        EXPECT_EQ(Value(GetProperty(host.Card(), CP_CARD_PIN_STRENGTH_VERIFY, 4, c.pinId)), c.strength);
    }
}

TEST(CardProperties, ACardIdentifierOfAnotherCardDropsWhatWasCachedOfTheOld) {
    EntryHost host;
    CARD_DATA& card = host.Card();
    char cardcf[] = "cardcf";
    const auto readCardcf = [&] {
        PBYTE data = nullptr;
        DWORD size = 0;
        EXPECT_EQ(card.pfnCardReadFile(&card, nullptr, cardcf, 0, &data, &size), SCARD_S_SUCCESS);
        ByteVector out(data, data + size);
        moduletest::HostMemory::Free(data);
        return out;
    };
    const ByteVector identifier = GetProperty(card, CP_CARD_GUID, 16).data;
    EXPECT_EQ(ToHex(identifier), ToHex(*host.CardFile(moduletest::kCardidPath)).substr(4));
    (void)readCardcf();

    const ByteVector other = Hex("000F0E0D0C0B0A090807060504030201");
    host.PutFile(moduletest::kCardidPath, Concat({Hex("0010"), other}));
    host.PutFile(moduletest::kCardcfPath, Hex("0006 010203040506"));
    const Read read = GetProperty(card, CP_CARD_GUID, 20);
    EXPECT_EQ(read.length, 16U);
    EXPECT_EQ(ToHex(ByteVector(read.data.begin(), read.data.begin() + 16)), ToHex(other));
    EXPECT_EQ(ToHex(readCardcf()), "010203040506");

    host.PutFile(moduletest::kCardidPath, Hex("0011"));
    EXPECT_EQ(GetProperty(card, CP_CARD_GUID, 16).status, SCARD_E_UNEXPECTED);
    host.PutFile(moduletest::kCardidPath, Hex("0010"));
    EXPECT_EQ(GetProperty(card, CP_CARD_GUID, 15).status, SCARD_E_INSUFFICIENT_BUFFER);
}

TEST(CardProperties, SetAnswersItsCodeAndTheCardIdentifierGoesToCardid) {
    const struct {
        const char* name;
        LPCWSTR property;
        ByteVector data;
        DWORD flags, status;
    } cases[] = {
        {"NoParentWindow", CP_PARENT_WINDOW, ByteVector(4, 0), 0, SCARD_S_SUCCESS},
        {"ParentWindowThatIsNoWindow", CP_PARENT_WINDOW, Hex("01000000"), 0, SCARD_E_INVALID_PARAMETER},
        {"ParentWindowOf3Bytes", CP_PARENT_WINDOW, ByteVector(3, 0), 0, SCARD_E_INVALID_PARAMETER},
        {"ParentWindowWithFlags", CP_PARENT_WINDOW, ByteVector(4, 0), 1, SCARD_E_INVALID_PARAMETER},
        {"PinContextStringWithoutData", CP_PIN_CONTEXT_STRING, {}, 0, SCARD_S_SUCCESS},
        {"CacheMode", CP_CARD_CACHE_MODE, Hex("01000000"), 0, SCARD_E_UNSUPPORTED_FEATURE},
        {"X509EnrollmentWithFlags", CP_SUPPORTS_WIN_X509_ENROLLMENT, Hex("01000000"), 1,
         SCARD_E_INVALID_PARAMETER},
        {"ReadOnlyMode", CP_CARD_READ_ONLY, Hex("01000000"), 0, SCARD_E_UNSUPPORTED_FEATURE},
        {"CardIdentifierWithoutData", CP_CARD_GUID, {}, 0, SCARD_E_INVALID_PARAMETER},
        {"NoName", nullptr, Hex("01000000"), 0, SCARD_E_INVALID_PARAMETER},
        {"CardIdentifierNotLoggedOn", CP_CARD_GUID, ByteVector(16, 1), 0, SCARD_W_SECURITY_VIOLATION},
    };
    EntryHost host;
    for (const auto& c : cases) {
        ByteVector data = c.data;
        EXPECT_EQ(
            host.Card().pfnCardSetProperty(&host.Card(), c.property, data.empty() ? nullptr : data.data(),
                                           static_cast<DWORD>(data.size()), c.flags),
            c.status)
            << c.name;
    }
    ASSERT_EQ(host.Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    ByteVector identifier = Hex("00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(host.Card().pfnCardSetProperty(&host.Card(), CP_CARD_GUID, identifier.data(), 16, 0),
              SCARD_S_SUCCESS);
    EXPECT_EQ(ToHex(*host.CardFile(moduletest::kCardidPath)), "0010" + ToHex(identifier));
}

// A container's key file put on the card below the module, as the user.
void PutKeyFile(EntryHost& host, uint16_t id) {
    libapdu::IAppFS& fs = *host.Other().GetFS();
    fs.SelectPath({0x3F00, 0x3000, 0x3002});
    fs.CreateFile(id, libapdu::FileDescriptor{1, 16, {0, 0x20, 3}}, ByteVector(16, 0));
}

TEST(ContainerProperties, PinIdentifierOfAContainerWithAKeyOnTheCard) {
    const struct {
        const char* name;
        LPCWSTR property;
        BYTE index;
        DWORD size, flags, status, length;
    } cases[] = {
        {"key exchange key", CCP_PIN_IDENTIFIER, 1, 4, 0, SCARD_S_SUCCESS, 4},
        {"signature key only", CCP_PIN_IDENTIFIER, 2, 4, 0, SCARD_S_SUCCESS, 4},
        {"no key", CCP_PIN_IDENTIFIER, 3, 4, 0, SCARD_E_NO_KEY_CONTAINER, 4},
        {"short buffer", CCP_PIN_IDENTIFIER, 1, 2, 0, SCARD_E_INSUFFICIENT_BUFFER, 4},
        {"flags", CCP_PIN_IDENTIFIER, 1, 4, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
        {"a name with a blank after it", HELIX_WTEXT("PIN Identifier "), 1, 4, 0, SCARD_E_INVALID_PARAMETER,
         kUntouched},
        {"container info, short buffer", CCP_CONTAINER_INFO, 1, sizeof(CONTAINER_INFO) - 1, 0,
         SCARD_E_INSUFFICIENT_BUFFER, sizeof(CONTAINER_INFO)},
    };
    EntryHost host;
    PutKeyFile(host, 0x0201);
    PutKeyFile(host, 0x0222);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Read read;
        read.data.assign(c.size, 0xA5);
        read.status = host.Card().pfnCardGetContainerProperty(
            &host.Card(), c.index, c.property, read.data.data(), c.size, &read.length, c.flags);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.length, c.length);
        if (c.size >= 4) {
            EXPECT_EQ(Value(read), c.status == SCARD_S_SUCCESS ? static_cast<DWORD>(ROLE_USER) : kUntouched);
        }
    }
}

}  // namespace
