#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <format>
#include <string>
#include <utility>
#include <vector>

#include "formulas/gauss_legendre.hpp"
#include "bases/lagrange_basis.hpp"
#include "bases/lagrange_matrices_exact.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using test::expect_fatal;

template <class Index>
std::vector<double> times(const CsrArrays<Index>& m, const std::vector<double>& x) {
    std::vector<double> y(m.nrows, 0.0);
    for (std::uint64_t r = 0; r < m.nrows; ++r) {
        for (auto p = m.indptr[r]; p < m.indptr[r + 1]; ++p) y[r] += m.data[p] * x[m.indices[p]];
    }
    return y;
}

template <class Index>
void expect_canonical(const CsrArrays<Index>& m) {
    ASSERT_EQ(m.indptr.size(), m.nrows + 1);
    EXPECT_EQ(m.indptr.front(), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(m.indptr.back()), m.indices.size());
    ASSERT_EQ(m.indices.size(), m.data.size());
    for (std::uint64_t r = 0; r < m.nrows; ++r) {
        for (auto p = m.indptr[r]; p < m.indptr[r + 1]; ++p) {
            EXPECT_LT(static_cast<std::uint64_t>(m.indices[p]), m.ncols);
            EXPECT_NE(m.data[p], 0.0);
            if (p > m.indptr[r]) {
                EXPECT_LT(m.indices[p - 1], m.indices[p]);
            }
        }
    }
}

TEST(GaussLegendre, IntegratesMonomialsUpToDegree2nMinus1) {
    for (std::uint64_t n : {1, 2, 3, 4, 7, 13, 40}) {
        const GaussLegendreRule rule = gauss_legendre(n);
        for (std::uint64_t i = 0; i < n; ++i) {
            EXPECT_EQ(rule.nodes[i], -rule.nodes[n - 1 - i]) << n;  // symmetric to the bit
            EXPECT_EQ(rule.weights[i], rule.weights[n - 1 - i]) << n;
            if (i > 0) {
                EXPECT_LT(rule.nodes[i - 1], rule.nodes[i]);
            }
        }
        for (std::uint64_t p = 0; p <= 2 * n - 1; ++p) {
            double s = 0.0;
            for (std::uint64_t i = 0; i < n; ++i) s += rule.weights[i] * std::pow(rule.nodes[i], static_cast<double>(p));
            EXPECT_NEAR(s, p % 2 ? 0.0 : 2.0 / static_cast<double>(p + 1), 4e-15) << n << " " << p;
        }
    }
    EXPECT_EQ(gauss_legendre(1).nodes, std::vector<double>{0.0});
    EXPECT_EQ(gauss_legendre(1).weights, std::vector<double>{2.0});
    EXPECT_EQ(gauss_legendre(2).nodes[1], static_cast<double>(1.0L / std::sqrt(3.0L)));  // rounded once
    for (std::uint64_t n : {std::uint64_t{0}, max_gauss_legendre_points + 1}) {
        expect_fatal([n] { gauss_legendre(n); },
                     messages::filled(messages::kGaussLegendrePoints, max_gauss_legendre_points));
    }
}

TEST(ExactProlongation, SameMeshIsTheIdentityAndCoincidentNodesAreSingleOnes) {
    for (bool periodic : {false, true}) {
        for (std::uint64_t d = 1; d <= max_exact_prolongation_degree; ++d) {
            const auto m = exact_lagrange_prolongation<std::int64_t>(d, 1000, 1000, periodic);
            ASSERT_EQ(m.data.size(), m.nrows);
            for (std::uint64_t r = 0; r < m.nrows; ++r) {
                EXPECT_EQ(m.indices[r], static_cast<std::int64_t>(r));
                EXPECT_EQ(m.data[r], 1.0);
            }
        }
    }
    // 20 000 -> 100 000, degree 3, periodic: fine node w is a coarse node
    // exactly when 5 divides w (60 000 of 300 000 rows), coarse node w / 5.
    const auto m = exact_lagrange_prolongation<std::int32_t>(3, 20000, 100000, true);
    expect_canonical(m);
    std::uint64_t singles = 0;
    for (std::uint64_t w = 0; w < m.nrows; ++w) {
        const auto count = m.indptr[w + 1] - m.indptr[w];
        if (w % 5 == 0) {
            ASSERT_EQ(count, 1);
            EXPECT_EQ(m.indices[m.indptr[w]], static_cast<std::int32_t>(w / 5));
            EXPECT_EQ(m.data[m.indptr[w]], 1.0);
            ++singles;
        } else {
            EXPECT_EQ(count, 4);
        }
    }
    EXPECT_EQ(singles, 60000u);
}

