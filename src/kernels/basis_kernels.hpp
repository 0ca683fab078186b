// The kernels that keep a block's basis values: vector-valued fields (each
// time's components summed in registers) and basis rows (values and
// columns stored).
#pragma once

#include <algorithm>
#include <cstdint>

#include "formulas/legendre_polynomials.hpp"
#include "formulas/legendre_sums.hpp"
#include "kernels/block_walk.hpp"

namespace tavik {
namespace {

// The degree + 1 basis values (or derivatives with respect to xi) of a block
// of B: basis[k * kLanes + l] for time l, kLanes = kLaneCount of the widest
// block, on the stack up to kStackWidth, else in the chunk's scratch.
template <class L>
class BlockBasis {
public:
    static constexpr int kLanes = kLaneCount<L>;

    BlockBasis(std::uint64_t width, double* scratch) noexcept : values_(width > kStackWidth ? scratch : stack_) {}
    BlockBasis(const BlockBasis&) = delete;
    BlockBasis& operator=(const BlockBasis&) = delete;

    std::uint64_t interval[kLanes];
    // Each time's step, what its time derivatives divide by: h on a uniform
    // mesh, its interval's t_(c+1) - t_c on a mesh of nodes.
    double step[kLanes];
    const double* basis() const noexcept { return values_; }

    // Out of line, once per lane type: the rows that use the basis are
    // instantiated per width and quantity, and inlining the recurrence into
    // each of them multiplied the code to compile for no measurable gain.
    // For the same reason the mesh route is a run-time argument here.
    template <class B>
    [[gnu::noinline]] void compute(const FieldInput& in, const double* times) noexcept {
        LaneLocation<B> loc;
        if (in.graded != nullptr) {
            const GradedLocation<B> at = locate_graded_lanes<B>(
                *in.graded, load_lanes<B>(times), memo_, [](const double* base, const LaneIndex<B>& c)
                                                      __attribute__((always_inline)) {
                                                          return gather_coefficients<B>(base, c);
                                                      });
            loc = {at.interval, at.xi};
            store_lanes(step, at.step);
        } else {
            loc = locate_lanes_by_node_rule(in.rule, in.rule.narrow, load_lanes<B>(times));
            for (int l = 0; l < kLaneCount<B>; ++l) step[l] = in.rule.h;
        }
        for (int l = 0; l < kLaneCount<B>; ++l) interval[l] = static_cast<std::uint64_t>(get_lane(loc.interval, l));
        if (in.quantity == FieldQuantity::value) {
            for_each_legendre_value<kAnyDegree>(loc.xi, in.width - 1, [&](std::uint64_t k, B p)
                                                    __attribute__((always_inline)) { store(k, p); });
        } else {
            derivatives(loc.xi, in.width - 1);
        }
    }

private:
    template <class B>
    [[gnu::always_inline]] inline void store(std::uint64_t k, const B& v) noexcept {
        store_lanes(values_ + k * kLanes, v);
    }

    // P_0' ... P_d' by the recurrence
    //   P'_0 = 0, P'_1 = 1, P'_(k+1) = P'_(k-1) + (2k + 1) P_k,
    // 2k + 1 formed as k + k + 1: the recurrence LegendreBasis uses near the
    // interval ends, here on the whole interval. Without a division it needs
    // no guard constant: the end slopes come out exactly and every value lies
    // within a few ulps of max |P'_k| = k(k+1)/2. (for_each_legendre_derivative
    // takes the guarded quotient away from the ends, hence this walk.)
    template <class B>
    [[gnu::always_inline]] inline void derivatives(B xi, std::uint64_t degree) noexcept {
        B d_previous = broadcast<B>(0.0);
        B d_current = d_previous;
        for_each_legendre_value<kAnyDegree>(xi, degree, [&](std::uint64_t k, B p) __attribute__((always_inline)) {
            store(k, d_current);
            const double j = static_cast<double>(k);
            const B d_next = k == 0 ? broadcast<B>(1.0) : d_previous + (j + j + 1.0) * p;
            d_previous = d_current;
            d_current = d_next;
        });
    }

