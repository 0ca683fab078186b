// Meshes given by their nodes: every instruction set's kernels place every
// time where the documented rule does (a plain std::upper_bound and the node
// window, support.hpp), at and around every node, on both sides, periodic or
// not; a node array equal to a uniform mesh's own placement gives the uniform
// kernels' bits; the bucket table finds the interval on meshes built to
// defeat it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bases/legendre_field.hpp"
#include "formulas/graded_mesh.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using test::D;
using test::same;

// x_0 = start, steps h * ratio^k (h = 0.1: no step is a power of two).
D geometric_nodes(double start, std::uint64_t n, double ratio) {
    D x{start};
    double step = 0.1;
    for (std::uint64_t k = 0; k < n; ++k, step *= ratio) x.push_back(x.back() + step);
    return x;
}

D moved(double t, int ulps) {
    D out;
    for (int k = -ulps; k <= ulps; ++k) {
        double x = t;
        for (int j = 0; j < std::abs(k); ++j) x = std::nextafter(x, k > 0 ? test::inf : -test::inf);
        out.push_back(x);
    }
    return out;
}

// Every node (and, for a periodic mesh, the node shifted by whole periods)
// moved by up to 8 ulps, random times across and beyond the mesh, and the
// IEEE specials; a count that leaves a partial block of lanes.
D times_around_nodes(const D& x, bool periodic) {
    const double T = x.back(), length = x.back() - x.front();
    D t;
    for (const double node : x) {
        for (const double shift : periodic ? D{0.0, 3 * T, -2 * T} : D{0.0}) {
            for (const double y : moved(node + shift, 8)) t.push_back(y);
        }
    }
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(x.front() - 0.2 * length, x.back() + 0.2 * length);
    for (int i = 0; i < 301; ++i) t.push_back(u(rng));
    for (const double y : {test::nan, test::inf, -test::inf, 0.0, -0.0, 1e300, -1e300}) t.push_back(y);
    return t;
}

// Rows of degree 2 (values and derivatives), one- and two-component values
// and two-component derivatives at the times, against the reference
// location and the recurrences written out.
void check_against_reference(const D& x, const D& t, bool left, bool periodic) {
    const GradedMesh mesh(x);
    const std::uint64_t n = x.size() - 1;
    const FieldSpace space{2, n, 0.0, &mesh};
    const NodeSide side = left ? NodeSide::left : NodeSide::right;
    D values(t.size() * 3), slopes(t.size() * 3);
    std::vector<std::int64_t> columns(t.size() * 3), slope_columns(t.size() * 3);
    basis_rows_into(space, t, FieldQuantity::value, side, periodic, values, columns);
    basis_rows_into(space, t, FieldQuantity::derivative, side, periodic, slopes, slope_columns);
    for (std::size_t i = 0; i < t.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "t = " << t[i] << (left ? " left" : " right")
                                        << (periodic ? " periodic" : ""));
        const test::LocatedOnNodes at = test::locate_on_nodes_by_documented_rule(x, t[i], left, periodic);
        ASSERT_EQ(columns[i * 3], static_cast<std::int64_t>(at.interval * 3));
        ASSERT_EQ(slope_columns[i * 3], columns[i * 3]);
        const D want{1.0, at.xi, legendre_value(2, at.xi)};
        const D want_slopes{0.0, (1.0 + 1.0) / at.step, (3.0 * at.xi + 3.0 * at.xi) / at.step};
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(same(values[i * 3 + k], want[k])) << "degree " << k;
            ASSERT_TRUE(same(slopes[i * 3 + k], want_slopes[k])) << "slope of degree " << k;
        }
    }
    // Fields: one component (the one-component sums) and two (the field
    // rows), summed over the rows above in the documented order.
    for (const std::uint64_t m : {1, 2}) {
        D coefficients(n * 3 * m);
        for (std::size_t i = 0; i < coefficients.size(); ++i) coefficients[i] = std::sin(1.0 + static_cast<double>(i));
        for (const auto quantity : {FieldQuantity::value, FieldQuantity::derivative}) {
            D field(t.size() * m);
            evaluate_field_into(space, coefficients, m, t, quantity, side, periodic, field);
            const D& rows = quantity == FieldQuantity::value ? values : slopes;
            for (std::size_t i = 0; i < t.size(); ++i) {
                for (std::uint64_t j = 0; j < m; ++j) {
                    double s = -0.0;
                    if (quantity == FieldQuantity::value) {
                        for (int k = 0; k < 3; ++k) s = s + rows[i * 3 + k] * coefficients[(columns[i * 3] + k) * m + j];
                    } else {
                        // (S' + S') / step from the slopes with respect to xi.
                        const test::LocatedOnNodes at = test::locate_on_nodes_by_documented_rule(x, t[i], left, periodic);
                        const D d{0.0, 1.0, 3.0 * at.xi};
                        for (int k = 0; k < 3; ++k) s = s + d[k] * coefficients[(columns[i * 3] + k) * m + j];
                        s = (s + s) / at.step;
                    }
                    ASSERT_TRUE(same(field[i * m + j], s)) << "t = " << t[i] << ", component " << j;
                }
            }
        }
    }
}