TEST(ExactProlongation, ReproducesPolynomialsOfTheDegreeOnAnyPairOfMeshes) {
    for (std::uint64_t d = 1; d <= max_exact_prolongation_degree; ++d) {
        for (auto [n_c, n_f] : {std::pair{1, 2}, std::pair{3, 7}, std::pair{7, 3}, std::pair{5, 5}, std::pair{4, 12}}) {
            const auto m = exact_lagrange_prolongation<std::int64_t>(d, n_c, n_f, false);
            expect_canonical(m);
            // p(t) = (t - 0.3)^d sampled at the exact node positions.
            const auto p = [d](double t) { return std::pow(t - 0.3, static_cast<double>(d)); };
            std::vector<double> coarse(n_c * d + 1);
            for (std::uint64_t c = 0; c < coarse.size(); ++c) coarse[c] = p(static_cast<double>(c) / static_cast<double>(n_c * d));
            const std::vector<double> fine = times(m, coarse);
            for (std::uint64_t w = 0; w < fine.size(); ++w) {
                EXPECT_NEAR(fine[w], p(static_cast<double>(w) / static_cast<double>(n_f * d)), 1e-12) << d << " " << w;
            }
        }
    }
}

TEST(ExactProlongation, PeriodicColumnsWrapAndASingleIntervalAddsItsEnds) {
    // Coarse degree 2 on 2 periodic intervals (nodes 0 .. 3), fine 3
    // intervals: the last fine rows lie in coarse interval 1, whose node 2
    // is column 0, stored first.
    const auto m = exact_lagrange_prolongation<std::int64_t>(2, 2, 3, true);
    expect_canonical(m);
    EXPECT_EQ(m.nrows, 6u);
    EXPECT_EQ(m.ncols, 4u);
    // Row 5 at coarse node position 10/3: local y = 4/3 in interval 1.
    const std::vector<std::int64_t> cols5(m.indices.begin() + m.indptr[5], m.indices.begin() + m.indptr[6]);
    EXPECT_EQ(cols5, (std::vector<std::int64_t>{0, 2, 3}));
    // One periodic coarse interval: every row sums to 1 and has d columns.
    for (std::uint64_t d = 1; d <= max_exact_prolongation_degree; ++d) {
        const auto one = exact_lagrange_prolongation<std::int64_t>(d, 1, 3, true);
        expect_canonical(one);
        const std::vector<double> sums = times(one, std::vector<double>(d, 1.0));
        for (double s : sums) EXPECT_NEAR(s, 1.0, 1e-13) << d;
    }
}

TEST(ExactProlongation, Refusals) {
    expect_fatal([] { exact_lagrange_prolongation<std::int64_t>(0, 1, 1, false); },
                 messages::kLagrangeMatrixDegreeZero);
    constexpr std::uint64_t above = max_exact_prolongation_degree + 1;
    expect_fatal([] { exact_lagrange_prolongation<std::int64_t>(above, 1, 1, false); },
                 messages::degree_limit(messages::kLagrangeDegreeLimit, above, max_exact_prolongation_degree));
    expect_fatal([] { exact_lagrange_prolongation<std::int64_t>(2, 0, 1, false); },
                 messages::kProlongationCoarse);
    expect_fatal([] { exact_lagrange_prolongation<std::int64_t>(2, 1, 0, false); },
                 messages::kProlongationFine);
    // 32-bit indices cannot hold 2^31 rows; 64-bit ones can count 2^62
    // rows, but no array holds their entries.
    expect_fatal([] { exact_lagrange_prolongation<std::int32_t>(2, 1, std::uint64_t{1} << 30, false); },
                 messages::kCapacityOverflow);
    expect_fatal([] { exact_lagrange_prolongation<std::int64_t>(1, 1, std::uint64_t{1} << 61, true); },
                 messages::kCapacityOverflow);
}

