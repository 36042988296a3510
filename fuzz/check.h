// How a fuzz target reports a broken promise: print it and abort, so that
// libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, long long detail = 0) {
    std::fprintf(stderr, "fuzz check failed: %s (%lld)\n", what, detail);
    std::abort();
}

}  // namespace fuzz
