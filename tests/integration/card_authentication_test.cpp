// Logon, challenge-response, PIN change and unblock through the function table, over the
// simulated card; digests and responses are computed with OpenSSL.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>

#include "entry_host.h"
#include "hex.h"
#include "libapdu/token/base64.h"
#include "log_capture.h"

namespace {

using libapdu::ByteVector;
using moduletest::Ascii;
using moduletest::Buffers;
using moduletest::EntryHost;

const libapdu::CardPath kStatePath{0x3F00, 0x3000, 0xEEEF};
const libapdu::CardPath kHistoryPath{0x3F00, 0x3000, 0xB000};
const ByteVector kPin = Ascii("12345678");
const ByteVector kWrong = Ascii("87654321");

std::string DaysAgo(int days) {
    const std::tm local = platform::LocalTime(std::time(nullptr) - static_cast<std::time_t>(days) * 86400);
    char text[9] = {};
    (void)std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

ByteVector Sha1(const ByteVector& data) {
    ByteVector out(SHA_DIGEST_LENGTH);
    SHA1(data.data(), data.size(), out.data());
    return out;
}

helixsim::Profile PolicyProfile() {
    helixsim::Profile profile = helixsim::DefaultProfile();
    profile.historyDepth = 3;
    profile.maxPinAgeDays = 90;
    profile.changeAfterUnblock = true;
    profile.lastChange = DaysAgo(1);
    return profile;
}

// Text in the log with blanks dropped and letters raised, for hex searches.
std::string Squeezed(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): one table row per line
#define CALL(expr) [](CARD_DATA& r, Buffers& b) -> DWORD { return (void)b, expr; }

// Calls refused on their arguments alone: the code, and not one command to the card.
TEST(AuthenticationRefusal, AnswersItsCodeWithoutACardCommand) {
    const struct {
        std::function<DWORD(CARD_DATA&, Buffers&)> call;
        DWORD status;
    } cases[] = {
        {CALL(r.pfnCardAuthenticatePin(&r, b.userUpper, b.bytes, 8, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticatePin(&r, b.empty, b.bytes, 8, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticatePin(&r, b.user, nullptr, 8, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticatePin(&r, b.user, b.bytes, 3, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticatePin(&r, b.user, b.bytes, 17, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticatePin(&r, b.admin, b.bytes, 7, nullptr)), SCARD_W_WRONG_CHV},
        {CALL(r.pfnCardGetChallengeEx(&r, ROLE_USER, &b.out, &b.outSize, 0)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardGetChallengeEx(&r, ROLE_ADMIN, &b.out, &b.outSize, 1)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardGetChallenge(&r, nullptr, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticateChallenge(&r, b.bytes, 7, nullptr)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardUnblockPin(&r, b.admin, b.bytes, 8, b.bytes, 8, 0, 1)), SCARD_E_UNSUPPORTED_FEATURE},
        {CALL(r.pfnCardUnblockPin(&r, b.user, b.bytes, 8, b.bytes, 8, 1, 1)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardUnblockPin(&r, b.user, b.bytes, 8, b.bytes, 8, 0, 2)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardUnblockPin(&r, b.user, b.bytes, 7, b.bytes, 8, 0, 1)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardChangeAuthenticator(&r, b.admin, b.bytes, 8, b.bytes, 8, 0, 2, nullptr)),
         SCARD_E_UNSUPPORTED_FEATURE},
        {CALL(r.pfnCardChangeAuthenticator(&r, b.user, b.bytes, 8, b.bytes, 8, 0, 3, nullptr)),
         SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardChangeAuthenticator(&r, b.user, b.bytes, 8, b.bytes, 17, 0, 2, nullptr)),
         SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardChangeAuthenticatorEx(&r, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_USER, b.bytes, 8, ROLE_ADMIN,
                                             b.bytes, 8, 0, nullptr)),
         SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardChangeAuthenticatorEx(&r, PIN_CHANGE_FLAG_CHANGEPIN, ROLE_ADMIN, b.bytes, 25,
                                             ROLE_USER, b.bytes, 8, 0, nullptr)),
         SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardChangeAuthenticatorEx(&r, PIN_CHANGE_FLAG_UNBLOCK, ROLE_USER, b.bytes, 8, ROLE_USER,
                                             b.bytes, 8, 0, nullptr)),
         SCARD_E_UNSUPPORTED_FEATURE},
        {CALL(r.pfnCardDeauthenticate(&r, b.user, 1)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardDeauthenticateEx(&r, 0, 0)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardDeauthenticateEx(&r, 256, 0)), SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardDeauthenticateEx(&r, 1, 0)), SCARD_S_SUCCESS},
        {CALL(r.pfnCardAuthenticateEx(&r, 3, 0, b.bytes, 8, nullptr, nullptr, nullptr)),
         SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticateEx(&r, ROLE_USER, CARD_PIN_SILENT_CONTEXT | 1, b.bytes, 8, nullptr,
                                      nullptr, nullptr)),
         SCARD_E_INVALID_PARAMETER},
        {CALL(r.pfnCardAuthenticateEx(&r, ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, nullptr, 0, nullptr,
                                      nullptr, nullptr)),
         SCARD_E_INVALID_PARAMETER},
    };
    EntryHost host;
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Buffers buffers;
        host.Commands();
        EXPECT_EQ(c.call(host.Card(), buffers), c.status);
        EXPECT_TRUE(host.Commands().empty());
    }
}

// Each wrong PIN reports the tries left, the right one restores them; the last wrong one blocks
// until the administrator's unblock sets a new PIN.
TEST(Logon, WrongPinsCountDownBlockAndAnUnblockSetsANewPin) {
    EntryHost host;
    EXPECT_EQ(host.WriteAsUser(), SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(host.Logon(kWrong).attempts, 4U);
    EXPECT_EQ(host.Logon(kPin).status, SCARD_S_SUCCESS);
    EXPECT_EQ(host.WriteAsUser(), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Card().pfnCardDeauthenticateEx(&host.Card(), 4, 0), SCARD_S_SUCCESS);  // the admin's
    EXPECT_EQ(host.WriteAsUser(), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Card().pfnCardDeauthenticateEx(&host.Card(), 6, 0), SCARD_S_SUCCESS);
    EXPECT_EQ(host.WriteAsUser(), SCARD_W_SECURITY_VIOLATION);

    for (DWORD left = 4; left > 0; --left) {
        const auto wrong = host.Logon(kWrong);
        EXPECT_EQ(wrong.status, SCARD_W_WRONG_CHV);
        EXPECT_EQ(wrong.attempts, left);
    }
    const auto last = host.Logon(kWrong);
    EXPECT_EQ(last.status, SCARD_W_CHV_BLOCKED);
    EXPECT_EQ(last.attempts, 0U);
    EXPECT_EQ(host.Logon(kPin).status, SCARD_W_CHV_BLOCKED);
    const ByteVector fresh = Ascii("24681357");
    EXPECT_EQ(host.Change(kPin, fresh), SCARD_W_CHV_BLOCKED);
    EXPECT_EQ(host.Unblock(fresh), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Logon(kPin).status, SCARD_W_WRONG_CHV);
    EXPECT_EQ(host.Logon(fresh).status, SCARD_S_SUCCESS);
}

// The policy is read from the card's state file before the PIN goes out; a refused PIN is not sent.
TEST(LogonPolicy, RefusesAnExpiredPinOrOneThatMustChangeWithoutSendingIt) {
    const struct {
        std::string lastChange;
        bool mustChange;
        DWORD status;
    } cases[] = {
        {DaysAgo(1), false, SCARD_S_SUCCESS},    {DaysAgo(89), false, SCARD_S_SUCCESS},
        {DaysAgo(91), false, SCARD_W_WRONG_CHV}, {"ABCDEFGH", false, SCARD_W_WRONG_CHV},
        {DaysAgo(1), true, SCARD_W_WRONG_CHV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastChange + (c.mustChange ? " must change" : ""));
        helixsim::Profile profile = PolicyProfile();
        profile.mustChange = c.mustChange;
        profile.lastChange = c.lastChange;
        EntryHost host(profile);
        host.Commands();
        const auto outcome = host.Logon(kPin);
        EXPECT_EQ(outcome.status, c.status);
        const std::vector<ByteVector> commands = host.Commands();
        EXPECT_EQ(std::any_of(commands.begin(), commands.end(),
                              [](const ByteVector& cmd) { return cmd[0] == 0x80 && cmd[1] == 0x20; }),
                  c.status == SCARD_S_SUCCESS);
        EXPECT_EQ(outcome.attempts, c.status == SCARD_S_SUCCESS ? 0xEEEEU : 5U);
    }
}

// Changes go into the history ring; where the policy says so an unblocked PIN must be changed
// before logon. The log shows every command, so no PIN may travel in clear.
TEST(PinChange, TheHistoryRingRemembersTheLastThreePinsAndNoPinReachesTheLog) {
    const LogCapture log;
    EntryHost host(PolicyProfile());
    const ByteVector history = *host.CardFile(kHistoryPath);
    DWORD attempts = 0;
    EXPECT_EQ(host.Change(kWrong, Ascii("11112222"), &attempts), SCARD_W_WRONG_CHV);
    EXPECT_EQ(attempts, 4U);
    EXPECT_EQ(*host.CardFile(kHistoryPath), history);

    const ByteVector pins[] = {Ascii("11112222"), Ascii("33334444"), Ascii("55556666"), Ascii("77778888")};
    ByteVector current = kPin;
    for (const ByteVector& next : pins) {
        ASSERT_EQ(host.Change(current, next), SCARD_S_SUCCESS);
        current = next;
    }
    // Four changes into three places: the fourth wrote the first entry again.
    EXPECT_EQ(ToHex(*host.CardFile(kHistoryPath)),
              "001400010003" + ToHex(Concat({Sha1(pins[3]), Sha1(pins[1]), Sha1(pins[2])})));
    EXPECT_EQ(ToHex(*host.CardFile(kStatePath)), "02C4010002C708" + ToHex(Ascii(DaysAgo(0))));
    EXPECT_EQ(host.Change(current, pins[2]), SCARD_E_UNEXPECTED);
    EXPECT_EQ(host.Logon(pins[2]).status, SCARD_W_WRONG_CHV);
    EXPECT_EQ(host.Logon(current).status, SCARD_S_SUCCESS);
    EXPECT_EQ(host.Change(current, pins[0]), SCARD_S_SUCCESS);

    const ByteVector unblocked = Ascii("24681357");
    const ByteVector chosen = Ascii("99990000");
    ASSERT_EQ(host.Unblock(unblocked), SCARD_S_SUCCESS);
    EXPECT_EQ(ToHex(host.CardFile(kStatePath)->data(), 4), "02C40101");
    EXPECT_EQ(host.Logon(unblocked).status, SCARD_W_WRONG_CHV);
    ASSERT_EQ(host.Change(unblocked, chosen), SCARD_S_SUCCESS);
    EXPECT_EQ(host.Logon(chosen).status, SCARD_S_SUCCESS);

    const std::string text = Squeezed(log.Read());
    ASSERT_NE(text.find("CAPDU"), std::string::npos);
    for (const ByteVector& pin : {kPin, pins[0], pins[1], pins[2], pins[3], unblocked, chosen})
        EXPECT_EQ(text.find(ToHex(pin)), std::string::npos);
}

TEST(Administrator, AChallengeEndsTheLoginAndOnlyTheRightResponseStartsIt) {
    EntryHost host;
    CARD_DATA& card = host.Card();
    ByteVector response = host.AdminResponse();
    response[0] ^= 1;
    DWORD attempts = 0;
    EXPECT_EQ(card.pfnCardAuthenticateChallenge(&card, response.data(), 8, &attempts), SCARD_W_WRONG_CHV);
    EXPECT_EQ(attempts, 4U);

    // While the administrator is logged in, card work goes on in the applet as selected.
    const auto selectionsForAWrite = [&] {
        host.Commands();
        (void)host.WriteAsUser();
        return host.AppletSelections();
    };
    response = host.AdminResponse();
    EXPECT_EQ(
        card.pfnCardAuthenticateEx(&card, ROLE_ADMIN, 0, response.data(), 8, nullptr, nullptr, &attempts),
        SCARD_S_SUCCESS);
    EXPECT_EQ(selectionsForAWrite(), 0U);
    (void)host.Challenge();
    EXPECT_EQ(selectionsForAWrite(), 1U);
}

TEST(Administrator, ChallengesNeedThePolicyToAllowThem) {
    helixsim::Profile profile = helixsim::DefaultProfile();
    profile.adminChallenge = false;
    EntryHost host(profile);
    CARD_DATA& card = host.Card();
    Buffers b;
    EXPECT_EQ(card.pfnCardGetChallenge(&card, &b.out, &b.outSize), SCARD_F_INTERNAL_ERROR);
    EXPECT_EQ(card.pfnCardAuthenticateChallenge(&card, b.bytes, 8, nullptr), SCARD_W_WRONG_CHV);
    EXPECT_EQ(card.pfnCardChangeAuthenticatorEx(&card, PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN, b.bytes, 8,
                                                ROLE_USER, b.bytes, 8, 0, nullptr),
              SCARD_F_INTERNAL_ERROR);
}

// A session PIN as generation hands it out: the biometric value, then the identity text.
ByteVector SessionPin(const ByteVector& value, const ByteVector& identity) {
    return Hex("0090" + HexByte(value.size()) + ToHex(value) + "0080" + HexByte(identity.size()) +
               ToHex(identity));
}

DWORD PresentSessionPin(CARD_DATA& card, ByteVector pin) {
    return card.pfnCardAuthenticateEx(&card, ROLE_USER, CARD_AUTHENTICATE_SESSION_PIN, pin.data(),
                                      static_cast<DWORD>(pin.size()), nullptr, nullptr, nullptr);
}

// The session PIN stands in for the PIN on a biometric card, and later calls present it again.
TEST(SessionPin, StandsInForThePinOnABiometricCard) {
    const ByteVector finger(20, 0xB1);
    const struct {
        const char* profile;
        ByteVector sessionPin;
        DWORD status;
    } cases[] = {
        {"bio-23", SessionPin(finger, kPin), SCARD_S_SUCCESS},
        {"bio-25", SessionPin(finger, kPin), SCARD_S_SUCCESS},
        {"bio-25", SessionPin(finger, kWrong), SCARD_W_WRONG_CHV},
        {"bio-23", SessionPin(ByteVector(20, 0xB2), kPin), SCARD_W_WRONG_CHV},
        {"bio-23", SessionPin(ByteVector(21, 0xB1), kPin), SCARD_E_INVALID_PARAMETER},
        {"bio-23", SessionPin(finger, ByteVector(53, 'a')), SCARD_E_INVALID_PARAMETER},
        {"bio-23", SessionPin(finger, Hex("C328")), SCARD_E_INVALID_PARAMETER},  // not UTF-8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " " + ToHex(c.sessionPin));
        EntryHost host(helixsim::ProfileByName(c.profile));
        EXPECT_EQ(PresentSessionPin(host.Card(), c.sessionPin), c.status);
        EXPECT_EQ(host.WriteAsUser(),
                  c.status == SCARD_S_SUCCESS ? SCARD_S_SUCCESS : SCARD_W_SECURITY_VIOLATION);
    }
}

std::function<void()> g_whileAuthenticating;

// The test stand-in for the outside library, loaded before the module asks for it by name, so
// that the module's load finds it; it answers as the environment says.
class OutsideLibrary {
public:
    OutsideLibrary()
        : m_handle(dlopen(HELIX_TQAUTH_LIBRARY, RTLD_NOW)),
          m_trace(::testing::TempDir() + "tqauth-" + std::to_string(getpid()) + ".trace") {
        EXPECT_NE(m_handle, nullptr) << dlerror();
        std::remove(m_trace.c_str());
        setenv("TQAUTH_TRACE", m_trace.c_str(), 1);
    }
    ~OutsideLibrary() {
        for (const char* name : {"TQAUTH_TRACE", "TQAUTH_RESULT", "TQAUTH_KIND", "TQAUTH_TEMPLATE",
                                 "TQAUTH_IDENTITY", "TQAUTH_TICKET"})
            unsetenv(name);
        if (m_handle != nullptr) dlclose(m_handle);
    }
    std::string Trace() const {
        std::ifstream in(m_trace);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    void* m_handle;
    std::string m_trace;
};

// Inside the host's own transaction, as the Windows stack calls; the module gives it up while the
// library works and holds the one it took back in its place, which the host then ends.
std::pair<DWORD, ByteVector> Generate(CARD_DATA& card) {
    PBYTE data = nullptr;
    DWORD size = 0;
    EXPECT_EQ(pcsc::BeginTransaction(card.hScard), SCARD_S_SUCCESS);
    const DWORD status = card.pfnCardAuthenticateEx(&card, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN,
                                                    nullptr, 0, &data, &size, nullptr);
    EXPECT_EQ(pcsc::EndTransaction(card.hScard, pcsc::kLeaveCard), SCARD_S_SUCCESS);
    ByteVector pin(data, data + size);
    if (data != nullptr) moduletest::HostMemory::Free(data);
    return {status, pin};
}

// The first case has the card reset while the library has it: the module reconnects once and goes
// on. Neither the PIN inside the ticket nor a session PIN reaches the log.
TEST(SessionPin, GeneratedFromTheOutsideLibrarysTicket) {
    const LogCapture log;
    std::vector<ByteVector> sessionPins;
    // Base64 of 24 + 2 + 128 bytes: one byte short of a record.
    ByteVector shortRecord(24, 0);
    shortRecord.push_back(0x01);
    shortRecord.push_back(0x80);
    shortRecord.resize(shortRecord.size() + 0x80, 0x11);
    const std::string shortTicket =
        libapdu::Base64Encode(libapdu::ByteSpan(shortRecord.data(), shortRecord.size()));
    const std::string finger = ToHex(ByteVector(20, 0xB1));
    const struct {
        const char* profile;
        const char* result;
        std::string finger;
        DWORD status;
        std::string ticket;  // in place of the library's own
    } cases[] = {
        {"bio-23", "0", finger, SCARD_S_SUCCESS, ""},
        {"bio-25", "0", finger, SCARD_S_SUCCESS, ""},
        {"bio-23", "1", finger, SCARD_W_CANCELLED_BY_USER, ""},
        {"bio-23", "2", finger, SCARD_E_UNEXPECTED, ""},
        {"bio-23", "4", finger, SCARD_E_UNEXPECTED, ""},
        {"bio-23", "0", ToHex(ByteVector(20, 0xB2)), SCARD_W_WRONG_CHV, ""},
        {"default", "0", finger, SCARD_E_UNSUPPORTED_FEATURE, ""},
        // Not Base64; no element 01; a record of 128 bytes. None of them reaches the card.
        {"bio-23", "0", finger, SCARD_E_INVALID_PARAMETER, "!not Base64!"},
        {"bio-23", "0", finger, SCARD_E_INVALID_PARAMETER, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
        {"bio-23", "0", finger, SCARD_E_INVALID_PARAMETER, shortTicket},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " result " + c.result + " finger " + c.finger + " " + c.ticket);
        const OutsideLibrary library;
        setenv("TQAUTH_RESULT", c.result, 1);
        setenv("TQAUTH_TEMPLATE", c.finger.c_str(), 1);
        setenv("TQAUTH_KIND", std::string(c.profile).substr(4).c_str(), 1);
        setenv("TQAUTH_TICKET", c.ticket.c_str(), 1);
        EntryHost host(helixsim::ProfileByName(c.profile));
        if (&c == cases)
            g_whileAuthenticating = [] { helixsim::Readers::Instance().ResetCard(moduletest::kReader); };
        const auto [status, sessionPin] = Generate(host.Card());
        g_whileAuthenticating = nullptr;
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(host.WriteAsUser(),
                  c.status == SCARD_S_SUCCESS ? SCARD_S_SUCCESS : SCARD_W_SECURITY_VIOLATION);
        if (c.status == SCARD_E_UNSUPPORTED_FEATURE) {
            EXPECT_EQ(library.Trace(), "");
            continue;
        }
        EXPECT_EQ(library.Trace(), std::string("tqauth_GetTicketSize\ntqauth_Auth reader=") +
                                       moduletest::kReader + " length=12 window=0 size=208\n");
        if (c.status != SCARD_S_SUCCESS) continue;
        EXPECT_EQ(ToHex(sessionPin), "009014" + finger + "008010" + ToHex(kPin) + "0000000000000000");
        sessionPins.push_back(sessionPin);
        // The session PIN logs the user on in another context of its own.
        moduletest::Acquired other(host.RecordFor(host.Connect()));
        EXPECT_EQ(PresentSessionPin(*other, sessionPin), SCARD_S_SUCCESS);
    }
    const std::string text = Squeezed(log.Read());
    ASSERT_NE(text.find("CAPDU"), std::string::npos);
    ASSERT_EQ(sessionPins.size(), 2U);
    for (const ByteVector& secret : {kPin, sessionPins[0], sessionPins[1]})
        EXPECT_EQ(text.find(ToHex(secret)), std::string::npos);
}

}  // namespace

// Called by the stand-in library while it has the card.
extern "C" __attribute__((visibility("default"))) void tqauth_while_authenticating() {
    if (g_whileAuthenticating) g_whileAuthenticating();
}
