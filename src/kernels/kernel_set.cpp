// One instruction set's kernels: the build compiles this file once per entry
// of instruction_sets.hpp, with that set's flags and TAVIK_KERNEL_SET
// naming it (cmake/TavikCore.cmake). Only processors that report the set at
// run time call into it (dispatch.cpp).
#include "kernels/kernels_impl.hpp"

#ifndef TAVIK_KERNEL_SET
#error "compile this file once per instruction set, with TAVIK_KERNEL_SET=<name> (cmake/TavikCore.cmake)"
#endif

#define TAVIK_CONCAT_(a, b) a##b
#define TAVIK_CONCAT(a, b) TAVIK_CONCAT_(a, b)

namespace tavik {

inline constexpr int kThisSetLanes = kInstructionSetLanes[static_cast<int>(InstructionSet::TAVIK_KERNEL_SET)];

const KernelTable& TAVIK_CONCAT(kernels_, TAVIK_KERNEL_SET)() noexcept { return kernel_table<kThisSetLanes>(); }

}  // namespace tavik