    double stack_[kStackWidth * kLanes];
    double* const values_;
    GradedMemo memo_;  // the block before's interval, on a mesh of nodes
};

// Runs per(block, first, count) for every block of times[0 .. n), after
// computing the block's basis; first counts from times.
template <class L, class Per>
[[gnu::always_inline]] inline void for_each_basis_block(const FieldInput& in, const double* times, std::size_t n,
                                                        double* scratch, Per&& per) {
    BlockBasis<L> block(in.width, scratch);
    for_each_block<L>(times, n, [&]<class B>(const double* block_times, std::size_t first, std::size_t count)
                                    __attribute__((always_inline)) {
                                        block.template compute<B>(in, block_times);
                                        per(block, first, count);
                                    });
}

// Runs rows(times, n, s) over the times [begin, end) of the batch in the
// order the batch asks for (as given, or in.order), in groups of
// kOrderGroup times copied to the stack; time i of a group is time
// row_of(in, s + i) of the batch.
inline constexpr std::size_t kOrderGroup = 256;

[[gnu::always_inline]] inline std::size_t row_of(const FieldInput& in, std::size_t position) noexcept {
    return in.order == nullptr ? position : in.order[position];
}

template <class Rows>
[[gnu::always_inline]] inline void in_batch_order(const FieldInput& in, std::size_t begin, std::size_t end,
                                                  Rows&& rows) {
    double group[kOrderGroup];
    for (std::size_t s = begin; s < end; s += kOrderGroup) {
        const std::size_t n = std::min(kOrderGroup, end - s);
        for (std::size_t i = 0; i < n; ++i) group[i] = in.times[row_of(in, s + i)];
        rows(group, n, s);
    }
}

// ---------------------------------------------------------------- fields

// The components of one time that C covers, from interval + 0 on (basis
// values at stride kLanes, coefficients of degree k at interval + k * m): the
// sum over k kept in registers, each lane doing the scalar operations of its
// component, from -0.0 with k increasing, then time_derivative_of for
// derivatives. C = double is one component.
template <class C, int kLanes, FieldQuantity Q, std::uint64_t W>
[[gnu::always_inline]] inline C component_sums(const double* basis, std::uint64_t width, const double* interval,
                                               std::uint64_t m, double h) noexcept {
    const std::uint64_t w = W != 0 ? W : width;
    C sum = broadcast<C>(-0.0);
    for (std::uint64_t k = 0; k < w; ++k) sum = sum + basis[k * kLanes] * load_lanes<C>(interval + k * m);
    if constexpr (Q == FieldQuantity::derivative) sum = time_derivative_of(sum, h);
    return sum;
}

// One row of m components per time. From one vector's worth of components
// on, the row is covered by vectors, the last aligned to the row's end
// (overlapping its predecessor: an element computed twice gets the same bits
// twice); fewer components take the scalar sum. W is the width when fixed at
// compile time (the common low degrees, whose k loops then unroll), else 0.
// The input is taken by value so that no store into a row can alias it.
template <class L, FieldQuantity Q, std::uint64_t W>
[[gnu::always_inline]] inline void field_rows(const FieldInput in, std::size_t begin, std::size_t end,
                                              double* scratch) {
    using Vector = VectorOf<L>;
    constexpr std::uint64_t V = kLaneCount<Vector>;
    constexpr int kLanes = BlockBasis<L>::kLanes;
    const std::uint64_t m = in.components;
    in_batch_order(in, begin, end, [&](const double* times, std::size_t n, std::size_t s)
                                       __attribute__((always_inline)) {
        for_each_basis_block<L>(in, times, n, scratch, [&](const BlockBasis<L>& block, std::size_t first,
                                                                   std::size_t count) __attribute__((always_inline)) {
            for (std::size_t l = 0; l < count; ++l) {
                const double* basis = block.basis() + l;
                const double h = block.step[l];
                const double* interval = in.coefficients + block.interval[l] * in.width * m;
                double* row = in.out + row_of(in, s + first + l) * m;
                if (m >= V) {
                    for (std::uint64_t j = 0;; j += V) {
                        if (j + V > m) j = m - V;
                        store_lanes(row + j,
                                    component_sums<Vector, kLanes, Q, W>(basis, in.width, interval + j, m, h));
                        if (j + V == m) break;
                    }
                } else {
                    for (std::uint64_t j = 0; j < m; ++j) {
                        row[j] = component_sums<double, kLanes, Q, W>(basis, in.width, interval + j, m, h);
                    }
                }
            }
        });
    });
}

template <class L, FieldQuantity Q>
[[gnu::always_inline]] inline void field_rows_of_width(const FieldInput& in, std::size_t begin, std::size_t end,
                                                       double* scratch) {
    switch (in.width) {
        case 1: return field_rows<L, Q, 1>(in, begin, end, scratch);
        case 2: return field_rows<L, Q, 2>(in, begin, end, scratch);
        case 3: return field_rows<L, Q, 3>(in, begin, end, scratch);
        case 4: return field_rows<L, Q, 4>(in, begin, end, scratch);
        default: return field_rows<L, Q, 0>(in, begin, end, scratch);
    }
}

template <class L>
void field_chunk(const FieldInput& in, std::size_t begin, std::size_t end, double* scratch) {
    if (in.quantity == FieldQuantity::value) {
        field_rows_of_width<L, FieldQuantity::value>(in, begin, end, scratch);
    } else {
        field_rows_of_width<L, FieldQuantity::derivative>(in, begin, end, scratch);
    }
}

// ---------------------------------------------------------------- basis rows

// Rows [begin, end) of the batch; the input is copied so that no store of a
// row can alias it.
template <class L, class Index>
void rows_chunk(const FieldInput& batch, double* values, Index* columns, std::size_t begin, std::size_t end,
                double* scratch) {
    const FieldInput in = batch;
    constexpr int kLanes = BlockBasis<L>::kLanes;
    const std::uint64_t width = in.width;
    const bool derivative = in.quantity == FieldQuantity::derivative;
    for_each_basis_block<L>(in, in.times + begin, end - begin, scratch,
                            [&](const BlockBasis<L>& block, std::size_t first, std::size_t count)
                                __attribute__((always_inline)) {
        for (std::size_t l = 0; l < count; ++l) {
            double* row_values = values + (begin + first + l) * width;
            Index* row_columns = columns + (begin + first + l) * width;
            const std::uint64_t column = block.interval[l] * width;
            const double h = block.step[l];
            for (std::uint64_t k = 0; k < width; ++k) {
                const double b = block.basis()[k * kLanes + l];
                row_values[k] = derivative ? time_derivative_of(b, h) : b;
                row_columns[k] = static_cast<Index>(column + k);
            }
        }
    });
}

}  // namespace
}  // namespace tavik
