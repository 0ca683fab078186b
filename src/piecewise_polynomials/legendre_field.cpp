#include "piecewise_polynomials/legendre_field.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "piecewise_polynomials/legendre_polynomials.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace tavik {

namespace {

constexpr const char* no_intervals_message = "the mesh has no intervals (n_t is 0)";
constexpr const char* coefficient_size_message =
    "field evaluation: the coefficients do not hold n_t * (degree + 1) * components values";
constexpr const char* field_output_size_message =
    "field evaluation: the result does not hold times * components values";
constexpr const char* rows_size_message =
    "basis rows: values and columns must hold times * (degree + 1) elements each";
constexpr const char* narrow_columns_message = "basis rows: n_t * (degree + 1) does not fit 32-bit columns";

// Products per batch from which the worker pool pays for itself; 8192 makes
// a one-component, degree-3 field go parallel where LegendreBasis's batches do.
constexpr std::uint64_t kParallelProducts = 8192;

// What one chunk of a batch reads and writes; fixed for the batch.
struct FieldBatch {
    const double* coefficients;
    std::uint64_t components;
    std::uint64_t width;  // degree + 1
    std::uint64_t n_t;
    double h;
    NodeSide side;
    FieldQuantity quantity;
    const double* times;
    double* out;
};

// Times are taken V at a time, V the number of doubles in one vector
// register of the instruction set in use (vector types wider than the
// registers compile to slow code): locating them and running the Legendre
// recurrences lane by lane overlaps their long division chains. Each lane
// performs exactly the scalar operations of uniform_mesh.hpp's
// locate_in_mesh and of LegendreRecurrence on its own time. Components are
// taken V at a time as well.
//
// Lane vectors never cross a function boundary that is not inlined, so the
// ABI of passing them (which differs between instruction sets) never matters.
#pragma GCC diagnostic ignored "-Wpsabi"
template <std::size_t V>
struct LaneType {
    typedef double type __attribute__((vector_size(V * sizeof(double))));
};
template <std::size_t V>
using Lanes = typename LaneType<V>::type;

template <std::size_t V>
[[gnu::always_inline]] inline Lanes<V> broadcast(double x) noexcept {
    // Lane by lane rather than {} + x: +0.0 + -0.0 is +0.0, and every sum
    // must start from -0.0 as the single-time operations do.
    Lanes<V> v;
    for (std::size_t i = 0; i < V; ++i) v[i] = x;
    return v;
}

template <std::size_t V>
[[gnu::always_inline]] inline Lanes<V> load_lanes(const double* p) noexcept {
    Lanes<V> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The located times of a block of V and their degree + 1 basis values (or
// derivatives with respect to xi): basis[k * V + l] for time l.
template <std::size_t V>
class BlockBasis {
public:
    explicit BlockBasis(std::uint64_t width) : heap_(width > kStackWidth ? width * V : 0) {}

    std::uint64_t interval[V];
    const double* basis() const noexcept { return heap_.empty() ? stack_ : heap_.data(); }

    // Times t[0 .. count) of the block; lanes beyond count repeat t[0] (a
    // time located anyway, so padding cannot fail where real times do not).
    [[gnu::always_inline]] inline void compute(const FieldBatch& in, const double* t, std::size_t count) noexcept {
        double padded[V];
        for (std::size_t l = 0; l < V; ++l) padded[l] = t[l < count ? l : 0];
        const Lanes<V> time = load_lanes<V>(padded);
        const Lanes<V> h = broadcast<V>(in.h);
        const Lanes<V> q = time / h;
        Lanes<V> c;
        for (std::size_t l = 0; l < V; ++l) {
            const std::uint64_t j = saturating_floor_to_u64(q[l]);
            interval[l] = j < in.n_t ? j : in.n_t - 1;
            c[l] = static_cast<double>(interval[l]);
        }
        const Lanes<V> a = h * c;
        const Lanes<V> b = h + a;
        const Lanes<V> s = a + b;
        const Lanes<V> u = time + s * -0.5;
        Lanes<V> xi = (u + u) / (b - a);
        const Lanes<V> lower = broadcast<V>(-1.0);
        const Lanes<V> upper = broadcast<V>(1.0);
        xi = xi < lower ? lower : (xi > upper ? upper : xi);
        if (in.side == NodeSide::left) {
            // Left limits: a time placed exactly on the start of an interval
            // c >= 1 (xi = -1 after the clamp) moves to the end of interval
            // c - 1 (xi = 1). Every other time, node 0 included, stays.
            for (std::size_t l = 0; l < V; ++l) {
                if (xi[l] == -1.0 && interval[l] > 0) {
                    --interval[l];
                    xi[l] = 1.0;
                }
            }
        }
        if (in.quantity == FieldQuantity::value) {
            values(xi, in.width);
        } else {
            derivatives(xi, in.width);
        }
    }

private:
    double* out() noexcept { return heap_.empty() ? stack_ : heap_.data(); }
    void store(std::uint64_t k, const Lanes<V>& v) noexcept { std::memcpy(out() + k * V, &v, sizeof v); }

    // P_0 ... P_d by LegendreRecurrence's operations.
    [[gnu::always_inline]] inline void values(const Lanes<V>& xi, std::uint64_t width) noexcept {
        Lanes<V> previous = broadcast<V>(1.0);
        Lanes<V> current = previous;
        for (std::uint64_t k = 0;; ++k) {
            store(k, current);
            if (k + 1 == width) break;
            Lanes<V> next = xi;
            if (k > 0) {
                const double j = static_cast<double>(k);
                next = (current * (xi * (j + j + 1.0)) - previous * j) / (j + 1.0);
            }
            previous = current;
            current = next;
        }
    }

    // P_0' ... P_d' by the recurrence
    //   P'_0 = 0, P'_1 = 1, P'_(k+1) = P'_(k-1) + (2k + 1) P_k,
    // 2k + 1 formed as k + k + 1: the recurrence LegendreBasis uses near the
    // interval ends, here on the whole interval. Without a division it needs
    // no guard constant: the end slopes come out exactly and every value lies
    // within a few ulps of max |P'_k| = k(k+1)/2.
    [[gnu::always_inline]] inline void derivatives(const Lanes<V>& xi, std::uint64_t width) noexcept {
        Lanes<V> p_previous = broadcast<V>(1.0);
        Lanes<V> p_current = p_previous;
        Lanes<V> d_previous = broadcast<V>(0.0);
        Lanes<V> d_current = d_previous;
        for (std::uint64_t k = 0;; ++k) {
            store(k, d_current);
            if (k + 1 == width) break;
            const double j = static_cast<double>(k);
            const Lanes<V> d_next = k == 0 ? broadcast<V>(1.0) : d_previous + (j + j + 1.0) * p_current;
            d_previous = d_current;
            d_current = d_next;
            Lanes<V> p_next = xi;
            if (k > 0) p_next = (p_current * (xi * (j + j + 1.0)) - p_previous * j) / (j + 1.0);
            p_previous = p_current;
            p_current = p_next;
        }
    }

    static constexpr std::uint64_t kStackWidth = 16;
    double stack_[kStackWidth * V];
    std::vector<double> heap_;
};

// Components [j, j + V) of one time (basis values at stride V): the sum over
// k kept in registers and stored once. Each lane performs the scalar
// operations of its component: from -0.0, k increasing, then (S' + S') / h
// for derivatives.
template <std::size_t V, FieldQuantity Q>
[[gnu::always_inline]] inline void lane_components(const double* basis, std::uint64_t width, const double* interval,
                                                   std::uint64_t m, double h, double* row) noexcept {
    Lanes<V> sum = broadcast<V>(-0.0);
    for (std::uint64_t k = 0; k < width; ++k) sum = sum + basis[k * V] * load_lanes<V>(interval + k * m);
    if constexpr (Q == FieldQuantity::derivative) sum = (sum + sum) / h;
    std::memcpy(row, &sum, sizeof sum);
}

template <std::size_t V, FieldQuantity Q>
[[gnu::always_inline]] inline double one_component(const double* basis, std::uint64_t width, const double* interval,
                                                   std::uint64_t m, double h) noexcept {
    double sum = -0.0;
    for (std::uint64_t k = 0; k < width; ++k) sum = sum + basis[k * V] * interval[k * m];
    if constexpr (Q == FieldQuantity::derivative) sum = (sum + sum) / h;
    return sum;
}

// Times [begin, end) of a field: one row of m components per time. From V
// components on, the row is covered by blocks of V lanes, the last block
// aligned to the row's end (overlapping its predecessor: an element computed
// twice gets the same bits twice); fewer components take the scalar sum.
// W is the width degree + 1 when fixed at compile time (the common low
// degrees, whose k loops then unroll), 0 when known only at run time. The
// batch is taken by value so that no store into a row can alias its fields.
template <std::size_t V, FieldQuantity Q, std::uint64_t W>
[[gnu::always_inline]] inline void field_rows(const FieldBatch in, std::size_t begin, std::size_t end) {
    const std::uint64_t m = in.components;
    const std::uint64_t width = W != 0 ? W : in.width;
    const double h = in.h;
    const double* coefficients = in.coefficients;
    double* out = in.out;
    BlockBasis<V> block(width);
    for (std::size_t i0 = begin; i0 < end; i0 += V) {
        const std::size_t count = std::min(V, end - i0);
        block.compute(in, in.times + i0, count);
        for (std::size_t l = 0; l < count; ++l) {
            const double* basis = block.basis() + l;
            const double* interval = coefficients + block.interval[l] * width * m;
            double* row = out + (i0 + l) * m;
            if (m >= V) {
                for (std::uint64_t j = 0;; j += V) {
                    if (j + V > m) j = m - V;
                    lane_components<V, Q>(basis, width, interval + j, m, h, row + j);
                    if (j + V == m) break;
                }
            } else {
                for (std::uint64_t j = 0; j < m; ++j) row[j] = one_component<V, Q>(basis, width, interval + j, m, h);
            }
        }
    }
}

template <std::size_t V, FieldQuantity Q>
[[gnu::always_inline]] inline void field_rows_of_width(const FieldBatch& in, std::size_t begin, std::size_t end) {
    switch (in.width) {
        case 1: return field_rows<V, Q, 1>(in, begin, end);
        case 2: return field_rows<V, Q, 2>(in, begin, end);
        case 3: return field_rows<V, Q, 3>(in, begin, end);
        case 4: return field_rows<V, Q, 4>(in, begin, end);
        default: return field_rows<V, Q, 0>(in, begin, end);
    }
}

template <std::size_t V>
[[gnu::always_inline]] inline void field_chunk(const FieldBatch& in, std::size_t begin, std::size_t end) {
    if (in.quantity == FieldQuantity::value) {
        field_rows_of_width<V, FieldQuantity::value>(in, begin, end);
    } else {
        field_rows_of_width<V, FieldQuantity::derivative>(in, begin, end);
    }
}

// Rows [begin, end) of basis_rows_into; `in` by value as in field_rows.
template <std::size_t V, class Index>
[[gnu::always_inline]] inline void rows_chunk(const FieldBatch in, double* values, Index* columns, std::size_t begin,
                                              std::size_t end) {
    const std::uint64_t width = in.width;
    const double h = in.h;
    const bool derivative = in.quantity == FieldQuantity::derivative;
    BlockBasis<V> block(width);
    for (std::size_t i0 = begin; i0 < end; i0 += V) {
        const std::size_t count = std::min(V, end - i0);
        block.compute(in, in.times + i0, count);
        for (std::size_t l = 0; l < count; ++l) {
            double* row_values = values + (i0 + l) * width;
            Index* row_columns = columns + (i0 + l) * width;
            const std::uint64_t first = block.interval[l] * width;
            for (std::uint64_t k = 0; k < width; ++k) {
                const double b = block.basis()[k * V + l];
                row_values[k] = derivative ? (b + b) / h : b;
                row_columns[k] = static_cast<Index>(first + k);
            }
        }
    }
}

// The kernels of one instruction set, with its register width.
struct Kernels {
    void (*field)(const FieldBatch&, std::size_t, std::size_t);
    void (*rows_32)(const FieldBatch&, double*, std::int32_t*, std::size_t, std::size_t);
    void (*rows_64)(const FieldBatch&, double*, std::int64_t*, std::size_t, std::size_t);
};

#define TAVIK_FIELD_KERNELS(NAME, TARGET, V)                                                                       \
    [[gnu::target(TARGET)]] void NAME##_field(const FieldBatch& in, std::size_t begin, std::size_t end) {        \
        field_chunk<V>(in, begin, end);                                                                          \
    }                                                                                                            \
    [[gnu::target(TARGET)]] void NAME##_rows_32(const FieldBatch& in, double* values, std::int32_t* columns,      \
                                                std::size_t begin, std::size_t end) {                             \
        rows_chunk<V>(in, values, columns, begin, end);                                                          \
    }                                                                                                            \
    [[gnu::target(TARGET)]] void NAME##_rows_64(const FieldBatch& in, double* values, std::int64_t* columns,      \
                                                std::size_t begin, std::size_t end) {                             \
        rows_chunk<V>(in, values, columns, begin, end);                                                          \
    }