TEST(LagrangeToLegendreProjection, MatchesTheTablesAndInvertsTheVandermondeMatrix) {
    // Degrees 1 and 2: the doubles nearest the exact fractions, as tavik's tables.
    EXPECT_EQ(lagrange_to_legendre_local(1), (std::vector<double>{0.5, 0.5, -0.5, 0.5}));
    EXPECT_EQ(lagrange_to_legendre_local(2),
              (std::vector<double>{1.0 / 6, 2.0 / 3, 1.0 / 6, -0.5, 0.0, 0.5, 1.0 / 3, -2.0 / 3, 1.0 / 3}));
    EXPECT_EQ(lagrange_to_legendre_local(3),
              (std::vector<double>{1.0 / 8, 3.0 / 8, 3.0 / 8, 1.0 / 8, -11.0 / 40, -27.0 / 40, 27.0 / 40, 11.0 / 40,
                                   3.0 / 8, -3.0 / 8, -3.0 / 8, 3.0 / 8, -9.0 / 40, 27.0 / 40, -27.0 / 40, 9.0 / 40}));
    // Degree 6 has two zeros that the mirror symmetry does not give: P_3 is
    // orthogonal to the Lagrange polynomials of nodes 1 and 5.
    EXPECT_EQ(lagrange_to_legendre_local(6)[3 * 7 + 1], 0.0);
    EXPECT_EQ(lagrange_to_legendre_local(6)[3 * 7 + 5], 0.0);
    constexpr std::uint64_t above = max_exact_lagrange_to_legendre_degree + 1;
    expect_fatal([] { lagrange_to_legendre_local(above); },
                 messages::degree_limit(messages::kLagrangeToLegendreDegreeLimit, above, max_exact_lagrange_to_legendre_degree));
    expect_fatal([] { lagrange_to_legendre_csr<std::int64_t>(above, 1, false); },
                 messages::degree_limit(messages::kLagrangeToLegendreDegreeLimit, above, max_exact_lagrange_to_legendre_degree));
    // In doubles, V itself is rounded at the rounded nodes, which L V
    // amplifies with the size of L's entries (about 2^d): a meaningful
    // check up to degree 30; the accepted degrees above are compared with
    // exact rationals by the Python tests.
    for (std::uint64_t d = 1; d <= 30; ++d) {
        const std::vector<double> L = lagrange_to_legendre_local(d);
        const std::vector<double> nodes = equidistant_points_on_interval(-1.0, 1.0, d);
        const std::uint64_t n = d + 1;
        for (std::uint64_t k = 0; k < n; ++k) {
            for (std::uint64_t col = 0; col < n; ++col) {
                double s = 0.0, size = 0.0;
                for (std::uint64_t j = 0; j < n; ++j) {
                    s += L[k * n + j] * legendre_value(col, nodes[j]);
                    size += std::fabs(L[k * n + j] * legendre_value(col, nodes[j]));
                }
                EXPECT_NEAR(s, k == col ? 1.0 : 0.0, 1e-13 * size) << d;
            }
        }
    }
}

