#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bases/lagrange_on_nodes.hpp"
#include "messages.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using test::expect_fatal;

// Graded, steps no powers of two, starting away from 0.
const std::vector<double> kNodes = {0.3, 0.4, 1.1, 1.15, 2.45, 2.65, 7.3};

double cubic(double t) { return ((0.5 * t - 1.25) * t + 2.0) * t - 0.75; }

std::vector<double> rows_times(const CsrArrays<std::int64_t>& m, const std::vector<double>& x) {
    std::vector<double> y(m.nrows, 0.0);
    for (std::uint64_t r = 0; r < m.nrows; ++r) {
        for (auto p = m.indptr[r]; p < m.indptr[r + 1]; ++p) y[r] += m.data[p] * x[m.indices[p]];
    }
    return y;
}

TEST(LagrangeOnNodes, RefusesInOrder) {
    const std::vector<double> points = lagrange_points_on_nodes(2, kNodes, false);
    const std::vector<double> targets = {0.5};
    const auto build = [&](std::uint64_t d, std::span<const double> nodes, std::span<const double> p) {
        return [=] { (void)lagrange_interpolation_to_points<std::int64_t>(d, nodes, p, targets, false); };
    };
    expect_fatal(build(0, kNodes, points), messages::kLagrangeMatrixDegreeZero);
    expect_fatal(build(15, kNodes, points), messages::degree_limit(messages::kLagrangeDegreeLimit, 15, 14));
    expect_fatal(build(2, std::span(kNodes).first(1), points), messages::kMeshNoIntervals);
    expect_fatal(build(2, kNodes, std::span(points).first(points.size() - 1)), messages::kNodalPointCount);
    expect_fatal([] { (void)lagrange_points_on_nodes(0, kNodes, false); }, messages::kLagrangeMatrixDegreeZero);
}

TEST(LagrangeOnNodes, ReproducesACubicAtPointsInAnyOrder) {
    const std::vector<double> points = lagrange_points_on_nodes(3, kNodes, false);
    ASSERT_EQ(points.size(), 6u * 3 + 1);
    std::vector<double> values(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) values[i] = cubic(points[i]);

    std::vector<double> targets(kNodes.begin(), kNodes.end());
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> within(kNodes.front(), kNodes.back());
    for (int i = 0; i < 400; ++i) targets.push_back(within(random));
    std::sort(targets.begin(), targets.end());
    std::vector<double> shuffled = targets;
    std::shuffle(shuffled.begin(), shuffled.end(), random);

    const auto sorted_rows = lagrange_interpolation_to_points<std::int64_t>(3, kNodes, points, targets, false);
    const auto shuffled_rows = lagrange_interpolation_to_points<std::int64_t>(3, kNodes, points, shuffled, false);
    const std::vector<double> got = rows_times(sorted_rows, values);
    const std::vector<double> got_shuffled = rows_times(shuffled_rows, values);
    for (std::size_t w = 0; w < targets.size(); ++w) {
        EXPECT_NEAR(got[w], cubic(targets[w]), 1e-13 * 50.0) << targets[w];
        const auto at = std::find(shuffled.begin(), shuffled.end(), targets[w]) - shuffled.begin();
        EXPECT_EQ(got[w], got_shuffled[static_cast<std::size_t>(at)]);
    }
    // A node gives the one entry 1.0 of its point, the last node included.
    for (std::size_t c = 0; c < kNodes.size(); ++c) {
        const auto row = static_cast<std::uint64_t>(std::find(targets.begin(), targets.end(), kNodes[c]) - targets.begin());
        ASSERT_EQ(sorted_rows.indptr[row + 1] - sorted_rows.indptr[row], 1);
        EXPECT_EQ(sorted_rows.indices[sorted_rows.indptr[row]], static_cast<std::int64_t>(3 * c));
        EXPECT_EQ(sorted_rows.data[sorted_rows.indptr[row]], 1.0);
    }
}

TEST(LagrangeOnNodes, StaysInsideItsArraysForAnyPoint) {
    // Outside the mesh, NaN, infinities: no access outside the arrays and no
    // column beyond n_dofs; a periodic single interval folds its ends into 0.
    const std::vector<double> targets = {-1e300, test::nan, 7.3, test::inf, -test::inf, 0.0, 1e300, 3.0};
    for (const bool periodic : {false, true}) {
        for (const std::vector<double>& nodes : {kNodes, std::vector<double>{0.0, 7.3}}) {
            const std::vector<double> points = lagrange_points_on_nodes(4, nodes, periodic);
            const auto m = lagrange_interpolation_to_points<std::int32_t>(4, nodes, points, targets, periodic);
            ASSERT_EQ(m.nrows, targets.size());
            for (const auto column : m.indices) EXPECT_LT(static_cast<std::uint64_t>(column), points.size());
        }
    }
    const std::vector<double> single = {0.0, 7.3};
    const std::vector<double> points = lagrange_points_on_nodes(3, single, true);
    const std::vector<double> ones(points.size(), 1.0);
    const std::vector<double> mid = {1.0, 2.9, 6.5};
    const auto m = lagrange_interpolation_to_points<std::int64_t>(3, single, points, mid, true);
    for (const double v : rows_times(m, ones)) EXPECT_NEAR(v, 1.0, 1e-15);
}

}  // namespace
}  // namespace tavik
