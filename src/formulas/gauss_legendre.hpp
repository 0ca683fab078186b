// Gauss-Legendre quadrature on [-1, 1].
#pragma once

#include <cstdint>
#include <vector>

namespace tavik {

// Largest number of points gauss_legendre accepts: its cost is O(n^2), and
// far more points than any polynomial degree in use would only waste time.
inline constexpr std::uint64_t max_gauss_legendre_points = 4096;

// The n-point rule, exact for polynomials of degree 2n - 1.
// Output: nodes in ascending order and their weights, n of each, both
// rounded from an extended-precision computation (Newton's method on P_n in
// long double), so nodes are within an ulp or so of the exact roots and
// weights likewise; the rule is symmetric to the bit (x_(n-1-i) = -x_i, equal
// weights, an exact 0 in the middle for odd n).
// Preconditions: 1 <= n <= max_gauss_legendre_points (fatal
// kGaussLegendrePoints otherwise). Cost O(n^2).
struct GaussLegendreRule {
    std::vector<double> nodes;
    std::vector<double> weights;
};
GaussLegendreRule gauss_legendre(std::uint64_t n);

// The same rule before rounding, for computations that round only once at
// their end.
struct GaussLegendreRuleExtended {
    std::vector<long double> nodes;
    std::vector<long double> weights;
};
GaussLegendreRuleExtended gauss_legendre_extended(std::uint64_t n);

}  // namespace tavik
