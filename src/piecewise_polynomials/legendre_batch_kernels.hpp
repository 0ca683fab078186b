// The batch kernels behind LegendreBasis::evaluate_many and
// evaluate_derivative_many: one per small degree (0 ... kLargestUnrolledDegree,
// where the recurrence unrolls with its constants in view) plus one for any
// degree, each compiled for three instruction sets (SSE2, which every x86-64
// processor has; AVX2; AVX-512F). The set is chosen once, at the first call,
// from what the processor at hand supports, never from what the build machine
// had. Every kernel computes each time with exactly the operations of the
// single-time evaluate / evaluate_derivative, so all variants give the same
// bits (legendre_kernels.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "piecewise_polynomials/node_rule.hpp"
#include "piecewise_polynomials/simd_lanes.hpp"

namespace tavik {

// What a kernel needs besides the times, fixed for the batch.
struct BatchInput {
    const double* coeffs;  // column-major coefficient matrix
    std::uint64_t rows;    // its row count = column stride
    std::uint64_t n_t;     // >= 1
    std::uint64_t degree;  // the matrix has more than `degree` columns
    double h;              // mesh_interval_length(T, n_t)
    bool narrow_mesh;      // is_narrow_mesh(n_t)
    bool check_rows;       // rows < n_t: a time may locate outside the matrix
    // The array interface's location (node_rule.hpp) instead of the plain
    // one; null for LegendreBasis. A branch taken the same way all batch.
    const NodeRule* nodes = nullptr;
};

// Evaluates times t[0 .. n) into out[0 .. n), element i from time i, in
// increasing order; the first time whose interval has no row in the matrix
// stops the kernel with the fatal error messages::kRowOutOfBounds (what
// was written by then is of no use). No allocation; n may be 0.
using BatchKernelFn = void (*)(const BatchInput& in, const double* t, double* out, std::size_t n);

inline constexpr std::uint64_t kLargestUnrolledDegree = 8;

// The kernel for this degree and operation on the processor at hand.
BatchKernelFn select_batch_kernel(std::uint64_t degree, bool derivative) noexcept;

enum class BatchIsa { sse2, avx2, avx512f };

// The lanes of one block of each set's kernels: four register-wide vectors
// side by side, enough independent division chains to keep the divider busy
// (measured: one or two vectors per block leave it idle part of the time).
template <BatchIsa>
struct BatchLanes;
template <>
struct BatchLanes<BatchIsa::sse2> {
    using type = LanePack<DoubleLanes<2>, 4>;
};
template <>
struct BatchLanes<BatchIsa::avx2> {
    using type = LanePack<DoubleLanes<4>, 4>;
};
template <>
struct BatchLanes<BatchIsa::avx512f> {
    using type = LanePack<DoubleLanes<8>, 4>;
};

// The set every vector kernel runs now, these and the field kernels of
// legendre_field.cpp alike: the widest this processor supports, decided at
// the first call, unless a test forced another.
BatchIsa active_isa() noexcept;

// Test-only controls: run every variant the processor supports.
namespace batch_kernel_internals {

// The instruction sets this processor can run, narrowest first.
std::vector<BatchIsa> supported_isas();

// Makes active_isa() return `isa` (which must be supported) until the next
// call, for the batch and the field kernels alike; nullopt returns to the
// processor's best. Not for concurrent use with running batches.
void force_batch_isa(std::optional<BatchIsa> isa);

}  // namespace batch_kernel_internals

// One instruction set's kernels, indexed by degree (the last entry serves
// every degree above kLargestUnrolledDegree). Defined once per set, in
// legendre_batch_kernels_<set>.cpp.
struct BatchKernelTable {
    BatchKernelFn value[kLargestUnrolledDegree + 2];
    BatchKernelFn derivative[kLargestUnrolledDegree + 2];
};
const BatchKernelTable& sse2_batch_kernels() noexcept;
const BatchKernelTable& avx2_batch_kernels() noexcept;
const BatchKernelTable& avx512f_batch_kernels() noexcept;

}  // namespace tavik
