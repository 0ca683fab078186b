#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "bases/lagrange_basis.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using namespace test;

TEST(EquidistantPoints, FollowsTheFixedOperationOrder) {
    EXPECT_EQ(equidistant_points_on_interval(0.0, 1.0, 3), (D{0.0, 1.0 / 3.0, 2.0 / 3.0, 1.0}));
    EXPECT_EQ(equidistant_points_on_interval(-1.0, 1.0, 4), (D{-1.0, -0.5, 0.0, 0.5, 1.0}));
    // a + ((b - a) * k) / n: on [0.1, 0.7] with n = 10 point 9 is
    // 0.6399999999999999, where (b - a) * (k / n) or (b - a) / n * k give 0.64.
    const D p = equidistant_points_on_interval(0.1, 0.7, 10);
    EXPECT_EQ(p[9], 0.6399999999999999);
    EXPECT_EQ(p[0], 0.1);
    const D single = equidistant_points_on_interval(2.0, 5.0, 0);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_TRUE(std::isnan(single[0]));
    expect_fatal([] { equidistant_points_on_interval(0.0, 1.0, u64_max); }, messages::kCapacityOverflow);
}

TEST(LagrangeBasis, PointsOfSmallMeshes) {
    const LagrangeBasis b = LagrangeBasis::create(2, 2, 1.0, false);
    EXPECT_EQ(b.points(), (D{0.0, 0.25, 0.5, 0.75, 1.0}));
    EXPECT_EQ(b.degree(), 2u);
    EXPECT_EQ(b.n_t(), 2u);
    EXPECT_FALSE(b.periodic());
    EXPECT_EQ(b.n_dofs(), 5u);

    const LagrangeBasis p = LagrangeBasis::create(2, 2, 1.0, true);
    EXPECT_EQ(p.points(), (D{0.0, 0.25, 0.5, 0.75}));
    EXPECT_TRUE(p.periodic());

    EXPECT_EQ(LagrangeBasis::create(3, 1, 1.0, false).points(), (D{0.0, 0.3333333333333333, 0.6666666666666666, 1.0}));
    EXPECT_EQ(LagrangeBasis::create(1, 4, 2.0, false).points(), (D{0.0, 0.5, 1.0, 1.5, 2.0}));
    // Periodic degree 1: the last point is the left end of the last interval.
    EXPECT_EQ(LagrangeBasis::create(1, 3, 3.0, true).points(), (D{0.0, 1.0, 2.0}));
}

TEST(LagrangeBasis, IntervalStartsAreExactAndTheLastPointIsTAsGiven) {
    // h = 1/6: the computed right end h + 5h of the last interval is
    // 0.9999999999999999, but the closing point is T itself.
    const LagrangeBasis b = LagrangeBasis::create(2, 6, 1.0, false);
    const double h = 1.0 / 6.0;
    ASSERT_EQ(b.n_dofs(), 13u);
    for (std::uint64_t i = 0; i < 6; ++i) {
        const double a = h * static_cast<double>(i);
        EXPECT_EQ(b.points()[2 * i], a);
        EXPECT_EQ(b.points()[2 * i + 1], a + ((h + a - a) * 1.0) / 2.0);
    }
    EXPECT_EQ(h + h * 5.0, 0.9999999999999999);
    EXPECT_EQ(b.points()[12], 1.0);
}

TEST(LagrangeBasis, NonPeriodicDegreeZeroOrNoIntervalsGivesOnlyT) {
    for (const auto& [degree, n_t] : {std::pair<std::uint64_t, std::uint64_t>{0, 5}, {0, 0}, {3, 0}, {0, u64_max},
                                      {u64_max, 0}}) {
        const LagrangeBasis b = LagrangeBasis::create(degree, n_t, 2.5, false);
        EXPECT_EQ(b.points(), (D{2.5})) << degree << " " << n_t;
    }
}

TEST(LagrangeBasis, PeriodicGuardsCheckTheDegreeFirst) {
    const char* degree_message = messages::kPeriodicDegree;
    expect_fatal([] { LagrangeBasis::create(0, 3, 1.0, true); }, degree_message);
    expect_fatal([] { LagrangeBasis::create(0, 0, 1.0, true); }, degree_message);
    expect_fatal([] { LagrangeBasis::create(2, 0, 1.0, true); },
                 messages::kPeriodicIntervals);
}

TEST(LagrangeBasis, RefusesNodeCountsThatCannotBeDescribed) {
    expect_fatal([] { LagrangeBasis::create(u64_max, 2, 1.0, false); }, messages::kCapacityOverflow);  // product wraps
    expect_fatal([] { LagrangeBasis::create(1, u64_max, 1.0, false); }, messages::kCapacityOverflow);  // + 1 wraps
    expect_fatal([] { LagrangeBasis::create(1, u64_max, 1.0, true); }, messages::kCapacityOverflow);   // too many doubles
}

TEST(LagrangeBasis, DofsOfAnInterval) {
    const LagrangeBasis b = LagrangeBasis::create(2, 3, 1.0, false);
    EXPECT_EQ(b.get_dofs_for_interval(0), (U{0, 1, 2}));
    EXPECT_EQ(b.get_dofs_for_interval(2), (U{4, 5, 6}));
    const LagrangeBasis p = LagrangeBasis::create(2, 3, 1.0, true);
    EXPECT_EQ(p.get_dofs_for_interval(1), (U{2, 3, 4}));
    EXPECT_EQ(p.get_dofs_for_interval(2), (U{4, 5, 0}));
    EXPECT_EQ(LagrangeBasis::create(2, 1, 1.0, true).get_dofs_for_interval(0), (U{0, 1, 0}));
    EXPECT_EQ(LagrangeBasis::create(1, 1, 1.0, true).get_dofs_for_interval(0), (U{0, 0}));

    EXPECT_THROW(b.get_dofs_for_interval(3), FatalError);
    EXPECT_THROW(LagrangeBasis::create(4, 0, 1.0, false).get_dofs_for_interval(0), FatalError);
}

}  // namespace
}  // namespace tavik
