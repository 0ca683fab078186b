// The vector kernels of the Legendre bases: every per-time loop of the core
// (one-component sums, vector-valued fields, basis rows), built once per
// instruction set (instruction_sets.hpp) from the templates of
// kernels_impl.hpp, and chosen at run time from what the processor at hand
// supports, never from what the build machine had.
//
// Conventions:
//  - A time is located by the plain uniform-mesh rule (what tavik's
//    LegendreBasis documents), by the node rule of the array interface
//    (formulas/node_rule.hpp), or on a mesh given by its nodes by that rule
//    carried over (formulas/graded_mesh.hpp); the route is fixed per batch.
//  - Coefficients are read in place through two strides, so one kernel
//    serves both layouts: tavik's flat matrix (interval stride 1, degree
//    stride = its row count) and the array interface's C order (interval
//    stride (degree + 1) * components, degree stride = components).
//  - Per lane, a kernel performs exactly the operations of the single-time
//    formulas (formulas/legendre_sums.hpp): which set, lane or chunk computes
//    a time never changes its bits.
//  - Kernels never allocate and never throw, except the one-component sums
//    of a matrix with fewer rows than intervals, which stop at the first
//    time without a row (the fatal error messages::kRowOutOfBounds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "formulas/graded_mesh.hpp"
#include "formulas/node_rule.hpp"
#include "kernels/instruction_sets.hpp"

namespace tavik {

// What a one-component kernel needs besides the times, fixed for the batch.
struct BatchInput {
    const double* coeffs;
    std::uint64_t interval_stride;  // 1 (flat, plain location), or degree + 1 (C order, node rule)
    std::uint64_t degree_stride;
    std::uint64_t rows;    // intervals with coefficients (read when check_rows)
    std::uint64_t n_t;     // >= 1
    std::uint64_t degree;  // every interval has degree + 1 coefficients
    double h;              // mesh_interval_length(T, n_t)
    bool narrow_mesh;      // is_narrow_mesh(n_t)
    bool check_rows;       // rows < n_t: a time may locate outside the matrix
    // The node rule's location instead of the plain one (values only), or
    // null.
    const NodeRule* nodes = nullptr;
    // A mesh of nodes (values only, with the node rule's side and period;
    // h is then unused), or null.
    const GradedLocator* graded = nullptr;
};

// Evaluates times t[0 .. n) into out[0 .. n), element i from time i, in
// increasing order. No allocation; n may be 0.
using BatchKernelFn = void (*)(const BatchInput& in, const double* t, double* out, std::size_t n);

inline constexpr std::uint64_t kLargestUnrolledDegree = 8;

enum class FieldQuantity { value, derivative };

// What a field or basis-row chunk reads and writes, fixed for the batch.
// Fields: coefficients in C order (n_t, width, components), results in C
// order (times, components). Rows: values and columns (times, width).
struct FieldInput {
    const double* coefficients;
    std::uint64_t components;
    std::uint64_t width;  // degree + 1
    NodeRule rule;
    FieldQuantity quantity;
    const double* times;
    double* out;
    // Fields only: null, or the order in which to take the times (a
    // permutation of 0 .. times - 1; chunks are ranges of it), so that times
    // of one interval are evaluated together and its coefficients are read
    // from memory once. Rows land at their times' indices whatever the
    // order; every time's bits are the same in any order.
    const std::uint32_t* order = nullptr;
    // A mesh of nodes, located by its table (rule then only gives the side
    // and period, and each time's step replaces rule.h), or null.
    const GradedLocator* graded = nullptr;
};

// Times [begin, end) of a batch; `scratch` holds field_scratch(width) doubles.
using FieldChunkFn = void (*)(const FieldInput& in, std::size_t begin, std::size_t end, double* scratch);
template <class Index>
using RowsChunkFn = void (*)(const FieldInput& in, double* values, Index* columns, std::size_t begin, std::size_t end,
                             double* scratch);

// One instruction set's kernels. value/derivative are indexed by degree (the
// last entry serves every degree above kLargestUnrolledDegree).
struct KernelTable {
    BatchKernelFn value[kLargestUnrolledDegree + 2];
    BatchKernelFn derivative[kLargestUnrolledDegree + 2];
    FieldChunkFn field;
    RowsChunkFn<std::int32_t> rows_32;
    RowsChunkFn<std::int64_t> rows_64;
    int block_lanes;  // times per field block: what field_scratch counts with
};

// Defined once per set, in kernel_set.cpp compiled with the set's flags.
#define TAVIK_DECLARE_KERNEL_TABLE(name, feature, flags, lanes) const KernelTable& kernels_##name() noexcept;
TAVIK_INSTRUCTION_SETS(TAVIK_DECLARE_KERNEL_TABLE)
#undef TAVIK_DECLARE_KERNEL_TABLE

// The set every kernel runs now: the widest this processor supports,
// decided at the first call, unless a test forced another.
InstructionSet active_instruction_set() noexcept;
const KernelTable& active_kernels() noexcept;

// The one-component kernel for this degree and operation on the active set.
BatchKernelFn select_batch_kernel(std::uint64_t degree, bool derivative) noexcept;

// Widths up to this keep a block's basis values on the stack; wider ones use
// the scratch of the thread running the chunk (parallel/worker_pool.hpp),
// which the caller allocates before the batch starts.
inline constexpr std::uint64_t kStackWidth = 16;

// Scratch doubles a field or row chunk of the active set needs for this
// width (0 up to kStackWidth); fatal kCapacityOverflow if not countable.
std::size_t field_scratch(std::uint64_t width);

// Test-only controls: run every set the processor supports.
namespace kernel_internals {

// The sets this processor can run, narrowest first.
std::vector<InstructionSet> supported_instruction_sets();

// Makes active_instruction_set() return `set` (which must be supported)
// until the next call; nullopt returns to the processor's best. Not for
// concurrent use with running batches.
void force_instruction_set(std::optional<InstructionSet> set);

}  // namespace kernel_internals

}  // namespace tavik
