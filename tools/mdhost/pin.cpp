#include "mdhost/pin.h"

#include <memory>
#include <optional>
#include <utility>

#include "mdhost/hex.h"
#include "mdhost/host_crypto.h"

namespace mdhost {

namespace {

constexpr size_t kKeySize = 24;
constexpr size_t kChallengeSize = 8;
// More tries than any card keeps: a larger count is not believed, and nothing is blocked.
constexpr DWORD kMostTries = 15;

Bytes Ascii(const char* text) {
    return Bytes(text, text + std::char_traits<char>::length(text));
}

// The PINs the scenario changes to, none of them the card's own. On a card with a history a run
// records three of them and then the card's own PIN, always in that order: each is four changes
// old when it comes round again, past a history of three.
std::vector<Bytes> OtherPins(const Bytes& pin) {
    std::vector<Bytes> pins;
    for (const char* candidate : {"11112222", "33334444", "55556666", "77778888", "24681357"}) {
        Bytes value = Ascii(candidate);
        if (value != pin && pins.size() < 4) pins.push_back(std::move(value));
    }
    return pins;
}

std::string Tries(DWORD attempts) {
    return std::to_string(attempts) + " attempts remaining";
}

class CPinRun {
public:
    CPinRun(CMinidriverSession& session, const PinScenario& scenario, const CApduLog& log)
        : m_session(session),
          m_key(scenario.adminKey),
          m_pin(scenario.pin.begin(), scenario.pin.end()),
          m_wrong(m_pin),
          m_others(OtherPins(m_pin)),
          m_recorder(m_report, log) {
        if (!m_wrong.empty()) m_wrong.back() ^= 0x01;
    }
    ~CPinRun() { Wipe(m_key); }
    CPinRun(const CPinRun&) = delete;
    CPinRun& operator=(const CPinRun&) = delete;

    StepsReport Run(PinPolicy policy) {
        if (policy == PinPolicy::kNone) Plain();
        if (policy == PinPolicy::kOn) Policy();
        if (policy == PinPolicy::kExpired) Expired();
        Restore();
        return std::move(m_report);
    }

private:
    void Plain();
    void Policy();
    void Expired();
    void Restore();

    void Record(Step step) {
        step.call = m_stage + step.call;
        const Step& added = m_recorder.Add(std::move(step));
        m_stopped = added.status != added.expected || !added.agreed;
    }

    // CardAuthenticatePin (or CardAuthenticateEx); `tries`, when given, is the count of tries
    // left that a refusal must report.
    void Logon(const std::string& which, const Bytes& pin, DWORD expected, std::optional<DWORD> tries = {},
               bool ex = false) {
        if (m_stopped) return;
        DWORD attempts = 0;
        const DWORD rv =
            ex ? m_session.AuthenticateUserEx(pin, attempts) : m_session.AuthenticateUser(pin, attempts);
        const bool refused = rv == SCARD_W_WRONG_CHV || rv == SCARD_W_CHV_BLOCKED;
        m_attempts = attempts;
        Record({std::string(ex ? "CardAuthenticateEx" : "CardAuthenticatePin") + " user, " + which, rv,
                expected, refused ? Tries(attempts) : "", !refused || !tries || *tries == attempts});
    }

    void Change(const std::string& which, const Bytes& from, const Bytes& to, bool older,
                DWORD expected = SCARD_S_SUCCESS) {
        if (m_stopped) return;
        DWORD attempts = 0;
        const DWORD rv = m_session.ChangeUserPin(from, to, older, attempts);
        if (rv == SCARD_S_SUCCESS) m_current = to;
        Record({std::string(older ? "CardChangeAuthenticator \"user\"" : "CardChangeAuthenticatorEx change") +
                    ", " + which,
                rv, expected, rv == SCARD_W_WRONG_CHV ? Tries(attempts) : ""});
    }

    // A challenge and the response to it.
    Bytes Response() {
        if (m_stopped) return {};
        Bytes challenge;
        const DWORD rv = m_session.AdminChallenge(challenge);
        Bytes response = AdminResponse(m_key, challenge);
        Record({"CardGetChallengeEx admin", rv, SCARD_S_SUCCESS, HexBytes(challenge), !response.empty()});
        return response;
    }

    void AdminLogon(bool older) {
        const Bytes response = Response();
        if (m_stopped) return;
        DWORD attempts = 0;
        const DWORD rv = m_session.AuthenticateAdmin(response, older, attempts);
        Record({older ? "CardAuthenticateChallenge, the response" : "CardAuthenticateEx admin, the response",
                rv, SCARD_S_SUCCESS, rv == SCARD_W_WRONG_CHV ? Tries(attempts) : ""});
    }

    void Unblock(const std::string& which, const Bytes& to, bool older) {
        const Bytes response = Response();
        if (m_stopped) return;
        const DWORD rv = m_session.UnblockUserPin(response, to, older);
        if (rv == SCARD_S_SUCCESS) m_current = to;
        Record({std::string(older ? "CardUnblockPin user" : "CardChangeAuthenticatorEx unblock") +
                    ", the response, " + which,
                rv, SCARD_S_SUCCESS, ""});
    }