TAVIK_FIELD_KERNELS(avx512, "avx512f", 8)
TAVIK_FIELD_KERNELS(avx2, "avx2", 4)
TAVIK_FIELD_KERNELS(baseline, "sse2", 2)
#undef TAVIK_FIELD_KERNELS

constexpr Kernels kKernels[] = {
    {baseline_field, baseline_rows_32, baseline_rows_64},
    {avx2_field, avx2_rows_32, avx2_rows_64},
    {avx512_field, avx512_rows_32, avx512_rows_64},
};

using field_internals::InstructionSet;

// The widest set the processor running us offers (never what the build
// machine had); the compiler's check includes the operating system's
// support for the wider registers.
InstructionSet widest_supported() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return InstructionSet::avx512f;
    if (__builtin_cpu_supports("avx2")) return InstructionSet::avx2;
    return InstructionSet::baseline;
}

std::atomic<InstructionSet>& selected_set() noexcept {
    static std::atomic<InstructionSet> selected{widest_supported()};
    return selected;
}

const Kernels& kernels() noexcept {
    return kKernels[static_cast<int>(selected_set().load(std::memory_order_relaxed))];
}

template <class Index>
void basis_rows(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                std::span<double> values, std::span<Index> columns) {
    if (basis.n_t() == 0) fatal(no_intervals_message);
    const std::uint64_t width = checked_add(basis.degree(), 1);
    const std::uint64_t n_dofs = checked_mul(basis.n_t(), width);
    const std::uint64_t nnz = checked_mul(times.size(), width);
    if (values.size() != nnz || columns.size() != nnz) fatal(rows_size_message);
    if (n_dofs > static_cast<std::uint64_t>(std::numeric_limits<Index>::max())) fatal(narrow_columns_message);
    const FieldBatch in{nullptr, 1,     width, basis.n_t(), mesh_interval_length(basis.T(), basis.n_t()),
                        side,    quantity, times.data(), nullptr};
    double* v = values.data();
    Index* col = columns.data();
    parallel_map(times.size(), field_parallel_threshold(basis.degree(), 1), [&](std::size_t begin, std::size_t end) {
        if constexpr (sizeof(Index) == 4) {
            kernels().rows_32(in, v, col, begin, end);
        } else {
            kernels().rows_64(in, v, col, begin, end);
        }
    });
}

}  // namespace

