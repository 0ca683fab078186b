// The kernels as templates over the lane type, the degree and the route.
// Included only by kernel_set.cpp, which the build compiles once per
// instruction set; the anonymous namespace keeps each set's instantiations
// to its own object, so no copy built for one set is linked in place of
// another's.
//
// Every kernel walks its times in blocks (for_each_block): as many times as
// the lane type has lanes (a pack of several register-wide vectors, so each
// block runs several independent division chains side by side), then the
// rest one vector at a time, the last block padded with copies of its first
// time (a time evaluated anyway, so padding cannot fail where the real times
// do not; only real lanes are kept). Per block it locates the times
// (locate_block) and walks the Legendre recurrence of formulas/; only what
// it does with each lane's values differs:
//  - one-component sums (batch_kernel): the sum over k with the coefficient
//    gathered per lane, exactly legendre_sum / legendre_time_derivative;
//  - fields (field_chunk): the basis values of the block kept, then each
//    time's components summed in registers;
//  - basis rows (rows_chunk): the basis values and their columns stored.
#pragma once

// Vectors wider than the registers would be passed differently from one
// instruction set to the next; every function taking or returning one is
// inlined within its file, so no such call exists.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "fatal_error.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "formulas/legendre_sums.hpp"
#include "formulas/node_rule.hpp"
#include "formulas/uniform_mesh.hpp"
#include "kernels/kernels.hpp"
#include "kernels/simd_lanes.hpp"
#include "messages.hpp"

namespace tavik {
namespace {

// The register-wide vector of a lane type (a pack's part; a vector itself).
template <class L>
using VectorOf = std::remove_cvref_t<decltype(pack_part(std::declval<L&>(), 0))>;

// base[c] per lane, by the processor's gather instruction where the
// instruction set has one.
template <class L>
[[gnu::always_inline]] inline L gather_coefficients(const double* base, const LaneIndex<L>& c) noexcept {
    if constexpr (kIsLanePack<L>) {
        L r;
        for (int k = 0; k < kPartsOf<L>; ++k) r.part[k] = gather_coefficients<VectorOf<L>>(base, c.part[k]);
        return r;
    }
#if defined(__AVX512F__)
    else if constexpr (kLaneCount<L> == 8) {
        return reinterpret_cast<L>(_mm512_i64gather_pd(reinterpret_cast<__m512i>(c), base, 8));
    }
#endif
#if defined(__AVX2__)
    else if constexpr (kLaneCount<L> == 4) {
        return reinterpret_cast<L>(_mm256_i64gather_pd(base, reinterpret_cast<__m256i>(c), 8));
    }
#endif
    else {
        return gather_lanes<L>(base, c);
    }
}

// Calls block.template operator()<B>(times, first, count) for consecutive
// blocks of t[0 .. n): B = L for whole blocks, then B = VectorOf<L> for the
// rest; `times` points at kLaneCount<B> times (the last block padded with
// copies of its first time), of which `count` are real, first the index of
// the block's first time.
template <class L, class Block>
[[gnu::always_inline]] inline void for_each_block(const double* t, std::size_t n, Block&& block) {
    constexpr std::size_t kBlock = kLaneCount<L>;
    std::size_t i = 0;
    for (; n - i >= kBlock; i += kBlock) block.template operator()<L>(t + i, i, kBlock);
    if (i == n) return;
    if constexpr (kIsLanePack<L>) {
        using Vector = VectorOf<L>;
        for_each_block<Vector>(t + i, n - i, [&]<class B>(const double* times, std::size_t first, std::size_t count)
                                                  __attribute__((always_inline)) {
                                                      block.template operator()<B>(times, i + first, count);
                                                  });
    } else {
        const std::size_t rest = n - i;
        double padded[kBlock];
        for (std::size_t l = 0; l < kBlock; ++l) padded[l] = t[i + (l < rest ? l : 0)];
        block.template operator()<L>(padded, i, rest);
    }
}

// Interval and local coordinate of each lane: the plain location of the
// uniform mesh, or (ByNodes) the node rule. The mesh route (Narrow) and the
// location are template arguments, so that a block is straight-line code
// the processor can overlap with its neighbours.
template <class L, bool Narrow, bool ByNodes>
[[gnu::always_inline]] inline LaneLocation<L> locate_block(const NodeRule& rule, const double* t) noexcept {
    if constexpr (ByNodes) {
        return locate_lanes_by_node_rule(rule, Narrow, load_lanes<L>(t));
    } else {
        return locate_lanes(rule.h, rule.n_t, Narrow, load_lanes<L>(t));
    }
}

// Stores the first `count` lanes of v at out.
template <class L>
[[gnu::always_inline]] inline void store_first(double* out, const L& v, std::size_t count) noexcept {
    if (count == static_cast<std::size_t>(kLaneCount<L>)) {
        store_lanes(out, v);
    } else {
        double values[kLaneCount<L>];
        store_lanes(values, v);
        std::memcpy(out, values, count * sizeof(double));
    }
}

// ---------------------------------------------------------------- one component

// Flat: the coefficient of interval c sits at c (interval stride 1);
// otherwise at c * interval_stride. The row check, which only a matrix with
// fewer rows than intervals needs, is a branch taken the same way all batch
// long (a template argument would double the kernels to compile for no
// measurable gain).
template <class L, int D, bool Derivative, bool Narrow, bool ByNodes, bool Flat>
void sum_blocks(const BatchInput& in, const NodeRule& rule, const double* t, double* out, std::size_t n) {
    for_each_block<L>(t, n, [&]<class B>(const double* times, std::size_t first, std::size_t count)
                                __attribute__((always_inline)) {
                                    const LaneLocation<B> loc = locate_block<B, Narrow, ByNodes>(rule, times);
                                    if (in.check_rows) {
                                        for (int l = 0; l < kLaneCount<B>; ++l) {
                                            const auto row = static_cast<std::uint64_t>(get_lane(loc.interval, l));
                                            if (row >= in.rows) fatal(messages::kRowOutOfBounds);
                                        }
                                    }
                                    LaneIndex<B> offset = loc.interval;
                                    if constexpr (!Flat) offset = offset * static_cast<std::int64_t>(in.interval_stride);
                                    const auto coefficient = [&](std::uint64_t k) __attribute__((always_inline)) {
                                        return gather_coefficients<B>(in.coeffs + k * in.degree_stride, offset);
                                    };
                                    if constexpr (Derivative) {
                                        store_first(out + first,
                                                    legendre_time_derivative<D>(loc.xi, in.degree, in.h, coefficient),
                                                    count);
                                    } else {
                                        store_first(out + first, legendre_sum<D>(loc.xi, in.degree, coefficient),
                                                    count);
                                    }
                                });
}

// The plain location reads tavik's flat layout; the node rule (values only)
// the array interface's C order. The rule is copied to the stack so that no
// store of a result can alias it and force it to be read again.
template <class L, int D, bool Derivative>
void batch_kernel(const BatchInput& in, const double* t, double* out, std::size_t n) {
    if constexpr (!Derivative) {
        if (in.nodes != nullptr) {
            const NodeRule rule = *in.nodes;
            if (in.narrow_mesh) {
                sum_blocks<L, D, false, true, true, false>(in, rule, t, out, n);
            } else {
                sum_blocks<L, D, false, false, true, false>(in, rule, t, out, n);
            }
            return;
        }
    }
    NodeRule plain{};
    plain.h = in.h;
    plain.n_t = in.n_t;
    if (in.narrow_mesh) {
        sum_blocks<L, D, Derivative, true, false, true>(in, plain, t, out, n);
    } else {
        sum_blocks<L, D, Derivative, false, false, true>(in, plain, t, out, n);
    }
}

// ---------------------------------------------------------------- basis values of a block

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
    const double* basis() const noexcept { return values_; }

