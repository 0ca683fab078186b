#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "formulas/gauss_legendre.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "operators/time_dg_operators.hpp"
#include "messages.hpp"
#include "support.hpp"

namespace tavik {
namespace {


template <class Index>
std::vector<std::vector<double>> dense(const CsrArrays<Index>& m) {
    std::vector<std::vector<double>> a(m.nrows, std::vector<double>(m.ncols, 0.0));
    for (std::uint64_t r = 0; r < m.nrows; ++r) {
        for (auto p = m.indptr[r]; p < m.indptr[r + 1]; ++p) {
            EXPECT_NE(m.data[p], 0.0);
            if (p > m.indptr[r]) {
                EXPECT_LT(m.indices[p - 1], m.indices[p]);
            }
            a[r][m.indices[p]] = m.data[p];
        }
    }
    return a;
}

// P_0 ... P_d and their derivatives at xi, independently of the kernels:
// P'_(k+1) = P'_(k-1) + (2k + 1) P_k.
void legendre_values(double xi, std::uint64_t d, double* p) {
    for (std::uint64_t k = 0; k <= d; ++k) p[k] = legendre_value(k, xi);
}
void legendre_derivatives(double xi, std::uint64_t d, double* dp) {
    for (std::uint64_t k = 0; k <= d; ++k) {
        dp[k] = k == 0 ? 0.0 : (k == 1 ? 1.0 : dp[k - 2] + static_cast<double>(2 * k - 1) * legendre_value(k - 1, xi));
    }
}

// int_{-1}^{1} f(xi) dxi by a rule exact for the polynomial degrees used here.
template <class F>
double integrate(F f) {
    const GaussLegendreRule rule = gauss_legendre(20);
    double s = 0.0;
    for (std::size_t q = 0; q < rule.nodes.size(); ++q) s += rule.weights[q] * f(rule.nodes[q]);
    return s;
}

TEST(TimeDgOperators, MassAndDerivativeAgainstQuadrature) {
    const std::uint64_t d = 5, n_t = 3;
    const double h = 0.7;
    const auto mass = dense(legendre_mass_matrix<std::int32_t>(d, n_t, h));
    const auto deriv = dense(legendre_derivative_matrix<std::int64_t>(d, n_t));
    std::vector<double> p(d + 1), dp(d + 1);
    for (std::uint64_t a = 0; a < n_t * (d + 1); ++a) {
        for (std::uint64_t b = 0; b < n_t * (d + 1); ++b) {
            const std::uint64_t i = a % (d + 1), j = b % (d + 1);
            const bool same = a / (d + 1) == b / (d + 1);
            // dt = h / 2 dxi and d/dt = 2 / h d/dxi.
            const double m = !same ? 0.0 : h / 2 * integrate([&](double x) {
                legendre_values(x, d, p.data());
                return p[i] * p[j];
            });
            const double g = !same ? 0.0 : integrate([&](double x) {
                legendre_values(x, d, p.data());
                legendre_derivatives(x, d, dp.data());
                return dp[j] * p[i];
            });
            EXPECT_NEAR(mass[a][b], m, 1e-14) << a << " " << b;
            EXPECT_NEAR(deriv[a][b], g, 1e-13) << a << " " << b;
        }
    }
    EXPECT_EQ(mass[7][7], 0.7 / 3.0);  // interval 1, k = 1: h / (2k + 1), one rounding
}

TEST(TimeDgOperators, JumpCouplesEachIntervalToItsUpwindNeighbour) {
    const std::uint64_t d = 2;
    for (bool periodic : {false, true}) {
        const auto J = dense(legendre_jump_matrix<std::int64_t>(d, 3, periodic));
        for (std::uint64_t c = 0; c < 3; ++c) {
            for (std::uint64_t i = 0; i <= d; ++i) {
                const double v = i % 2 ? -1.0 : 1.0;
                for (std::uint64_t e = 0; e < 3; ++e) {
                    for (std::uint64_t j = 0; j <= d; ++j) {
                        double expected = 0.0;
                        if (e == c) expected = v * (j % 2 ? -1.0 : 1.0);
                        if ((c > 0 && e == c - 1) || (periodic && c == 0 && e == 2)) expected = -v;
                        EXPECT_EQ(J[c * 3 + i][e * 3 + j], expected) << periodic << c << i << e << j;
                    }
                }
            }
        }
    }
    // One periodic interval: u(0^+) v(0^+) - u(T^-) v(0^+), zeros dropped.
    const auto one = dense(legendre_jump_matrix<std::int32_t>(1, 1, true));
    EXPECT_EQ(one, (std::vector<std::vector<double>>{{0.0, -2.0}, {0.0, 2.0}}));
}

// Each matrix is built within the shape it exports (so a caller picking the
// index width by the shape agrees with the builder), and shapes saturate
// rather than wrap.
TEST(TimeDgOperators, MatricesStayWithinTheirShapes) {
    for (std::uint64_t d : {0, 1, 2, 3, 8}) {
        for (std::uint64_t n_t : {1, 2, 7}) {
            const auto check = [](const CsrShape& shape, const auto& m) {
                EXPECT_EQ(m.nrows, shape.nrows);
                EXPECT_EQ(m.ncols, shape.ncols);
                EXPECT_LE(m.data.size(), shape.max_nnz);
            };
            check(legendre_mass_shape(d, n_t), legendre_mass_matrix<std::int32_t>(d, n_t, 0.1));
            check(legendre_derivative_shape(d, n_t), legendre_derivative_matrix<std::int32_t>(d, n_t));
            for (bool periodic : {false, true}) {
                check(legendre_jump_shape(d, n_t), legendre_jump_matrix<std::int64_t>(d, n_t, periodic));
            }
        }
    }
    constexpr std::uint64_t u64_max = UINT64_MAX;
    // (d + 1)^2 wraps: the bound stays saturated instead of shrinking by the / 4.
    EXPECT_EQ(legendre_derivative_shape(std::uint64_t{1} << 40, 1).max_nnz, u64_max);
    EXPECT_EQ(legendre_mass_shape(u64_max, 1).nrows, u64_max);  // degree + 1 wraps
    const CsrShape rows = legendre_basis_matrix_shape(3, 5, 7);
    EXPECT_EQ(rows.nrows, 7u);
    EXPECT_EQ(rows.ncols, 20u);
    EXPECT_EQ(rows.max_nnz, 28u);

    test::expect_fatal([] { legendre_mass_matrix<std::int64_t>(2, 0, 0.1); }, messages::kMeshNoIntervals);
    test::expect_fatal([] { legendre_jump_matrix<std::int64_t>(2, 0, true); }, messages::kMeshNoIntervals);
    test::expect_fatal([] { legendre_derivative_matrix<std::int32_t>(std::uint64_t{1} << 20, 1u << 12); },
                       messages::kCapacityOverflow);
    test::expect_fatal([] { legendre_derivative_matrix<std::int64_t>(std::uint64_t{1} << 40, 1); },
                       messages::kCapacityOverflow);
}

}  // namespace
}  // namespace tavik