TEST(LagrangeToLegendreProjection, GlobalMatrixLayoutAndPeriodicWrap) {
    const std::vector<double> L = lagrange_to_legendre_local(2);
    const auto m = lagrange_to_legendre_csr<std::int32_t>(2, 3, true);
    expect_canonical(m);
    EXPECT_EQ(m.nrows, 9u);
    EXPECT_EQ(m.ncols, 6u);
    // Row 2 * 3 + 0 (interval 2, P_0): nodes 4, 5 and the wrapped 0.
    EXPECT_EQ(std::vector<std::int32_t>(m.indices.begin() + m.indptr[6], m.indices.begin() + m.indptr[7]),
              (std::vector<std::int32_t>{0, 4, 5}));
    EXPECT_EQ(std::vector<double>(m.data.begin() + m.indptr[6], m.data.begin() + m.indptr[7]),
              (std::vector<double>{L[2], L[0], L[1]}));
    // Row 7 (interval 2, P_1) has no entry for the middle node: L(1, 1) = 0.
    EXPECT_EQ(m.indptr[8] - m.indptr[7], 2);
    // One periodic interval: both ends are node 0; odd degrees cancel to an
    // exact zero (not stored), even degrees double.
    const auto one = lagrange_to_legendre_csr<std::int64_t>(3, 1, true);
    expect_canonical(one);
    const std::vector<double> L3 = lagrange_to_legendre_local(3);
    EXPECT_EQ(one.indices[0], 0);
    EXPECT_EQ(one.data[0], 2 * L3[0]);
    EXPECT_EQ(one.indptr[2] - one.indptr[1], 2);  // P_1: columns 1, 2 only
    expect_fatal([] { lagrange_to_legendre_csr<std::int64_t>(2, 0, false); }, messages::kMeshNoIntervals);
}

// Each matrix is built within the shape it exports, so a caller that picks
// the index width or refuses a size by the shape decides as the builder does.
TEST(LagrangeMatrixShapes, BoundWhatIsBuiltAndSaturate) {
    for (bool periodic : {false, true}) {
        for (std::uint64_t d : {1, 2, 5, 14}) {
            for (auto [coarse, fine] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {3, 7}, {12, 5}}) {
                const CsrShape shape = exact_prolongation_shape(d, coarse, fine, periodic);
                const auto P = exact_lagrange_prolongation<std::int32_t>(d, coarse, fine, periodic);
                EXPECT_EQ(P.nrows, shape.nrows);
                EXPECT_EQ(P.ncols, shape.ncols);
                EXPECT_EQ(shape.nrows, lagrange_dofs(d, fine, periodic));
                EXPECT_LE(P.data.size(), shape.max_nnz);
            }
            const CsrShape shape = lagrange_to_legendre_shape(d, 7, periodic);
            const auto M = lagrange_to_legendre_csr<std::int64_t>(d, 7, periodic);
            EXPECT_EQ(M.nrows, shape.nrows);
            EXPECT_EQ(M.ncols, shape.ncols);
            EXPECT_LE(M.data.size(), shape.max_nnz);
        }
    }
    constexpr std::uint64_t u64_max = UINT64_MAX;
    EXPECT_EQ(lagrange_dofs(2, u64_max / 2 + 1, false), u64_max);  // n_t degree wraps
    EXPECT_EQ(lagrange_dofs(1, u64_max, false), u64_max);           // + 1 wraps
    EXPECT_EQ(lagrange_dofs(1, u64_max, true), u64_max);
    const CsrShape huge = exact_prolongation_shape(14, 1, u64_max / 8, false);
    EXPECT_EQ(huge.max_nnz, u64_max);
    EXPECT_FALSE(huge.fits<std::int64_t>());
    // The largest 32-bit shape and one past it.
    EXPECT_TRUE((CsrShape{INT32_MAX, INT32_MAX, INT32_MAX}.fits<std::int32_t>()));
    EXPECT_FALSE((CsrShape{INT32_MAX, INT32_MAX, std::uint64_t{INT32_MAX} + 1}.fits<std::int32_t>()));
}

TEST(LagrangeMatrixShapes, UnlimitedMatricesStopAtTheMeasuredDegree) {
    using namespace lagrange_accuracy_internals;
    const std::string refusal = messages::filled(messages::kMeasuredDegreeLimit, max_measured_degree);
    expect_fatal([] { lagrange_to_legendre_projection(max_measured_degree + 1); }, refusal);
    expect_fatal([] { vandermonde_lagrange_to_legendre(max_measured_degree + 1); }, refusal);
    // A degree whose (d + 1)^2 entries wrap 64 bits is refused before any allocation.
    expect_fatal([] { lagrange_to_legendre_projection(std::uint64_t{1} << 32); }, refusal);
}

}  // namespace
}  // namespace tavik