    template <class B, bool Narrow>
    [[gnu::always_inline]] inline void compute(const FieldInput& in, const double* times) noexcept {
        const LaneLocation<B> loc = locate_block<B, Narrow, true>(in.rule, times);
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
};

// Runs per(block, times, first, count) for every block of times
// [begin, end), after computing the block's basis.
template <class L, bool Narrow, class Per>
[[gnu::always_inline]] inline void for_each_basis_block(const FieldInput& in, std::size_t begin, std::size_t end,
                                                        double* scratch, Per&& per) {
    BlockBasis<L> block(in.width, scratch);
    for_each_block<L>(in.times + begin, end - begin,
                      [&]<class B>(const double* times, std::size_t first, std::size_t count)
                          __attribute__((always_inline)) {
                              block.template compute<B, Narrow>(in, times);
                              per(block, begin + first, count);
                          });
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
template <class L, bool Narrow, FieldQuantity Q, std::uint64_t W>
[[gnu::always_inline]] inline void field_rows(const FieldInput in, std::size_t begin, std::size_t end,
                                              double* scratch) {
    using Vector = VectorOf<L>;
    constexpr std::uint64_t V = kLaneCount<Vector>;
    constexpr int kLanes = BlockBasis<L>::kLanes;
    const std::uint64_t m = in.components;
    const double h = in.rule.h;
    for_each_basis_block<L, Narrow>(in, begin, end, scratch, [&](const BlockBasis<L>& block, std::size_t first,
                                                                 std::size_t count) __attribute__((always_inline)) {
        for (std::size_t l = 0; l < count; ++l) {
            const double* basis = block.basis() + l;
            const double* interval = in.coefficients + block.interval[l] * in.width * m;
            double* row = in.out + (first + l) * m;
            if (m >= V) {
                for (std::uint64_t j = 0;; j += V) {
                    if (j + V > m) j = m - V;
                    store_lanes(row + j, component_sums<Vector, kLanes, Q, W>(basis, in.width, interval + j, m, h));
                    if (j + V == m) break;
                }
            } else {
                for (std::uint64_t j = 0; j < m; ++j) {
                    row[j] = component_sums<double, kLanes, Q, W>(basis, in.width, interval + j, m, h);
                }
            }
        }
    });
}

template <class L, bool Narrow, FieldQuantity Q>
[[gnu::always_inline]] inline void field_rows_of_width(const FieldInput& in, std::size_t begin, std::size_t end,
                                                       double* scratch) {
    switch (in.width) {
        case 1: return field_rows<L, Narrow, Q, 1>(in, begin, end, scratch);
        case 2: return field_rows<L, Narrow, Q, 2>(in, begin, end, scratch);
        case 3: return field_rows<L, Narrow, Q, 3>(in, begin, end, scratch);
        case 4: return field_rows<L, Narrow, Q, 4>(in, begin, end, scratch);
        default: return field_rows<L, Narrow, Q, 0>(in, begin, end, scratch);
    }
}

template <class L>
void field_chunk(const FieldInput& in, std::size_t begin, std::size_t end, double* scratch) {
    const bool value = in.quantity == FieldQuantity::value;
    if (in.rule.narrow) {
        value ? field_rows_of_width<L, true, FieldQuantity::value>(in, begin, end, scratch)
              : field_rows_of_width<L, true, FieldQuantity::derivative>(in, begin, end, scratch);
    } else {
        value ? field_rows_of_width<L, false, FieldQuantity::value>(in, begin, end, scratch)
              : field_rows_of_width<L, false, FieldQuantity::derivative>(in, begin, end, scratch);
    }
}

// ---------------------------------------------------------------- basis rows

template <class L, bool Narrow, class Index>
[[gnu::always_inline]] inline void rows_of(const FieldInput in, double* values, Index* columns, std::size_t begin,
                                           std::size_t end, double* scratch) {
    constexpr int kLanes = BlockBasis<L>::kLanes;
    const std::uint64_t width = in.width;
    const double h = in.rule.h;
    const bool derivative = in.quantity == FieldQuantity::derivative;
    for_each_basis_block<L, Narrow>(in, begin, end, scratch, [&](const BlockBasis<L>& block, std::size_t first,
                                                                 std::size_t count) __attribute__((always_inline)) {
        for (std::size_t l = 0; l < count; ++l) {
            double* row_values = values + (first + l) * width;
            Index* row_columns = columns + (first + l) * width;
            const std::uint64_t column = block.interval[l] * width;
            for (std::uint64_t k = 0; k < width; ++k) {
                const double b = block.basis()[k * kLanes + l];
                row_values[k] = derivative ? time_derivative_of(b, h) : b;
                row_columns[k] = static_cast<Index>(column + k);
            }
        }
    });
}

template <class L, class Index>
void rows_chunk(const FieldInput& in, double* values, Index* columns, std::size_t begin, std::size_t end,
                double* scratch) {
    if (in.rule.narrow) {
        rows_of<L, true>(in, values, columns, begin, end, scratch);
    } else {
        rows_of<L, false>(in, values, columns, begin, end, scratch);
    }
}

// ---------------------------------------------------------------- the table

// Four register-wide vectors per block: enough independent division chains
// to keep the divider busy (measured: one or two leave it idle part of the
// time).
template <int kLanes>
using BlockLanes = LanePack<DoubleLanes<kLanes>, 4>;

template <class L, std::size_t... Degree>
constexpr KernelTable make_kernel_table(std::index_sequence<Degree...>) {
    return {{&batch_kernel<L, static_cast<int>(Degree), false>..., &batch_kernel<L, kAnyDegree, false>},
            {&batch_kernel<L, static_cast<int>(Degree), true>..., &batch_kernel<L, kAnyDegree, true>},
            &field_chunk<L>,
            &rows_chunk<L, std::int32_t>,
            &rows_chunk<L, std::int64_t>,
            kLaneCount<L>};
}

template <int kLanes>
const KernelTable& kernel_table() noexcept {
    static constexpr KernelTable table =
        make_kernel_table<BlockLanes<kLanes>>(std::make_index_sequence<kLargestUnrolledDegree + 1>{});
    return table;
}

}  // namespace
}  // namespace tavik
