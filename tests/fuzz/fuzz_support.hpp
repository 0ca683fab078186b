// Helpers shared by the libFuzzer targets of the core.
//
// A target reads its whole input through FuzzedDataProvider, calls the core
// and checks properties that must hold for every input. The core may refuse
// an input with FatalError (its one failure type); anything else that goes
// wrong -- a property that fails, a foreign exception, a memory error found
// by the sanitizers -- stops the run with the input saved as an artifact.
//
// Sizes are drawn so that the core is never asked for memory it would really
// have to provide beyond a few megabytes: counts are either small, or so
// large that the core must refuse them before allocating anything.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../cpp/support.hpp"
#include "fatal_error.hpp"

namespace tavik::fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_REQUIRE(condition) \
    ((condition) ? (void)0 : ::tavik::fuzz::fail(#condition, __FILE__, __LINE__))

// Any double, NaN payloads, infinities, subnormals and -0.0 included; often
// one of a few meaningful values instead, which raw bits rarely hit.
inline double any_double(FuzzedDataProvider& in) {
    static constexpr double kSpecial[] = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 0.375, 1e-300, 1e300,
                                          HUGE_VAL, -HUGE_VAL, NAN, 5e-324, 0.1, 3.0, 1024.0};
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
        case 1: return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
        case 2: return in.ConsumeFloatingPointInRange<double>(-4.0, 4.0);
        default: return static_cast<double>(in.ConsumeIntegralInRange<int>(-8, 8)) / 4.0;
    }
}

// A count: usually small (up to `small`), sometimes one of the values at
// which 64-bit size arithmetic overflows.
inline std::uint64_t any_count(FuzzedDataProvider& in, std::uint64_t small) {
    static constexpr std::uint64_t kHuge[] = {UINT64_MAX, UINT64_MAX - 1, std::uint64_t{1} << 63,
                                              (std::uint64_t{1} << 63) - 1, std::uint64_t{1} << 62,
                                              (std::uint64_t{1} << 61) + 1, std::uint64_t{1} << 32,
                                              (std::uint64_t{1} << 32) - 1, (std::uint64_t{1} << 32) + 1};
    if (in.ConsumeIntegralInRange<int>(0, 7) != 0) return in.ConsumeIntegralInRange<std::uint64_t>(0, small);
    return kHuge[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kHuge) - 1)];
}

// The largest element count of a vector of T that one allocation may have.
template <class T>
constexpr std::uint64_t max_elements() {
    return static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(T);
}

// Whether a vector of n elements of T is refused before anything is
// allocated (n * factor counted without overflow).
template <class T>
bool refused_count(unsigned __int128 n) {
    return n > max_elements<T>();
}

using test::same;

// Runs f; a FatalError is an accepted refusal (returns false), success
// returns true, anything else escapes and ends the run.
template <class F>
bool accepted(F&& f) {
    try {
        f();
        return true;
    } catch (const FatalError&) {
        return false;
    }
}

}  // namespace tavik::fuzz
