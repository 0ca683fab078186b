// Lane vectors never cross a function boundary that is not inlined, so the
// ABI of passing them (which differs between instruction sets) never matters;
// set before the includes, whose lane templates are instantiated here.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "piecewise_polynomials/legendre_field.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "piecewise_polynomials/legendre_batch_kernels.hpp"
#include "piecewise_polynomials/legendre_kernels.hpp"
#include "piecewise_polynomials/legendre_polynomials.hpp"
#include "piecewise_polynomials/node_rule.hpp"
#include "piecewise_polynomials/simd_lanes.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace tavik {

namespace {

// Products per batch from which the worker pool pays for itself; 8192 makes
// a one-component, degree-3 field go parallel where LegendreBasis's batches do.
constexpr std::uint64_t kParallelProducts = 8192;

// What one chunk of a batch reads and writes; fixed for the batch.
struct FieldBatch {
    const double* coefficients;
    std::uint64_t components;
    std::uint64_t width;  // degree + 1
    NodeRule rule;
    FieldQuantity quantity;
    const double* times;
    double* out;
};

// Times are taken V at a time, V the number of doubles in one vector
// register of the instruction set in use (vector types wider than the
// registers compile to slow code): locating them and running the Legendre
// recurrences lane by lane overlaps their long division chains. The lanes
// run the templates of uniform_mesh.hpp and legendre_polynomials.hpp, the
// very operations of the single-time calls, so every lane gets their bits.
// Components are taken V at a time as well.

// Widths up to this keep a block's basis values on the stack; wider ones in
// the scratch of the thread running the chunk (worker_pool.hpp), which the
// caller allocates before the batch starts: a worker never allocates.
constexpr std::uint64_t kStackWidth = 16;

// Scratch doubles a thread needs for blocks of `lanes` times of this width.
std::size_t block_scratch(std::uint64_t width, int lanes) {
    return width > kStackWidth ? checked_mul(width, static_cast<std::uint64_t>(lanes)) : 0;
}

// The located times of a block of V and their degree + 1 basis values (or
// derivatives with respect to xi): basis[k * V + l] for time l.
template <int V>
class BlockBasis {
    using L = DoubleLanes<V>;

public:
    // `scratch` holds block_scratch(width, V) doubles.
    BlockBasis(std::uint64_t width, double* scratch) noexcept : values_(width > kStackWidth ? scratch : stack_) {}
    BlockBasis(const BlockBasis&) = delete;
    BlockBasis& operator=(const BlockBasis&) = delete;

    std::uint64_t interval[V];
    const double* basis() const noexcept { return values_; }

    // Times t[0 .. count) of the block; lanes beyond count repeat t[0] (a
    // time located anyway, so padding cannot fail where real times do not).
    [[gnu::always_inline]] inline void compute(const FieldBatch& in, const double* t, std::size_t count) noexcept {
        double padded[V];
        for (std::size_t l = 0; l < V; ++l) padded[l] = t[l < count ? l : 0];
        const LaneLocation<L> loc = locate_lanes_by_node_rule(in.rule, in.rule.narrow, load_lanes<L>(padded));
        for (int l = 0; l < V; ++l) interval[l] = static_cast<std::uint64_t>(get_lane(loc.interval, l));
        if (in.quantity == FieldQuantity::value) {
            for_each_legendre_value<kAnyDegree>(loc.xi, in.width - 1, [&](std::uint64_t k, L p)
                                                    __attribute__((always_inline)) { store(k, p); });
        } else {
            derivatives(loc.xi, in.width - 1);
        }
    }

private:
    void store(std::uint64_t k, const L& v) noexcept { store_lanes(values_ + k * V, v); }

