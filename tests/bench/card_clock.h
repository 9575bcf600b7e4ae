// What the module spent waiting on the card: the seam's SCardTransmit is wrapped at link time in
// the benchmark's build of the module, so the card's own time and traffic can be taken out of
// the module's.
#pragma once

#include <cstdint>
#include <ctime>

struct HelixBenchCardClock {
    uint64_t cardNanoseconds;  // thread CPU time spent inside the simulated card's transmit
    uint64_t commands;         // GET RESPONSE included, as the log counts them
    uint64_t bytesSent;
    uint64_t bytesReceived;
};

extern "C" {
// The totals since the module was loaded, for the calling thread.
HelixBenchCardClock HelixBenchCardTotals();
}
using PFN_HELIX_BENCH_CARD_TOTALS = HelixBenchCardClock (*)();

// CLOCK_THREAD_CPUTIME_ID in nanoseconds.
inline uint64_t HelixBenchThreadNanoseconds() {
    timespec now{};
    (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
}