TEST(GradedLocation, AtAndAroundEveryNodeAsDocumented) {
    // Starting below 0 (not periodic), and at 0 (periodic or not).
    const D below = geometric_nodes(-0.3, 9, 1.7);
    const D at_zero = geometric_nodes(0.0, 11, 0.6);
    test::for_each_instruction_set([&](const char* isa) {
        SCOPED_TRACE(isa);
        for (const bool left : {false, true}) {
            check_against_reference(below, times_around_nodes(below, false), left, false);
            for (const bool periodic : {false, true}) {
                check_against_reference(at_zero, times_around_nodes(at_zero, periodic), left, periodic);
            }
        }
    });
}

// The uniform mesh's own nodes h m, where h (c + 1) == h + h c for every c
// (so that both meshes have the same interval ends) and x_n == T: the same
// bits as the uniform mesh, for every quantity, side and period; where
// moreover every step x_(c+1) - x_c is h, derivatives too.
TEST(GradedLocation, UniformPlacementGivesTheUniformBits) {
    for (const auto& [T, n] : {std::pair{7.3, 5ul}, {0.7, 7ul}}) {
        SCOPED_TRACE(testing::Message() << "T = " << T << ", n_t = " << n);
        const double h = T / static_cast<double>(n);
        D x;
        bool steps_are_h = true;
        for (std::uint64_t c = 0; c <= n; ++c) x.push_back(h * static_cast<double>(c));
        for (std::uint64_t c = 0; c < n; ++c) {
            ASSERT_EQ(x[c + 1], h + x[c]);
            steps_are_h = steps_are_h && x[c + 1] - x[c] == h;
        }
        ASSERT_EQ(x[n], T);
        const GradedMesh mesh(x);
        const FieldSpace uniform{3, n, T}, graded{3, n, T, &mesh};
        std::mt19937_64 rng(9);
        std::normal_distribution<double> normal;
        for (const std::uint64_t m : {1, 3}) {
            D coefficients(n * 4 * m);
            for (double& v : coefficients) v = normal(rng);
            for (const bool periodic : {false, true}) {
                const D t = times_around_nodes(x, periodic);
                for (const auto side : {NodeSide::right, NodeSide::left}) {
                    for (const auto quantity : {FieldQuantity::value, FieldQuantity::derivative}) {
                        if (quantity == FieldQuantity::derivative && !steps_are_h) continue;
                        test::for_each_instruction_set([&](const char* isa) {
                            SCOPED_TRACE(isa);
                            D want(t.size() * m), got(t.size() * m);
                            evaluate_field_into(uniform, coefficients, m, t, quantity, side, periodic, want);
                            evaluate_field_into(graded, coefficients, m, t, quantity, side, periodic, got);
                            ASSERT_EQ(test::first_mismatch(got, want), -1) << "m = " << m;
                        });
                    }
                }
            }
        }
    }
}

