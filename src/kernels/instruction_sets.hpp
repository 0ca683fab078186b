// The instruction sets the vector kernels are built for: the one list from
// which the enum, the lane widths, the names, the dispatch and the tests'
// sweep all come, and which the build reads for its per-set compile flags
// (cmake/TavikCore.cmake). Adding a set is one line here.
//
// X(name, feature, flags, lanes): the set's name (an identifier), the
// feature __builtin_cpu_supports checks at run time, the compiler flags of
// its translation unit, and the doubles in one of its vector registers.
// Narrowest first; the processor runs the last one it supports. No flag may
// enable FMA: results are compared bit for bit across the sets.
#pragma once

#define TAVIK_INSTRUCTION_SETS(X)              \
    X(sse2, "sse2", "", 2)                     \
    X(avx2, "avx2", "-mavx2", 4)               \
    X(avx512f, "avx512f", "-mavx512f", 8)

namespace tavik {

enum class InstructionSet {
#define TAVIK_ENUMERATOR(name, feature, flags, lanes) name,
    TAVIK_INSTRUCTION_SETS(TAVIK_ENUMERATOR)
#undef TAVIK_ENUMERATOR
};

inline constexpr const char* kInstructionSetNames[] = {
#define TAVIK_NAME(name, feature, flags, lanes) #name,
    TAVIK_INSTRUCTION_SETS(TAVIK_NAME)
#undef TAVIK_NAME
};

inline constexpr int kInstructionSetLanes[] = {
#define TAVIK_LANES(name, feature, flags, lanes) lanes,
    TAVIK_INSTRUCTION_SETS(TAVIK_LANES)
#undef TAVIK_LANES
};

inline constexpr int kInstructionSetCount = sizeof(kInstructionSetLanes) / sizeof(int);

inline const char* name_of(InstructionSet set) noexcept { return kInstructionSetNames[static_cast<int>(set)]; }

}  // namespace tavik
