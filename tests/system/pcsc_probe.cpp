// A small PC/SC client for the system tests: reaches the simulated card through real pcsc-lite.
//   pcsc_probe present READER            whether READER holds a card that answered its reset
//   pcsc_probe absent READER             whether READER holds no card (or is not there)
//   pcsc_probe scenario READER ATR_HEX   the ATR, T=1, applet selection, a reset seen by a second
//                                        handle
//   pcsc_probe select READER             one applet selection
//   pcsc_probe removal READER            for a card that leaves after its third command and comes
//                                        back: the handle is told, and reconnects once it is back
// Prints a line per check; exits 0 when every check passed, 1 otherwise, 2 on a wrong command line.
#include <PCSC/winscard.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hex.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kSelectApplet{0x00, 0xA4, 0x04, 0x00, 0x0C, 0xA0, 0x00, 0x00, 0x01,
                          0x64, 'P',  'R',  'I',  'S',  'M',  0x00, 0x01};
const Bytes kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x08};
// SELECT by path 3F00/3000/3003/4000, the card identifier file: needs the applet selected.
const Bytes kSelectCardId{0x80, 0xA4, 0x08, 0x0C, 0x08, 0x3F, 0x00, 0x30, 0x00, 0x30, 0x03, 0x40, 0x00, 0x00};

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    if (!ok) ++g_failures;
}

std::string Code(LONG rv) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(rv) & 0xFFFFFFFFul);
    return text;
}

struct Answer {
    LONG rv = SCARD_S_SUCCESS;
    Bytes data;  // response data without the status word
    uint16_t sw = 0;
};

// One SCardTransmit; the status word is split off when there is one.
Answer Transmit(SCARDHANDLE card, const Bytes& command) {
    Answer a;
    BYTE buffer[258 + 2];
    DWORD length = sizeof buffer;
    a.rv = SCardTransmit(card, SCARD_PCI_T1, command.data(), command.size(), nullptr, buffer, &length);
    if (a.rv != SCARD_S_SUCCESS) return a;
    if (length < 2) {
        a.rv = SCARD_F_COMM_ERROR;
        return a;
    }
    a.data.assign(buffer, buffer + length - 2);
    a.sw = static_cast<uint16_t>(buffer[length - 2] << 8 | buffer[length - 1]);
    return a;
}

class Context {
public:
    Context() { m_rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context); }
    ~Context() {
        if (m_rv == SCARD_S_SUCCESS) SCardReleaseContext(m_context);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    LONG Result() const { return m_rv; }
    SCARDCONTEXT Get() const { return m_context; }

private:
    SCARDCONTEXT m_context = 0;
    LONG m_rv;
};

class Card {
public:
    Card(const Context& context, const std::string& reader) {
        m_rv = SCardConnect(context.Get(), reader.c_str(), SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &m_card, &m_protocol);
    }
    ~Card() {
        if (m_rv == SCARD_S_SUCCESS) SCardDisconnect(m_card, SCARD_LEAVE_CARD);
    }
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    LONG Result() const { return m_rv; }
    DWORD Protocol() const { return m_protocol; }
    SCARDHANDLE Get() const { return m_card; }

private:
    SCARDHANDLE m_card = 0;
    DWORD m_protocol = 0;
    LONG m_rv;
};

bool CardPresent(const std::string& reader) {
    const Context context;
    if (context.Result() != SCARD_S_SUCCESS) return false;
    SCARD_READERSTATE state = {};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context.Get(), 0, &state, 1) != SCARD_S_SUCCESS) return false;
    return (state.dwEventState & SCARD_STATE_PRESENT) != 0 && (state.dwEventState & SCARD_STATE_MUTE) == 0;
}

bool Selected(SCARDHANDLE card) {
    const Answer a = Transmit(card, kSelectApplet);
    Check(a.rv == SCARD_S_SUCCESS && a.sw == 0x9000, "SELECT of the Helix applet answers 9000 (rv " +
                                                         Code(a.rv) + ", sw " +
                                                         ToHex({uint8_t(a.sw >> 8), uint8_t(a.sw)}) + ")");
    return a.rv == SCARD_S_SUCCESS && a.sw == 0x9000;
}

int Select(const std::string& reader) {
    const Context context;
    const Card card(context, reader);
    Check(card.Result() == SCARD_S_SUCCESS, "connect (rv " + Code(card.Result()) + ")");
    if (card.Result() == SCARD_S_SUCCESS) Selected(card.Get());
    return g_failures == 0 ? 0 : 1;
}

void CheckAtr(const Card& card, const std::string& expected) {
    char name[MAX_READERNAME];
    DWORD nameLength = sizeof name;
    DWORD state = 0;
    DWORD protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    const LONG rv = SCardStatus(card.Get(), name, &nameLength, &state, &protocol, atr, &atrLength);
    const std::string got = rv == SCARD_S_SUCCESS ? ToHex(Bytes(atr, atr + atrLength)) : "";
    Check(rv == SCARD_S_SUCCESS && got == expected, "ATR " + got + " is the profile's " + expected);
}