    // P_0' ... P_d' by the recurrence
    //   P'_0 = 0, P'_1 = 1, P'_(k+1) = P'_(k-1) + (2k + 1) P_k,
    // 2k + 1 formed as k + k + 1: the recurrence LegendreBasis uses near the
    // interval ends, here on the whole interval. Without a division it needs
    // no guard constant: the end slopes come out exactly and every value lies
    // within a few ulps of max |P'_k| = k(k+1)/2. (for_each_legendre_derivative
    // takes the guarded quotient away from the ends, hence this walk.)
    [[gnu::always_inline]] inline void derivatives(L xi, std::uint64_t degree) noexcept {
        L d_previous = broadcast<L>(0.0);
        L d_current = d_previous;
        for_each_legendre_value<kAnyDegree>(xi, degree, [&](std::uint64_t k, L p) __attribute__((always_inline)) {
            store(k, d_current);
            const double j = static_cast<double>(k);
            const L d_next = k == 0 ? broadcast<L>(1.0) : d_previous + (j + j + 1.0) * p;
            d_previous = d_current;
            d_current = d_next;
        });
    }

    double stack_[kStackWidth * V];
    double* const values_;
};

// The components of one time that L covers, from interval + 0 on (basis
// values at stride V, coefficients of degree k at interval + k * m): the sum
// over k kept in registers, each lane doing the scalar operations of its
// component, from -0.0 with k increasing, then time_derivative_of for
// derivatives. L = double is one component.
template <class L, int V, FieldQuantity Q>
[[gnu::always_inline]] inline L component_sums(const double* basis, std::uint64_t width, const double* interval,
                                               std::uint64_t m, double h) noexcept {
    L sum = broadcast<L>(-0.0);
    for (std::uint64_t k = 0; k < width; ++k) sum = sum + basis[k * V] * load_lanes<L>(interval + k * m);
    if constexpr (Q == FieldQuantity::derivative) sum = time_derivative_of(sum, h);
    return sum;
}

// Times [begin, end) of a field: one row of m components per time. From V
// components on, the row is covered by blocks of V lanes, the last block
// aligned to the row's end (overlapping its predecessor: an element computed
// twice gets the same bits twice); fewer components take the scalar sum.
// W is the width degree + 1 when fixed at compile time (the common low
// degrees, whose k loops then unroll), 0 when known only at run time. The
// batch is taken by value so that no store into a row can alias its fields.
template <int V, FieldQuantity Q, std::uint64_t W>
[[gnu::always_inline]] inline void field_rows(const FieldBatch in, std::size_t begin, std::size_t end,
                                              double* scratch) {
    const std::uint64_t m = in.components;
    const std::uint64_t width = W != 0 ? W : in.width;
    const double h = in.rule.h;
    const double* coefficients = in.coefficients;
    double* out = in.out;
    BlockBasis<V> block(width, scratch);
    for (std::size_t i0 = begin; i0 < end; i0 += V) {
        const std::size_t count = std::min<std::size_t>(V, end - i0);
        block.compute(in, in.times + i0, count);
        for (std::size_t l = 0; l < count; ++l) {
            const double* basis = block.basis() + l;
            const double* interval = coefficients + block.interval[l] * width * m;
            double* row = out + (i0 + l) * m;
            if (m >= V) {
                for (std::uint64_t j = 0;; j += V) {
                    if (j + V > m) j = m - V;
                    store_lanes(row + j, component_sums<DoubleLanes<V>, V, Q>(basis, width, interval + j, m, h));
                    if (j + V == m) break;
                }
            } else {
                for (std::uint64_t j = 0; j < m; ++j) row[j] = component_sums<double, V, Q>(basis, width, interval + j, m, h);
            }
        }
    }
}

template <int V, FieldQuantity Q>
[[gnu::always_inline]] inline void field_rows_of_width(const FieldBatch& in, std::size_t begin, std::size_t end,
                                                       double* scratch) {
    switch (in.width) {
        case 1: return field_rows<V, Q, 1>(in, begin, end, scratch);
        case 2: return field_rows<V, Q, 2>(in, begin, end, scratch);
        case 3: return field_rows<V, Q, 3>(in, begin, end, scratch);
        case 4: return field_rows<V, Q, 4>(in, begin, end, scratch);
        default: return field_rows<V, Q, 0>(in, begin, end, scratch);
    }
}

template <int V>
[[gnu::always_inline]] inline void field_chunk(const FieldBatch& in, std::size_t begin, std::size_t end,
                                               double* scratch) {
    if (in.quantity == FieldQuantity::value) {
        field_rows_of_width<V, FieldQuantity::value>(in, begin, end, scratch);
    } else {
        field_rows_of_width<V, FieldQuantity::derivative>(in, begin, end, scratch);
    }
}

// Rows [begin, end) of basis_rows_into; `in` by value as in field_rows.
template <int V, class Index>
[[gnu::always_inline]] inline void rows_chunk(const FieldBatch in, double* values, Index* columns, std::size_t begin,
                                              std::size_t end, double* scratch) {
    const std::uint64_t width = in.width;
    const double h = in.rule.h;
    const bool derivative = in.quantity == FieldQuantity::derivative;
    BlockBasis<V> block(width, scratch);
    for (std::size_t i0 = begin; i0 < end; i0 += V) {
        const std::size_t count = std::min<std::size_t>(V, end - i0);
        block.compute(in, in.times + i0, count);
        for (std::size_t l = 0; l < count; ++l) {
            double* row_values = values + (i0 + l) * width;
            Index* row_columns = columns + (i0 + l) * width;
            const std::uint64_t first = block.interval[l] * width;
            for (std::uint64_t k = 0; k < width; ++k) {
                const double b = block.basis()[k * V + l];
                row_values[k] = derivative ? time_derivative_of(b, h) : b;
                row_columns[k] = static_cast<Index>(first + k);
            }
        }
    }
}

// The kernels of one instruction set, with its register width. They are
// compiled here with target attributes, beside one another; the set that
// runs is the batch kernels' choice (active_isa), so one switch serves both.
// Each takes the chunk's scratch: block_scratch(width, lanes) doubles.
struct Kernels {
    int lanes;
    void (*field)(const FieldBatch&, std::size_t, std::size_t, double*);
    void (*rows_32)(const FieldBatch&, double*, std::int32_t*, std::size_t, std::size_t, double*);
    void (*rows_64)(const FieldBatch&, double*, std::int64_t*, std::size_t, std::size_t, double*);
};

#define TAVIK_FIELD_KERNELS(NAME, TARGET, V)                                                                       \
    [[gnu::target(TARGET)]] void NAME##_field(const FieldBatch& in, std::size_t begin, std::size_t end,          \
                                              double* scratch) {                                                 \
        field_chunk<V>(in, begin, end, scratch);                                                                 \
    }                                                                                                            \
    [[gnu::target(TARGET)]] void NAME##_rows_32(const FieldBatch& in, double* values, std::int32_t* columns,      \
                                                std::size_t begin, std::size_t end, double* scratch) {            \
        rows_chunk<V>(in, values, columns, begin, end, scratch);                                                 \
    }                                                                                                            \
    [[gnu::target(TARGET)]] void NAME##_rows_64(const FieldBatch& in, double* values, std::int64_t* columns,      \
                                                std::size_t begin, std::size_t end, double* scratch) {            \
        rows_chunk<V>(in, values, columns, begin, end, scratch);                                                 \
    }

