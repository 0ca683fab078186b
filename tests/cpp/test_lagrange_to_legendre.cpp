#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <format>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bases/lagrange_basis.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using namespace test;

CsrMatrix transformation(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    return LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transormation_matrix_to_legendre();
}

TEST(LagrangeToLegendre, LinearTwoIntervals) {
    const CsrMatrix m = transformation(1, 2, false);
    EXPECT_EQ(m.nrows(), 4u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(stored_entries(m), (std::vector<Entry>{{0, 0, 0.5}, {0, 1, 0.5}, {1, 1, 0.5}, {1, 2, 0.5},
                                                     {2, 0, -0.5}, {2, 1, 0.5}, {3, 1, -0.5}, {3, 2, 0.5}}));
}

TEST(LagrangeToLegendre, PeriodicSingleIntervalAddsBothEndsAndStoresTheZeroSum) {
    const CsrMatrix m = transformation(1, 1, true);
    EXPECT_EQ(m.nrows(), 2u);
    EXPECT_EQ(m.ncols(), 1u);
    EXPECT_EQ(m.row_offsets(), (U{0, 1, 2}));
    EXPECT_EQ(m.col_indices(), (U{0, 0}));
    EXPECT_EQ(m.values(), (D{1.0, 0.0}));
    // (d + 1) * d entries for the periodic single interval.
    EXPECT_EQ(transformation(3, 1, true).nnz(), 12u);
}

TEST(LagrangeToLegendre, QuadraticSingleIntervalIsTheTableIncludingItsStoredZero) {
    const CsrMatrix m = transformation(2, 1, false);
    EXPECT_EQ(m.row_offsets(), (U{0, 3, 6, 9}));
    EXPECT_EQ(m.col_indices(), (U{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(m.values(), (D{0.16666666666666666, 0.6666666666666666, 0.16666666666666666, -0.5, 0.0, 0.5,
                             0.3333333333333333, -0.6666666666666666, 0.3333333333333333}));
}

TEST(LagrangeToLegendre, QuadraticPeriodicLastIntervalWrapsAndEveryValueIsStored) {
    const CsrMatrix m = transformation(2, 3, true);
    EXPECT_EQ(m.nrows(), 9u);
    EXPECT_EQ(m.ncols(), 6u);
    EXPECT_EQ(m.nnz(), 27u);
    std::vector<Entry> row2;
    for (const Entry& e : stored_entries(m)) {
        if (std::get<0>(e) == 2) row2.push_back(e);
    }
    EXPECT_EQ(row2, (std::vector<Entry>{{2, 0, 0.16666666666666666}, {2, 4, 0.16666666666666666},
                                        {2, 5, 0.6666666666666666}}));
    // Block 1 stores L(1, 1) = 0 on every interval.
    for (std::uint64_t i = 0; i < 3; ++i) {
        const std::uint64_t r = 3 + i;
        bool found_zero = false;
        for (std::uint64_t p = m.row_offsets()[r]; p < m.row_offsets()[r + 1]; ++p) {
            if (m.col_indices()[p] == 2 * i + 1) found_zero = m.values()[p] == 0.0;
        }
        EXPECT_TRUE(found_zero) << i;
    }
}

TEST(LagrangeToLegendre, NoIntervalsGivesAnEmptyMatrixWithOneColumn) {
    for (std::uint64_t d : {1, 2, 4}) {
        const CsrMatrix m = transformation(d, 0, false);
        EXPECT_EQ(m.nrows(), 0u);
        EXPECT_EQ(m.ncols(), 1u);
        EXPECT_EQ(m.nnz(), 0u);
    }
}

TEST(LagrangeToLegendre, Messages) {
    const char* degree_zero = messages::kTransformationDegreeZero;
    for (std::uint64_t n_t : {0, 1, 5}) expect_fatal([n_t] { transformation(0, n_t, false); }, degree_zero);
    const LagrangeBasis constant = LagrangeBasis::create(0, 3, 1.0, false);
    // The degree is refused before the Legendre index is looked at.
    expect_fatal([&] { constant.to_legendre_basis_matrix_for_pol_degree(5); }, degree_zero);
    for (std::uint64_t d : {1, 2, 3}) {
        const LagrangeBasis b = LagrangeBasis::create(d, 2, 1.0, false);
        expect_fatal([&] { b.to_legendre_basis_matrix_for_pol_degree(d + 1); }, messages::kRowOutOfBounds);
    }
}

TEST(LagrangeToLegendre, DegreesBeyondTheAccurateLimitAreANumericalBreakdown) {
    constexpr std::uint64_t limit = max_lagrange_to_legendre_degree;
    EXPECT_EQ(transformation(limit, 1, false).nnz(), (limit + 1) * (limit + 1));
    // Above the limit the inverse would be plainly wrong: reported as the
    // breakdown of the inversion, before the degree-sized dense matrices are
    // described and before the block index is looked at. The request check
    // says so before any basis exists, for degrees whose basis could not.
    for (std::uint64_t d : {limit + 1, std::uint64_t{100}}) {
        expect_fatal([d] { transformation(d, 1, false); }, messages::kSingularVandermonde);
    }
    for (std::uint64_t d : {limit + 1, std::uint64_t{1} << 31, std::numeric_limits<std::uint64_t>::max()}) {
        expect_fatal([d] { check_transformation_request(d, 3); }, messages::kSingularVandermonde);
    }
    const LagrangeBasis b = LagrangeBasis::create(limit + 1, 1, 1.0, true);
    expect_fatal([&] { b.to_legendre_basis_matrix_for_pol_degree(limit + 2); }, messages::kSingularVandermonde);
    expect_fatal([] { check_transformation_request(0, 0); }, messages::kTransformationDegreeZero);
}

TEST(LagrangeToLegendre, WithoutIntervalsEveryDegreeGivesTheEmptyMatrix) {
    for (std::uint64_t d : {std::uint64_t{1}, max_lagrange_to_legendre_degree + 1, std::uint64_t{1} << 31,
                            std::numeric_limits<std::uint64_t>::max()}) {
        const LagrangeBasis b = LagrangeBasis::create(d, 0, 1.0, false);
        const CsrMatrix m = b.get_transormation_matrix_to_legendre();
        EXPECT_EQ(m.nrows(), 0u);
        EXPECT_EQ(m.ncols(), 1u);
        EXPECT_EQ(m.nnz(), 0u);
        EXPECT_EQ(b.to_legendre_basis_matrix_for_pol_degree(0).nrows(), 0u);
        check_transformation_request(d, 0);
    }
    const LagrangeBasis b = LagrangeBasis::create(40, 0, 1.0, false);
    expect_fatal([&] { b.to_legendre_basis_matrix_for_pol_degree(41); }, messages::kRowOutOfBounds);
}

TEST(LagrangeToLegendre, BlocksAreTheRowsOfTheStackedMatrix) {
    for (std::uint64_t d : {1, 2, 4}) {
        const LagrangeBasis b = LagrangeBasis::create(d, 3, 1.0, true);
        const std::vector<Entry> all = stored_entries(b.get_transormation_matrix_to_legendre());
        std::vector<Entry> stacked;
        for (std::uint64_t k = 0; k <= d; ++k) {
            const CsrMatrix block = b.to_legendre_basis_matrix_for_pol_degree(k);
            EXPECT_EQ(block.nrows(), 3u);
            EXPECT_EQ(block.ncols(), 3 * d);
            for (const auto& [r, c, v] : stored_entries(block)) stacked.emplace_back(r + 3 * k, c, v);
        }
        EXPECT_EQ(stacked, all);
    }
}

TEST(LagrangeToLegendre, CubicLocalMatrixMatchesTheExactFractions) {
    const CsrMatrix m = transformation(3, 1, false);
    ASSERT_EQ(m.nnz(), 16u);
    const double exact[16] = {1.0 / 8,   3.0 / 8,   3.0 / 8,   1.0 / 8,   -11.0 / 40, -27.0 / 40, 27.0 / 40, 11.0 / 40,
                              3.0 / 8,   -3.0 / 8,  -3.0 / 8,  3.0 / 8,   -9.0 / 40,  27.0 / 40,  -27.0 / 40, 9.0 / 40};
    for (std::uint64_t p = 0; p < 16; ++p) {
        EXPECT_EQ(m.col_indices()[p], p % 4);
        EXPECT_NEAR(m.values()[p], exact[p], 1e-14) << p;
    }
}

TEST(LagrangeToLegendre, LocalMatrixInvertsTheVandermondeMatrix) {
    for (std::uint64_t d = 1; d <= 12; ++d) {
        // One interval, not periodic: column j of the matrix is local node j.
        const CsrMatrix m = transformation(d, 1, false);
        const D nodes = equidistant_points_on_interval(-1.0, 1.0, d);
        const std::uint64_t n = d + 1;
        ASSERT_EQ(m.nnz(), n * n);
        // (L V)(k, m) = sum_j L(k, j) P_m(xi_j).
        double worst = 0.0;
        for (std::uint64_t k = 0; k < n; ++k) {
            for (std::uint64_t col = 0; col < n; ++col) {
                double s = 0.0;
                for (std::uint64_t j = 0; j < n; ++j) s += m.values()[k * n + j] * legendre_value(col, nodes[j]);
                worst = std::fmax(worst, std::fabs(s - (k == col ? 1.0 : 0.0)));
            }
        }
        EXPECT_LT(worst, 1e-9) << "degree " << d;
    }
}

TEST(LagrangeToLegendre, LegendreCoefficientsReproduceTheNodalValuesOnEveryInterval) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (std::uint64_t d = 1; d <= 5; ++d) {
        for (bool periodic : {false, true}) {
            const std::uint64_t n_t = 4;
            const LagrangeBasis b = LagrangeBasis::create(d, n_t, 1.0, periodic);
            const CsrMatrix m = b.get_transormation_matrix_to_legendre();
            ASSERT_EQ(m.nrows(), (d + 1) * n_t);
            ASSERT_EQ(m.nnz(), (d + 1) * (d + 1) * n_t);
            D u(b.n_dofs());
            for (double& x : u) x = value(rng);
            // Coefficient of P_k on interval i sits at i + n_t * k.
            const D c = multiply(m, u);
            const D nodes = equidistant_points_on_interval(-1.0, 1.0, d);
            for (std::uint64_t i = 0; i < n_t; ++i) {
                const U dofs = b.get_dofs_for_interval(i);
                for (std::uint64_t j = 0; j <= d; ++j) {
                    double s = 0.0;
                    for (std::uint64_t k = 0; k <= d; ++k) s += c[i + n_t * k] * legendre_value(k, nodes[j]);
                    EXPECT_NEAR(s, u[dofs[j]], 1e-12) << d << " " << periodic << " " << i << " " << j;
                }
            }
        }
    }
}

}  // namespace
}  // namespace tavik