// A reset through one handle is reported to the other, and reaches the card (the applet is no
// longer selected).
void CheckResetSeenByOtherHandle(const Card& first, const Card& second) {
    DWORD protocol = 0;
    LONG rv = SCardReconnect(first.Get(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                             SCARD_RESET_CARD, &protocol);
    Check(rv == SCARD_S_SUCCESS, "reconnect with a card reset (rv " + Code(rv) + ")");
    const Answer stale = Transmit(second.Get(), kGetChallenge);
    Check(stale.rv == static_cast<LONG>(SCARD_W_RESET_CARD),
          "the other handle's transmit answers SCARD_W_RESET_CARD (rv " + Code(stale.rv) + ")");
    rv = SCardReconnect(second.Get(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                        SCARD_LEAVE_CARD, &protocol);
    Check(rv == SCARD_S_SUCCESS, "the other handle reconnects (rv " + Code(rv) + ")");
    const Answer fresh = Transmit(second.Get(), kSelectCardId);
    Check(fresh.rv == SCARD_S_SUCCESS && fresh.sw != 0x9000,
          "after the reset a file selection without the applet is refused (sw " +
              ToHex({uint8_t(fresh.sw >> 8), uint8_t(fresh.sw)}) + ")");
}

int Scenario(const std::string& reader, const std::string& atr) {
    const Context context;
    Check(context.Result() == SCARD_S_SUCCESS, "establish context (rv " + Code(context.Result()) + ")");
    if (g_failures != 0) return 1;
    const Card first(context, reader);
    Check(first.Result() == SCARD_S_SUCCESS && first.Protocol() == SCARD_PROTOCOL_T1,
          "connect, protocol T=1 (rv " + Code(first.Result()) + ")");
    if (g_failures != 0) return 1;
    CheckAtr(first, atr);
    Selected(first.Get());

    const Card second(context, reader);
    Check(second.Result() == SCARD_S_SUCCESS, "second connect (rv " + Code(second.Result()) + ")");
    if (second.Result() == SCARD_S_SUCCESS) CheckResetSeenByOtherHandle(first, second);
    return g_failures == 0 ? 0 : 1;
}

// Until `call` answers `wanted`, polling for at most `seconds`; the last answer.
LONG PollFor(LONG wanted, int seconds, const std::function<LONG()>& call) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    LONG rv = call();
    while (rv != wanted && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rv = call();
    }
    return rv;
}

int Removal(const std::string& reader) {
    const Context context;
    const Card card(context, reader);
    Check(card.Result() == SCARD_S_SUCCESS, "connect (rv " + Code(card.Result()) + ")");
    if (card.Result() != SCARD_S_SUCCESS || !Selected(card.Get())) return 1;
    const Answer second = Transmit(card.Get(), kGetChallenge);
    const Answer third = Transmit(card.Get(), kGetChallenge);
    Check(second.sw == 0x9000 && third.sw == 0x9000, "the commands before the removal are answered");

    const LONG removed = PollFor(SCARD_W_REMOVED_CARD, 5, [&] {
        DWORD state = 0;
        DWORD protocol = 0;
        DWORD nameLength = 0;
        DWORD atrLength = 0;
        return SCardStatus(card.Get(), nullptr, &nameLength, &state, &protocol, nullptr, &atrLength);
    });
    Check(removed == static_cast<LONG>(SCARD_W_REMOVED_CARD),
          "the handle is told of the removal (rv " + Code(removed) + ")");
    const LONG back = PollFor(SCARD_S_SUCCESS, 10, [&] {
        DWORD protocol = 0;
        return SCardReconnect(card.Get(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                              SCARD_LEAVE_CARD, &protocol);
    });
    Check(back == SCARD_S_SUCCESS, "the old handle reconnects once the card is back (rv " + Code(back) + ")");
    if (back == SCARD_S_SUCCESS) Selected(card.Get());
    return g_failures == 0 ? 0 : 1;
}

int Usage() {
    std::fputs(
        "usage: pcsc_probe present READER | absent READER | scenario READER ATR_HEX | select READER |"
        " removal READER\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "present") return CardPresent(args[1]) ? 0 : 1;
    if (args.size() == 2 && args[0] == "absent") return CardPresent(args[1]) ? 1 : 0;
    if (args.size() == 3 && args[0] == "scenario") return Scenario(args[1], args[2]);
    if (args.size() == 2 && args[0] == "select") return Select(args[1]);
    if (args.size() == 2 && args[0] == "removal") return Removal(args[1]);
    return Usage();
}
