#include "card_clock.h"

#include "channel/pcsc.h"

namespace {
thread_local HelixBenchCardClock t_clock{};
}  // namespace

// The linker sends the module's calls of pcsc::Transmit here (--wrap) and the real one to
// __real_; the names are the mangled ones of that function.
extern "C" {
DWORD __real__ZN4pcsc8TransmitEmjPKhjPhPj(SCARDHANDLE card, DWORD protocol, const BYTE* send,
                                          DWORD sendLength, BYTE* recv, DWORD* recvLength);

DWORD __wrap__ZN4pcsc8TransmitEmjPKhjPhPj(SCARDHANDLE card, DWORD protocol, const BYTE* send,
                                          DWORD sendLength, BYTE* recv, DWORD* recvLength) {
    const uint64_t start = HelixBenchThreadNanoseconds();
    const DWORD rv = __real__ZN4pcsc8TransmitEmjPKhjPhPj(card, protocol, send, sendLength, recv, recvLength);
    t_clock.cardNanoseconds += HelixBenchThreadNanoseconds() - start;
    ++t_clock.commands;
    t_clock.bytesSent += sendLength;
    if (rv == SCARD_S_SUCCESS && recvLength != nullptr) t_clock.bytesReceived += *recvLength;
    return rv;
}

HelixBenchCardClock HelixBenchCardTotals() {
    return t_clock;
}
}