// The kernels' intervals and xi (rows of degree 1) against the reference,
// at every node +-1 ulp (every 97th of a large mesh) and at random times,
// then all of them again sorted (blocks then mostly reuse the interval of
// the block before).
void check_intervals(const D& x, std::size_t random_times) {
    const GradedMesh mesh(x);
    D t;
    const std::size_t stride = x.size() > 100000 ? 97 : 1;
    for (std::size_t m = 0; m < x.size(); m += stride) {
        for (const double y : moved(x[m], 1)) t.push_back(y);
    }
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(x.front(), x.back());
    for (std::size_t i = 0; i < random_times; ++i) t.push_back(u(rng));
    D sorted = t;
    std::sort(sorted.begin(), sorted.end());
    t.insert(t.end(), sorted.begin(), sorted.end());
    const FieldSpace space{1, x.size() - 1, 0.0, &mesh};
    D values(t.size() * 2);
    std::vector<std::int64_t> columns(t.size() * 2);
    basis_rows_into(space, t, FieldQuantity::value, NodeSide::right, false, values, columns);
    for (std::size_t i = 0; i < t.size(); ++i) {
        const test::LocatedOnNodes at = test::locate_on_nodes_by_documented_rule(x, t[i], false, false);
        ASSERT_EQ(columns[i * 2], static_cast<std::int64_t>(at.interval * 2)) << "t = " << t[i];
        ASSERT_TRUE(same(values[i * 2 + 1], at.xi)) << "t = " << t[i];
    }
}

TEST(GradedLocation, TableSearchOnAdversarialMeshes) {
    // One and two intervals.
    check_intervals({0.1, 7.3}, 1000);
    check_intervals({-7.3, 0.1, 7.3}, 1000);
    // Every inner node crowded into one bucket: the search takes every step.
    D crowded{0.0};
    for (int k = 1; k <= 1000; ++k) crowded.push_back(0.5 + 1e-9 * k);
    crowded.push_back(7.3);
    EXPECT_GE(GradedMesh(crowded).search_steps(), 10);
    check_intervals(crowded, 20000);
    // Steps from 0.1 up by a ratio of 10^6 (and back down).
    D wide = geometric_nodes(0.0, 2000, std::pow(1e6, 1.0 / 1999));
    check_intervals(wide, 20000);
    std::reverse(wide.begin(), wide.end());
    for (double& v : wide) v = -v;
    check_intervals(wide, 20000);
    // 10^6 nodes, steps drawn from [0.1, 1.1).
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> step(0.1, 1.1);
    D many{-3.0};
    for (int k = 0; k < 1000000; ++k) many.push_back(many.back() + step(rng));
    check_intervals(many, 200000);
}

// A graded mesh as adaptive codes make them (1000 intervals, steps growing
// by 1000 in all) needs no more than two search steps after its bucket.
TEST(GradedLocation, GradedMeshesSearchInFewSteps) {
    const GradedMesh mesh(geometric_nodes(0.0, 1000, std::pow(1000.0, 1.0 / 999)));
    EXPECT_LE(mesh.search_steps(), 2);
    EXPECT_LE(mesh.buckets(), std::uint64_t{1} << 16);
}

TEST(GradedLocation, PreconditionsAreChecked) {
    using test::expect_fatal;
    expect_fatal([] { GradedMesh mesh(D{}); }, messages::kGradedMeshTooFewNodes);
    expect_fatal([] { GradedMesh mesh(D{1.0}); }, messages::kGradedMeshTooFewNodes);
    const GradedMesh mesh(D{0.0, 0.1, 0.3});
    D field(3 * 2), t(4), out(4), values(8);
    std::vector<std::int64_t> columns(8);
    expect_fatal(
        [&] { evaluate_field_into({1, 3, 0.3, &mesh}, field, 1, t, FieldQuantity::value, NodeSide::right, false, out); },
        messages::kGradedMeshIntervals);
    expect_fatal(
        [&] {
            basis_rows_into({1, 1, 0.3, &mesh}, t, FieldQuantity::value, NodeSide::right, false, values, columns);
        },
        messages::kGradedMeshIntervals);
}

}  // namespace
}  // namespace tavik