TAVIK_FIELD_KERNELS(avx512f, "avx512f", 8)
TAVIK_FIELD_KERNELS(avx2, "avx2", 4)
TAVIK_FIELD_KERNELS(sse2, "sse2", 2)
#undef TAVIK_FIELD_KERNELS

const Kernels& kernels() noexcept {
    static constexpr Kernels sse2{2, sse2_field, sse2_rows_32, sse2_rows_64};
    static constexpr Kernels avx2{4, avx2_field, avx2_rows_32, avx2_rows_64};
    static constexpr Kernels avx512f{8, avx512f_field, avx512f_rows_32, avx512f_rows_64};
    switch (active_isa()) {
        case BatchIsa::avx2:
            return avx2;
        case BatchIsa::avx512f:
            return avx512f;
        case BatchIsa::sse2:
            break;
    }
    return sse2;
}

template <class Index>
void basis_rows(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                bool periodic, std::span<double> values, std::span<Index> columns) {
    if (basis.n_t() == 0) fatal(messages::kFieldNoIntervals);
    const std::uint64_t width = checked_add(basis.degree(), 1);
    const std::uint64_t n_dofs = checked_mul(basis.n_t(), width);
    const std::uint64_t nnz = checked_mul(times.size(), width);
    if (values.size() != nnz || columns.size() != nnz) fatal(messages::kBasisRowsSize);
    if (n_dofs > static_cast<std::uint64_t>(std::numeric_limits<Index>::max())) {
        fatal(messages::kBasisRowsNarrowColumns);
    }
    // Nothing to compute; the scratch size of a width this large may not even be countable.
    if (times.empty()) return;
    const FieldBatch in{nullptr, 1, width, node_rule(basis.T(), basis.n_t(), side, periodic), quantity,
                        times.data(), nullptr};
    double* v = values.data();
    Index* col = columns.data();
    const Kernels& k = kernels();
    parallel_map(times.size(), field_parallel_threshold(basis.degree(), 1), block_scratch(width, k.lanes),
                 [&](std::size_t begin, std::size_t end, std::span<double> scratch) {
                     if constexpr (sizeof(Index) == 4) {
                         k.rows_32(in, v, col, begin, end, scratch.data());
                     } else {
                         k.rows_64(in, v, col, begin, end, scratch.data());
                     }
                 });
}

}  // namespace

