// The per-time formulas of LegendreBasis::evaluate and evaluate_derivative,
// over the lane type (simd_lanes.hpp): instantiated with L = double by the
// single-time operations (legendre_basis.cpp) and with vectors of doubles by
// the batch kernels (legendre_batch_kernels_impl.hpp), so that a batch element
// and the single-time call for its time are the same operations in the same
// order, and give the same bits.
#pragma once

#include <cstdint>

#include "formulas/legendre_polynomials.hpp"
#include "kernels/simd_lanes.hpp"

namespace tavik {

// A time derivative from a derivative with respect to xi: (d + d) / h; the
// chain-rule factor 2 / h uses h, not the computed interval width.
template <class L>
[[gnu::always_inline]] inline L time_derivative_of(L d, double h) noexcept {
    return (d + d) / h;
}

// S = sum_k P_k(xi) * coefficient(k) over k = 0 ... degree, accumulated in
// increasing k from -0.0 (the additive identity: a sum of -0.0 terms stays
// -0.0). coefficient(k) gives each lane's coefficient of degree k. D as in
// for_each_legendre_value. O(degree), no allocation.
template <int D, class L, class Coefficient>
[[gnu::always_inline]] inline L legendre_sum(L xi, std::uint64_t degree, Coefficient&& coefficient) {
    L sum = broadcast<L>(-0.0);
    for_each_legendre_value<D>(xi, degree, [&](std::uint64_t k, L p) { sum = sum + p * coefficient(k); });
    return sum;
}

// Time derivative time_derivative_of(S', h) with
// S' = sum_k P_k'(xi) * coefficient(k), accumulated as in legendre_sum.
// O(degree), no allocation.
template <int D, class L, class Coefficient>
[[gnu::always_inline]] inline L legendre_time_derivative(L xi, std::uint64_t degree, double h,
                                                         Coefficient&& coefficient) {
    L sum = broadcast<L>(-0.0);
    for_each_legendre_derivative<D>(xi, degree, [&](std::uint64_t k, L dp) { sum = sum + dp * coefficient(k); });
    return time_derivative_of(sum, h);
}

}  // namespace tavik
