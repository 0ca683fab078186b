#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <format>
#include <limits>
#include <random>
#include <vector>

#include "bases/lagrange_basis.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using namespace test;

CsrMatrix prolongation(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine, bool periodic) {
    return LagrangeBasis::create(degree, nt_coarse, 1.0, periodic).get_prolongation_matrix_to(nt_fine);
}

TEST(Prolongation, LinearOneIntervalToTwoStoresNoZeros) {
    const CsrMatrix m = prolongation(1, 1, 2, false);
    EXPECT_EQ(m.nrows(), 3u);
    EXPECT_EQ(m.ncols(), 2u);
    EXPECT_EQ(stored_entries(m), (std::vector<Entry>{{0, 0, 1.0}, {1, 0, 0.5}, {1, 1, 0.5}, {2, 1, 1.0}}));
}

TEST(Prolongation, QuadraticOneIntervalToTwo) {
    const CsrMatrix m = prolongation(2, 1, 2, false);
    EXPECT_EQ(m.nrows(), 5u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(m.row_offsets(), (U{0, 1, 4, 5, 8, 9}));
    const std::vector<Entry> e = stored_entries(m);
    EXPECT_EQ(e[0], (Entry{0, 0, 1.0}));
    EXPECT_EQ(e[4], (Entry{2, 1, 1.0}));
    EXPECT_EQ(e[8], (Entry{4, 2, 1.0}));
    // Row 1 sits at reference coordinate -0.5.
    EXPECT_EQ(e[1], (Entry{1, 0, 0.375}));
    EXPECT_EQ(e[2], (Entry{1, 1, 0.75}));
    EXPECT_EQ(e[3], (Entry{1, 2, -0.125}));
}

TEST(Prolongation, SameMeshGivesTheExactIdentityOnSmallMeshes) {
    for (std::uint64_t d = 1; d <= 4; ++d) {
        for (std::uint64_t n = 1; n <= 64; ++n) {
            for (bool periodic : {false, true}) {
                const CsrMatrix m = prolongation(d, n, n, periodic);
                const std::uint64_t size = periodic ? n * d : n * d + 1;
                U iota(size);
                for (std::uint64_t i = 0; i < size; ++i) iota[i] = i;
                U offsets = iota;
                offsets.push_back(size);
                ASSERT_EQ(m.nrows(), size);
                ASSERT_EQ(m.ncols(), size);
                ASSERT_EQ(m.row_offsets(), offsets) << d << " " << n << " " << periodic;
                ASSERT_EQ(m.col_indices(), iota);
                ASSERT_EQ(m.values(), D(size, 1.0));
            }
        }
    }
}

TEST(Prolongation, NodeMissingTheToleranceTakesTheBarycentricRowBitForBit) {
    // Degree 5 on 39 intervals onto itself: s = 38.400000000000006 puts row
    // 192 at xi = -0.19999999999998863, just outside 1e-14 of node 2.
    const CsrMatrix m = prolongation(5, 39, 39, false);
    const std::uint64_t begin = m.row_offsets()[192];
    const std::uint64_t end = m.row_offsets()[193];
    ASSERT_EQ(end - begin, 6u);
    for (std::uint64_t p = begin; p < end; ++p) {
        const std::uint64_t col = m.col_indices()[p];
        EXPECT_EQ(col, 190 + (p - begin));
        if (col == 192) {
            EXPECT_EQ(m.values()[p], 0.9999999999999906);
        } else {
            EXPECT_NE(m.values()[p], 0.0);
            EXPECT_LT(std::fabs(m.values()[p]), 3e-14);
        }
    }
}

TEST(Prolongation, CoarserFineMeshIsAccepted) {
    const CsrMatrix m = prolongation(1, 3, 2, false);
    EXPECT_EQ(m.ncols(), 4u);
    EXPECT_EQ(stored_entries(m), (std::vector<Entry>{{0, 0, 1.0}, {1, 1, 0.5}, {1, 2, 0.5}, {2, 3, 1.0}}));
}

TEST(Prolongation, PeriodicHasNoRowForTAndWrapsColumns) {
    // Coarse 2 intervals of degree 1 (nodes 0, 0.5), fine 4 intervals (nodes
    // 0, 0.25, 0.5, 0.75): the node at 0.75 mixes coarse node 1 and node 0.
    const CsrMatrix m = prolongation(1, 2, 4, true);
    EXPECT_EQ(m.nrows(), 4u);
    EXPECT_EQ(m.ncols(), 2u);
    EXPECT_EQ(stored_entries(m),
              (std::vector<Entry>{{0, 0, 1.0}, {1, 0, 0.5}, {1, 1, 0.5}, {2, 1, 1.0}, {3, 0, 0.5}, {3, 1, 0.5}}));
}

TEST(Prolongation, PeriodicSingleCoarseIntervalAddsBothEndsIntoColumnZero) {
    const CsrMatrix m = prolongation(1, 1, 7, true);
    EXPECT_EQ(m.nrows(), 7u);
    EXPECT_EQ(m.ncols(), 1u);
    EXPECT_EQ(m.row_offsets(), (U{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(m.col_indices(), U(7, 0));
    for (double v : m.values()) EXPECT_NEAR(v, 1.0, 1e-15);
}

TEST(Prolongation, ChecksDegreeThenCoarseThenFine) {
    const char* degree_message = messages::kProlongationDegree;
    expect_fatal([] { prolongation(0, 0, 0, false); }, degree_message);
    expect_fatal([] { prolongation(0, 3, 2, false); }, degree_message);
    expect_fatal([] { prolongation(2, 0, 0, false); }, messages::kProlongationCoarse);
    expect_fatal([] { prolongation(2, 3, 0, false); }, messages::kProlongationFine);
    expect_fatal([] { prolongation(2, 3, 0, true); }, messages::kProlongationFine);
    // Too high a degree comes last: the interval counts keep their messages.
    constexpr std::uint64_t above = max_prolongation_degree + 1;
    expect_fatal([] { prolongation(above, 0, 4, false); }, messages::kProlongationCoarse);
    expect_fatal([] { prolongation(above, 2, 0, false); }, messages::kProlongationFine);
    const std::string refusal = messages::degree_limit(messages::kLagrangeDegreeLimit, above, max_prolongation_degree);
    expect_fatal([] { prolongation(above, 3, 7, false); }, refusal);
    expect_fatal([] { prolongation(above, 3, 7, true); }, refusal);
    // The request check refuses in the same order without any basis.
    expect_fatal([] { check_prolongation_request(0, 0, 0); }, degree_message);
    expect_fatal([] { check_prolongation_request(above, 0, 1); }, messages::kProlongationCoarse);
    expect_fatal([] { check_prolongation_request(std::numeric_limits<std::uint64_t>::max(), 1, 1); },
                 messages::degree_limit(messages::kLagrangeDegreeLimit, std::numeric_limits<std::uint64_t>::max(), max_prolongation_degree));
    check_prolongation_request(max_prolongation_degree, 1, 1);
    EXPECT_EQ(prolongation(max_prolongation_degree, 3, 7, true).nrows(), 7 * max_prolongation_degree);
}

TEST(Prolongation, RefusesFineMeshesThatCannotBeDescribed) {
    constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
    expect_fatal([] { prolongation(2, 3, u64_max, false); }, messages::kCapacityOverflow);  // degree * nt_fine wraps
    expect_fatal([] { prolongation(1, 3, u64_max, false); }, messages::kCapacityOverflow);  // + 1 wraps
    expect_fatal([] { prolongation(1, 3, u64_max / 4, true); }, messages::kCapacityOverflow);
}

// Value at time t of the coarse function with nodal values u, by the product
// form of the Lagrange polynomials on the coarse interval containing t:
// independent of the barycentric evaluation under test.
double evaluate_coarse(const LagrangeBasis& coarse, const D& u, double t) {
    const std::uint64_t d = coarse.degree();
    const std::uint64_t n = coarse.n_t();
    std::uint64_t i = static_cast<std::uint64_t>(std::floor(t * static_cast<double>(n)));
    if (i >= n) i = n - 1;
    const double h = 1.0 / static_cast<double>(n);
    const U dofs = coarse.get_dofs_for_interval(i);
    double sum = 0.0;
    for (std::uint64_t k = 0; k <= d; ++k) {
        const double tk = h * (static_cast<double>(i) + static_cast<double>(k) / static_cast<double>(d));
        double basis = 1.0;
        for (std::uint64_t m = 0; m <= d; ++m) {
            if (m == k) continue;
            const double tm = h * (static_cast<double>(i) + static_cast<double>(m) / static_cast<double>(d));
            basis *= (t - tm) / (tk - tm);
        }
        sum += basis * u[dofs[k]];
    }
    return sum;
}

TEST(Prolongation, InterpolatesCoarseFunctionsOntoFinerEqualAndCoarserMeshes) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    const std::pair<std::uint64_t, std::uint64_t> meshes[] = {{1, 4}, {3, 7}, {4, 8}, {5, 5}, {7, 3}, {6, 1}, {10, 23}};
    for (std::uint64_t d = 1; d <= 5; ++d) {
        for (const auto& [n_c, n_f] : meshes) {
            for (bool periodic : {false, true}) {
                const LagrangeBasis coarse = LagrangeBasis::create(d, n_c, 1.0, periodic);
                const LagrangeBasis fine = LagrangeBasis::create(d, n_f, 1.0, periodic);
                const CsrMatrix m = coarse.get_prolongation_matrix_to(n_f);
                ASSERT_EQ(m.nrows(), fine.n_dofs());
                ASSERT_EQ(m.ncols(), coarse.n_dofs());
                for (std::uint64_t r = 0; r < m.nrows(); ++r) {
                    EXPECT_LE(m.row_offsets()[r + 1] - m.row_offsets()[r], d + 1);
                }
                D u(coarse.n_dofs());
                for (double& x : u) x = value(rng);
                const D y = multiply(m, u);
                for (std::uint64_t w = 0; w < fine.n_dofs(); ++w) {
                    const double t = static_cast<double>(w) / static_cast<double>(d * n_f);
                    EXPECT_NEAR(y[w], evaluate_coarse(coarse, u, t), 1e-12)
                        << "d " << d << " coarse " << n_c << " fine " << n_f << " periodic " << periodic << " row " << w;
                }
            }
        }
    }
}

TEST(Prolongation, ReproducesPolynomialsOfTheDegree) {
    for (std::uint64_t d = 1; d <= 5; ++d) {
        // p(t) = sum_m (m + 1) * (-0.7)^m * t^m, of exact degree d.
        const auto p = [d](double t) {
            double s = 0.0, power = 1.0;
            for (std::uint64_t m = 0; m <= d; ++m, power *= t) s += static_cast<double>(m + 1) * std::pow(-0.7, m) * power;
            return s;
        };
        const LagrangeBasis coarse = LagrangeBasis::create(d, 3, 1.0, false);
        const LagrangeBasis fine = LagrangeBasis::create(d, 11, 1.0, false);
        D u;
        for (double x : coarse.points()) u.push_back(p(x));
        const D y = multiply(coarse.get_prolongation_matrix_to(11), u);
        for (std::uint64_t w = 0; w < fine.n_dofs(); ++w) EXPECT_NEAR(y[w], p(fine.points()[w]), 1e-12) << d << " " << w;
    }
}

}  // namespace
}  // namespace tavik