    CMinidriverSession& m_session;
    Bytes m_key;
    const Bytes m_pin;
    Bytes m_wrong;
    const std::vector<Bytes> m_others;
    StepsReport m_report;
    CStepRecorder m_recorder;
    std::string m_stage;
    bool m_stopped = false;
    DWORD m_attempts = 0;     // of the last logon
    Bytes m_current = m_pin;  // the card's PIN as far as the scenario knows
};

// A run that stopped with the PIN changed tries once to put back the PIN it started with.
void CPinRun::Restore() {
    if (!m_stopped || m_current == m_pin) return;
    m_stopped = false;
    m_stage = "after a step went wrong: ";
    Change("back to the PIN it started with", m_current, m_pin, true);
}

void CPinRun::Plain() {
    const Bytes& fresh = m_others[0];
    m_stage = "change: ";
    Change("to a new PIN", m_pin, fresh, false);
    Logon("the new PIN", fresh, SCARD_S_SUCCESS);
    Logon("the old PIN", m_pin, SCARD_W_WRONG_CHV);
    const DWORD triesAfterOne = m_attempts;
    Change("back to the PIN it started with", fresh, m_pin, true);
    Logon("the PIN it started with", m_pin, SCARD_S_SUCCESS);

    m_stage = "administrator: ";
    AdminLogon(false);
    AdminLogon(true);

    // Blocked on purpose, only once the administrator's response has been seen to work.
    m_stage = "unblock from blocked: ";
    if (!m_stopped && triesAfterOne > kMostTries)
        Record({"the tries the old PIN left, too many", SCARD_S_SUCCESS, SCARD_S_SUCCESS,
                Tries(triesAfterOne), false});
    for (DWORD left = triesAfterOne; left > 0 && !m_stopped; --left)
        Logon("a wrong PIN", m_wrong, SCARD_W_WRONG_CHV, left);
    Logon("a wrong PIN, the last try", m_wrong, SCARD_W_CHV_BLOCKED, 0);
    Logon("the right PIN while blocked", m_pin, SCARD_W_CHV_BLOCKED);
    Unblock("the PIN it started with", m_pin, true);
    Logon("the PIN it started with", m_pin, SCARD_S_SUCCESS);

    m_stage = "unblock with tries left: ";
    Logon("a wrong PIN", m_wrong, SCARD_W_WRONG_CHV, triesAfterOne);
    Unblock("the PIN it started with", m_pin, false);
    Logon("a wrong PIN, the tries full again", m_wrong, SCARD_W_WRONG_CHV, triesAfterOne);

    m_stage = "end: ";
    Logon("the PIN it started with", m_pin, SCARD_S_SUCCESS);
}

void CPinRun::Policy() {
    const Bytes& first = m_others[0];
    const Bytes& second = m_others[1];
    const Bytes& third = m_others[2];
    const Bytes& unblocked = m_others[3];
    m_stage = "policy, PIN within its age: ";
    Logon("the PIN it started with", m_pin, SCARD_S_SUCCESS);

    m_stage = "policy, history: ";
    Change("to a first new PIN", m_pin, first, false);
    Logon("the first new PIN", first, SCARD_S_SUCCESS);
    Change("to a second new PIN", first, second, true);
    Change("back to the first, which the history holds", second, first, true, SCARD_E_UNEXPECTED);
    Logon("the second PIN, kept", second, SCARD_S_SUCCESS);

    m_stage = "policy, change after unblock: ";
    Unblock("a PIN the administrator sets", unblocked, false);
    Logon("that PIN, refused until changed", unblocked, SCARD_W_WRONG_CHV);
    Change("to a third new PIN", unblocked, third, false);
    Logon("the third new PIN", third, SCARD_S_SUCCESS);

    m_stage = "end: ";
    Change("back to the PIN it started with", third, m_pin, true);
    Logon("the PIN it started with", m_pin, SCARD_S_SUCCESS);
}

// Nothing here changes the PIN: a change would renew it, and the card would expire no more.
void CPinRun::Expired() {
    m_stage = "policy, expired PIN: ";
    Logon("the PIN it started with", m_pin, SCARD_W_WRONG_CHV);
    Logon("the same PIN, no try spent", m_pin, SCARD_W_WRONG_CHV, m_attempts, true);
}

}  // namespace

StepsReport RunPinScenario(CMinidriverSession& session, const PinScenario& scenario, const CApduLog& log) {
    return CPinRun(session, scenario, log).Run(scenario.policy);
}

Bytes AdminResponse(const Bytes& key, const Bytes& challenge) {
    if (key.size() != kKeySize || challenge.size() != kChallengeSize) return {};
    return TripleDesEcb(key, challenge);
}

}  // namespace mdhost
