// The run-time choice of instruction set, made once per process at the
// first call, from what the processor at hand supports. The choice (and a
// test's forcing) is kept by the process's runtime library, so every module
// linking the core runs the same set.
#include "fatal_error.hpp"
#include "kernels/kernels.hpp"
#include "messages.hpp"
#include "checked_size.hpp"
#include "parallel/runtime/runtime.h"

namespace tavik {

namespace {

// __builtin_cpu_supports also checks that the operating system saves the
// wider registers on a context switch.
bool processor_supports(InstructionSet set) noexcept {
    __builtin_cpu_init();
    switch (set) {
#define TAVIK_SUPPORTS(name, feature, flags, lanes) \
    case InstructionSet::name:                      \
        return __builtin_cpu_supports(feature);
        TAVIK_INSTRUCTION_SETS(TAVIK_SUPPORTS)
#undef TAVIK_SUPPORTS
    }
    return false;
}

const KernelTable& table_of(InstructionSet set) noexcept {
    using Table = const KernelTable& (*)() noexcept;
    static constexpr Table tables[] = {
#define TAVIK_TABLE(name, feature, flags, lanes) &kernels_##name,
        TAVIK_INSTRUCTION_SETS(TAVIK_TABLE)
#undef TAVIK_TABLE
    };
    return tables[static_cast<int>(set)]();
}

InstructionSet best_set() noexcept {
    for (int i = kInstructionSetCount - 1; i > 0; --i) {
        if (processor_supports(static_cast<InstructionSet>(i))) return static_cast<InstructionSet>(i);
    }
    return static_cast<InstructionSet>(0);
}

int best_set_index() noexcept { return static_cast<int>(best_set()); }

}  // namespace

InstructionSet active_instruction_set() noexcept {
    return static_cast<InstructionSet>(tavik_runtime_instruction_set(&best_set_index));
}

const KernelTable& active_kernels() noexcept { return table_of(active_instruction_set()); }

BatchKernelFn select_batch_kernel(std::uint64_t degree, bool derivative) noexcept {
    const KernelTable& table = active_kernels();
    const std::uint64_t slot = degree <= kLargestUnrolledDegree ? degree : kLargestUnrolledDegree + 1;
    return derivative ? table.derivative[slot] : table.value[slot];
}

std::size_t field_scratch(std::uint64_t width) {
    if (width <= kStackWidth) return 0;
    return checked_mul(width, static_cast<std::uint64_t>(active_kernels().block_lanes));
}

namespace kernel_internals {

std::vector<InstructionSet> supported_instruction_sets() {
    std::vector<InstructionSet> sets;
    for (int i = 0; i < kInstructionSetCount; ++i) {
        if (processor_supports(static_cast<InstructionSet>(i))) sets.push_back(static_cast<InstructionSet>(i));
    }
    return sets;
}

void force_instruction_set(std::optional<InstructionSet> set) {
    if (set && !processor_supports(*set)) fatal(messages::kForcedInstructionSetUnsupported);
    tavik_runtime_force_instruction_set(set ? static_cast<int>(*set) : -1);
}

}  // namespace kernel_internals

}  // namespace tavik
