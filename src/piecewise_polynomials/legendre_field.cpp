#include "piecewise_polynomials/legendre_field.hpp"

#include <algorithm>
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

// Times are taken kLanes at a time: locating them and running the Legendre
// recurrences lane by lane overlaps their long division chains. Each lane
// performs exactly the scalar operations of uniform_mesh.hpp's
// locate_in_mesh and of LegendreRecurrence on its own time.
constexpr std::size_t kLanes = 8;
// Lanes never cross a function boundary that is not inlined, so the ABI of
// passing them (which differs between instruction sets) never matters.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));

[[gnu::always_inline]] inline Lanes broadcast(double x) noexcept { return Lanes{} + x; }

[[gnu::always_inline]] inline Lanes load_lanes(const double* p) noexcept {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The located times of a block and their degree + 1 basis values (or
// derivatives with respect to xi): basis[k * kLanes + l] for time l.
class BlockBasis {
public:
    explicit BlockBasis(std::uint64_t width) : heap_(width > kStackWidth ? width * kLanes : 0) {}

    std::uint64_t interval[kLanes];
    const double* basis() const noexcept { return heap_.empty() ? stack_ : heap_.data(); }

    // Times t[0 .. count) of the block; lanes beyond count repeat t[0] (a
    // time located anyway, so padding cannot fail where real times do not).
    [[gnu::always_inline]] inline void compute(const FieldBatch& in, const double* t, std::size_t count) noexcept {
        double padded[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) padded[l] = t[l < count ? l : 0];
        const Lanes time = load_lanes(padded);
        const Lanes h = broadcast(in.h);
        const Lanes q = time / h;
        Lanes c;
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::uint64_t j = saturating_floor_to_u64(q[l]);
            interval[l] = j < in.n_t ? j : in.n_t - 1;
            c[l] = static_cast<double>(interval[l]);
        }
        const Lanes a = h * c;
        const Lanes b = h + a;
        const Lanes s = a + b;
        const Lanes u = time + s * -0.5;
        Lanes xi = (u + u) / (b - a);
        const Lanes lower = broadcast(-1.0);
        const Lanes upper = broadcast(1.0);
        xi = xi < lower ? lower : (xi > upper ? upper : xi);
        if (in.side == NodeSide::left) {
            // Left limits: a time placed exactly on the start of an interval
            // c >= 1 (xi = -1 after the clamp) moves to the end of interval
            // c - 1 (xi = 1). Every other time, node 0 included, stays.
            for (std::size_t l = 0; l < kLanes; ++l) {
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
    void store(std::uint64_t k, Lanes v) noexcept { std::memcpy(out() + k * kLanes, &v, sizeof v); }

    // P_0 ... P_d by LegendreRecurrence's operations.
    [[gnu::always_inline]] inline void values(Lanes xi, std::uint64_t width) noexcept {
        Lanes previous = broadcast(1.0);
        Lanes current = previous;
        for (std::uint64_t k = 0;; ++k) {
            store(k, current);
            if (k + 1 == width) break;
            Lanes next = xi;
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
    [[gnu::always_inline]] inline void derivatives(Lanes xi, std::uint64_t width) noexcept {
        Lanes p_previous = broadcast(1.0);
        Lanes p_current = p_previous;
        Lanes d_previous = broadcast(0.0);
        Lanes d_current = d_previous;
        for (std::uint64_t k = 0;; ++k) {
            store(k, d_current);
            if (k + 1 == width) break;
            const double j = static_cast<double>(k);
            const Lanes d_next = k == 0 ? broadcast(1.0) : d_previous + (j + j + 1.0) * p_current;
            d_previous = d_current;
            d_current = d_next;
            Lanes p_next = xi;
            if (k > 0) p_next = (p_current * (xi * (j + j + 1.0)) - p_previous * j) / (j + 1.0);
            p_previous = p_current;
            p_current = p_next;
        }
    }

    static constexpr std::uint64_t kStackWidth = 16;
    double stack_[kStackWidth * kLanes];
    std::vector<double> heap_;
};

// Components [j, j + 8) of one time: the sum over k kept in registers and
// stored once. Each lane performs the scalar operations of its component:
// from -0.0, k increasing, then (S' + S') / h for derivatives.
template <FieldQuantity Q>
[[gnu::always_inline]] inline void eight_components(const double* basis, std::uint64_t width, const double* interval,
                                                    std::uint64_t m, double h, double* row) noexcept {
    Lanes sum = broadcast(-0.0);
    for (std::uint64_t k = 0; k < width; ++k) sum = sum + basis[k * kLanes] * load_lanes(interval + k * m);
    if constexpr (Q == FieldQuantity::derivative) sum = (sum + sum) / h;
    std::memcpy(row, &sum, sizeof sum);
}

template <FieldQuantity Q>
[[gnu::always_inline]] inline double one_component(const double* basis, std::uint64_t width, const double* interval,
                                                   std::uint64_t m, double h) noexcept {
    double sum = -0.0;
    for (std::uint64_t k = 0; k < width; ++k) sum = sum + basis[k * kLanes] * interval[k * m];
    if constexpr (Q == FieldQuantity::derivative) sum = (sum + sum) / h;
    return sum;
}

// Times [begin, end) of a field: one row of m components per time. From 8
// components on, the row is covered by blocks of 8 lanes, the last block
// aligned to the row's end (overlapping its predecessor: an element computed
// twice gets the same bits twice); fewer components take the scalar sum.
// W is the width degree + 1 when fixed at compile time (the common low
// degrees, whose k loops then unroll), 0 when known only at run time. The
// batch is taken by value so that no store into a row can alias its fields.
template <FieldQuantity Q, std::uint64_t W>
[[gnu::always_inline]] inline void field_rows(const FieldBatch in, std::size_t begin, std::size_t end) {
    const std::uint64_t m = in.components;
    const std::uint64_t width = W != 0 ? W : in.width;
    const double h = in.h;
    const double* coefficients = in.coefficients;
    double* out = in.out;
    BlockBasis block(width);
    for (std::size_t i0 = begin; i0 < end; i0 += kLanes) {
        const std::size_t count = std::min(kLanes, end - i0);
        block.compute(in, in.times + i0, count);
        for (std::size_t l = 0; l < count; ++l) {
            const double* basis = block.basis() + l;
            const double* interval = coefficients + block.interval[l] * width * m;
            double* row = out + (i0 + l) * m;
            if (m >= 8) {
                for (std::uint64_t j = 0;; j += 8) {
                    if (j + 8 > m) j = m - 8;
                    eight_components<Q>(basis, width, interval + j, m, h, row + j);
                    if (j + 8 == m) break;
                }
            } else {
                for (std::uint64_t j = 0; j < m; ++j) row[j] = one_component<Q>(basis, width, interval + j, m, h);
            }
        }
    }
}

template <FieldQuantity Q>
[[gnu::always_inline]] inline void field_rows_of_width(const FieldBatch& in, std::size_t begin, std::size_t end) {
    switch (in.width) {
        case 1: return field_rows<Q, 1>(in, begin, end);
        case 2: return field_rows<Q, 2>(in, begin, end);
        case 3: return field_rows<Q, 3>(in, begin, end);
        case 4: return field_rows<Q, 4>(in, begin, end);
        default: return field_rows<Q, 0>(in, begin, end);
    }
}

// One clone per instruction set, chosen when the module loads from what the
// processor offers (never from what the build machine had).
[[gnu::target_clones("avx512f", "avx2", "default")]] void field_chunk(const FieldBatch& in, std::size_t begin,
                                                                     std::size_t end) {
    if (in.quantity == FieldQuantity::value) {
        field_rows_of_width<FieldQuantity::value>(in, begin, end);
    } else {
        field_rows_of_width<FieldQuantity::derivative>(in, begin, end);
    }
}

// Rows [begin, end) of basis_rows_into; `in` by value as in field_rows.
template <class Index>
[[gnu::always_inline]] inline void rows_chunk(const FieldBatch in, double* values, Index* columns, std::size_t begin,
                                              std::size_t end) {
    const std::uint64_t width = in.width;
    const double h = in.h;
    const bool derivative = in.quantity == FieldQuantity::derivative;
    BlockBasis block(width);
    for (std::size_t i0 = begin; i0 < end; i0 += kLanes) {
        const std::size_t count = std::min(kLanes, end - i0);
        block.compute(in, in.times + i0, count);
        for (std::size_t l = 0; l < count; ++l) {
            double* row_values = values + (i0 + l) * width;
            Index* row_columns = columns + (i0 + l) * width;
            const std::uint64_t first = block.interval[l] * width;
            for (std::uint64_t k = 0; k < width; ++k) {
                const double b = block.basis()[k * kLanes + l];
                row_values[k] = derivative ? (b + b) / h : b;
                row_columns[k] = static_cast<Index>(first + k);
            }
        }
    }
}

[[gnu::target_clones("avx512f", "avx2", "default")]] void rows_chunk_32(const FieldBatch& in, double* values,
                                                                       std::int32_t* columns, std::size_t begin,
                                                                       std::size_t end) {
    rows_chunk(in, values, columns, begin, end);
}

[[gnu::target_clones("avx512f", "avx2", "default")]] void rows_chunk_64(const FieldBatch& in, double* values,
                                                                       std::int64_t* columns, std::size_t begin,
                                                                       std::size_t end) {
    rows_chunk(in, values, columns, begin, end);
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
            rows_chunk_32(in, v, col, begin, end);
        } else {
            rows_chunk_64(in, v, col, begin, end);
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
                 [&](std::size_t begin, std::size_t end) { field_chunk(in, begin, end); });
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
