#include "card_clock.h"

#include "channel/pcsc.h"

namespace {
HelixBenchCardClock& Clock() {
    thread_local HelixBenchCardClock clock{};
    return clock;
}
}  // namespace

// The linker sends the module's calls of pcsc::Transmit here (--wrap) and the real one to
// __real_; the names are the mangled ones of that function, reserved identifiers by necessity.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
DWORD __real__ZN4pcsc8TransmitEmjPKhjPhPj(SCARDHANDLE card, DWORD protocol, const BYTE* send,
                                          DWORD sendLength, BYTE* recv, DWORD* recvLength);

DWORD __wrap__ZN4pcsc8TransmitEmjPKhjPhPj(SCARDHANDLE card, DWORD protocol, const BYTE* send,
                                          DWORD sendLength, BYTE* recv, DWORD* recvLength) {
    const uint64_t start = HelixBenchThreadNanoseconds();
    const DWORD rv = __real__ZN4pcsc8TransmitEmjPKhjPhPj(card, protocol, send, sendLength, recv, recvLength);
    Clock().cardNanoseconds += HelixBenchThreadNanoseconds() - start;
    ++Clock().commands;
    Clock().bytesSent += sendLength;
    if (rv == SCARD_S_SUCCESS && recvLength != nullptr) Clock().bytesReceived += *recvLength;
    return rv;
}

// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

HelixBenchCardClock HelixBenchCardTotals() {
    return Clock();
}
}
