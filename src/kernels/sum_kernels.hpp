// The one-component kernels: the sum over k with each lane's coefficient
// gathered, exactly legendre_sum / legendre_time_derivative per lane.
#pragma once

#include "fatal_error.hpp"
#include "formulas/legendre_sums.hpp"
#include "kernels/block_walk.hpp"
#include "messages.hpp"

namespace tavik {
namespace {

// Flat: the coefficient of interval c sits at c (interval stride 1);
// otherwise (one component in C order) at c * interval_stride, which is
// then degree + 1. The row check, which only a matrix with
// fewer rows than intervals needs, is a branch taken the same way all batch
// long (a template argument would double the kernels to compile for no
// measurable gain).
template <class L, int D, bool Derivative, bool Narrow, Locate Route, bool Flat>
void sum_blocks(const BatchInput& in, const NodeRule& rule, const GradedLocator& graded, const double* t,
                double* out, std::size_t n) {
    GradedMemo memo;
    for_each_block<L>(t, n, [&]<class B>(const double* times, std::size_t first, std::size_t count)
                                __attribute__((always_inline)) {
                                    const LaneLocation<B> loc = locate_block<B, Narrow, Route>(rule, graded, memo, times);
                                    if (in.check_rows) {
                                        for (int l = 0; l < kLaneCount<B>; ++l) {
                                            const auto row = static_cast<std::uint64_t>(get_lane(loc.interval, l));
                                            if (row >= in.rows) fatal(messages::kRowOutOfBounds);
                                        }
                                    }
                                    LaneIndex<B> offset = loc.interval;
                                    if constexpr (!Flat) {
                                        // One component in C order: the stride is degree + 1, a
                                        // constant (shifts and adds) when the degree is.
                                        const auto stride = D == kAnyDegree
                                                                ? static_cast<std::int64_t>(in.interval_stride)
                                                                : std::int64_t{D + 1};
                                        offset = offset * stride;
                                    }
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

// The plain location reads tavik's flat layout; the node rule and the mesh
// of nodes (values only) the array interface's C order. The rule and the
// locator are copied to the stack so that no store of a result can alias
// them and force them to be read again.
template <class L, int D, bool Derivative>
void batch_kernel(const BatchInput& in, const double* t, double* out, std::size_t n) {
    const GradedLocator graded = in.graded != nullptr ? *in.graded : GradedLocator{};
    if constexpr (!Derivative) {
        if (in.graded != nullptr) {
            sum_blocks<L, D, false, true, Locate::graded, false>(in, NodeRule{}, graded, t, out, n);
            return;
        }
        if (in.nodes != nullptr) {
            const NodeRule rule = *in.nodes;
            if (in.narrow_mesh) {
                sum_blocks<L, D, false, true, Locate::node_rule, false>(in, rule, graded, t, out, n);
            } else {
                sum_blocks<L, D, false, false, Locate::node_rule, false>(in, rule, graded, t, out, n);
            }
            return;
        }
    }
    NodeRule plain{};
    plain.h = in.h;
    plain.n_t = in.n_t;
    if (in.narrow_mesh) {
        sum_blocks<L, D, Derivative, true, Locate::plain, true>(in, plain, graded, t, out, n);
    } else {
        sum_blocks<L, D, Derivative, false, Locate::plain, true>(in, plain, graded, t, out, n);
    }
}

}  // namespace
}  // namespace tavik