namespace field_internals {

InstructionSet instruction_set() noexcept { return selected_set().load(std::memory_order_relaxed); }

bool supported(InstructionSet set) noexcept { return static_cast<int>(set) <= static_cast<int>(widest_supported()); }

void use_instruction_set(InstructionSet set) {
    if (!supported(set)) fatal("use_instruction_set: the processor does not offer this instruction set");
    selected_set().store(set, std::memory_order_relaxed);
}

}  // namespace field_internals

std::size_t field_parallel_threshold(std::uint64_t degree, std::uint64_t components) noexcept {
    const unsigned __int128 products =
        (static_cast<unsigned __int128>(degree) + 1) * std::max<std::uint64_t>(components, 1);
    if (products >= kParallelProducts / 2) return 2;
    return static_cast<std::size_t>(kParallelProducts / products);
}

void evaluate_field_into(const LegendreBasis& basis, std::span<const double> coefficients, std::uint64_t components,
                         std::span<const double> times, FieldQuantity quantity, NodeSide side, std::span<double> out) {
    if (basis.n_t() == 0) fatal(no_intervals_message);
    const std::uint64_t width = checked_add(basis.degree(), 1);
    const std::uint64_t n_dofs = checked_mul(basis.n_t(), width);
    if (coefficients.size() != checked_mul(n_dofs, components)) fatal(coefficient_size_message);
    if (out.size() != checked_mul(times.size(), components)) fatal(field_output_size_message);
    if (times.empty() || components == 0) return;

    if (components == 1 && quantity == FieldQuantity::value && side == NodeSide::right &&
        times.size() >= n_dofs) {
        // The batch kernel of LegendreBasis reads the column-major (interval
        // fastest) layout of tavik.
        std::vector<double> column_major(n_dofs);
        for (std::uint64_t c = 0; c < basis.n_t(); ++c) {
            for (std::uint64_t k = 0; k < width; ++k) column_major[c + basis.n_t() * k] = coefficients[c * width + k];
        }
        basis.evaluate_many_into(ColumnMajorView(column_major.data(), basis.n_t(), width), times, out);
        return;
    }

    const FieldBatch in{coefficients.data(), components, width, basis.n_t(),
                        mesh_interval_length(basis.T(), basis.n_t()), side, quantity, times.data(),
                        out.data()};
    parallel_map(times.size(), field_parallel_threshold(basis.degree(), components),
                 [&](std::size_t begin, std::size_t end) { kernels().field(in, begin, end); });
}

void basis_rows_into(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, std::span<double> values, std::span<std::int64_t> columns) {
    basis_rows(basis, times, quantity, side, values, columns);
}

void basis_rows_into(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, std::span<double> values, std::span<std::int32_t> columns) {
    basis_rows(basis, times, quantity, side, values, columns);
}

}  // namespace tavik
