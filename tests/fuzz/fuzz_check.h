// A broken invariant of a fuzz target: said on stderr, then abort(), which libFuzzer reports as
// a finding and the replaying test as a failure.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

[[noreturn]] inline void Broken(const char* file, int line, const char* condition) {
    (void)std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

}  // namespace fuzzcheck

// The condition's text and place go in the report.
#define FUZZ_REQUIRE(condition) ((condition) ? (void)0 : fuzzcheck::Broken(__FILE__, __LINE__, #condition))