std::size_t field_parallel_threshold(std::uint64_t degree, std::uint64_t components) noexcept {
    const unsigned __int128 products =
        (static_cast<unsigned __int128>(degree) + 1) * std::max<std::uint64_t>(components, 1);
    if (products >= kParallelProducts / 2) return 2;
    return static_cast<std::size_t>(kParallelProducts / products);
}

void evaluate_field_into(const LegendreBasis& basis, std::span<const double> coefficients, std::uint64_t components,
                         std::span<const double> times, FieldQuantity quantity, NodeSide side, bool periodic,
                         std::span<double> out) {
    if (basis.n_t() == 0) fatal(messages::kFieldNoIntervals);
    const std::uint64_t width = checked_add(basis.degree(), 1);
    const std::uint64_t n_dofs = checked_mul(basis.n_t(), width);
    if (coefficients.size() != checked_mul(n_dofs, components)) fatal(messages::kFieldCoefficientSize);
    if (out.size() != checked_mul(times.size(), components)) fatal(messages::kFieldOutputSize);
    if (times.empty() || components == 0) return;

    const NodeRule rule = node_rule(basis.T(), basis.n_t(), side, periodic);
    if (components == 1 && quantity == FieldQuantity::value && times.size() >= n_dofs) {
        // The batch kernel of LegendreBasis reads the column-major (interval
        // fastest) layout of tavik.
        std::vector<double> column_major(n_dofs);
        for (std::uint64_t c = 0; c < basis.n_t(); ++c) {
            for (std::uint64_t k = 0; k < width; ++k) column_major[c + basis.n_t() * k] = coefficients[c * width + k];
        }
        evaluate_many_by_node_rule_into(basis, ColumnMajorView(column_major.data(), basis.n_t(), width), times,
                                        rule, out);
        return;
    }

    const FieldBatch in{coefficients.data(), components, width, rule, quantity, times.data(), out.data()};
    const Kernels& k = kernels();
    parallel_map(times.size(), field_parallel_threshold(basis.degree(), components), block_scratch(width, k.lanes),
                 [&](std::size_t begin, std::size_t end, std::span<double> scratch) {
                     k.field(in, begin, end, scratch.data());
                 });
}

void basis_rows_into(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, bool periodic, std::span<double> values, std::span<std::int64_t> columns) {
    basis_rows(basis, times, quantity, side, periodic, values, columns);
}

void basis_rows_into(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, bool periodic, std::span<double> values, std::span<std::int32_t> columns) {
    basis_rows(basis, times, quantity, side, periodic, values, columns);
}

}  // namespace tavik
