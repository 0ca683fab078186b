#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "fatal_error.hpp"
#include "bases/legendre_basis.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "formulas/uniform_mesh.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using namespace test;
using messages::kMatrixTooSmall;
using messages::kNoIntervals;

// The coefficient matrix of a basis with n_t intervals and this degree, as
// the bindings build it.
ColumnMajorView view(const D& data, std::uint64_t n_t, std::uint64_t degree) {
    return ColumnMajorView::for_basis(data, n_t, degree);
}

// ---------------------------------------------------------------- mesh

TEST(UniformMesh, SaturatingFloor) {
    EXPECT_EQ(saturating_floor_to_u64(0.0), 0u);
    EXPECT_EQ(saturating_floor_to_u64(-0.0), 0u);
    EXPECT_EQ(saturating_floor_to_u64(0.999), 0u);
    EXPECT_EQ(saturating_floor_to_u64(1.0), 1u);
    EXPECT_EQ(saturating_floor_to_u64(2.9999999999999996), 2u);
    EXPECT_EQ(saturating_floor_to_u64(-0.5), 0u);
    EXPECT_EQ(saturating_floor_to_u64(-1e300), 0u);
    EXPECT_EQ(saturating_floor_to_u64(-inf), 0u);
    EXPECT_EQ(saturating_floor_to_u64(nan), 0u);
    EXPECT_EQ(saturating_floor_to_u64(4503599627370495.5), 4503599627370495u);
    // The largest double below 2^64 converts exactly; 2^64 and above saturate.
    EXPECT_EQ(saturating_floor_to_u64(18446744073709549568.0), 18446744073709549568u);
    EXPECT_EQ(saturating_floor_to_u64(18446744073709551616.0), u64_max);
    EXPECT_EQ(saturating_floor_to_u64(1e300), u64_max);
    EXPECT_EQ(saturating_floor_to_u64(inf), u64_max);
}

struct LocateCase {
    double T;
    std::uint64_t n_t;
    double t;
    std::uint64_t interval;
    double xi;
};

TEST(UniformMesh, Locate) {
    const LocateCase cases[] = {
        {1.0, 2, 0.375, 0, 0.5},
        {1.0, 2, 0.5, 1, -1.0},  // inner node: t / h is exactly 1
        {1.0, 2, 0.0, 0, -1.0},
        {1.0, 2, -0.0, 0, -1.0},
        {1.0, 2, 1.0, 1, 1.0},   // t = T
        {1.0, 2, 2.0, 1, 1.0},   // beyond T
        {1.0, 2, -1.0, 0, -1.0}, // before 0
        {1.0, 2, inf, 1, 1.0},
        {1.0, 2, -inf, 0, -1.0},
        {1.0, 2, nan, 0, nan},
        {1.0, 4, 0.25, 1, -1.0},
        {1.0, 3, 1.0 / 3.0, 1, -1.0},
        // h = 0.1: 0.3 / 0.1 rounds to just below 3, so 0.3 ends interval 2.
        {1.0, 10, 0.3, 2, 0.9999999999999994},
        {1.0, 10, 0.7, 6, 0.9999999999999967},
        // 0.2 / 0.1 is exactly 2; the computed width b - a is not h.
        {1.0, 10, 0.2, 2, -0.9999999999999994},
        {1.0, 3, 2.0 / 3.0, 2, -0.9999999999999997},
        // T = 0: h = 0.
        {0.0, 3, 0.5, 2, 1.0},
        {0.0, 3, -0.5, 0, -1.0},
        {0.0, 3, 0.0, 0, nan},
        {0.0, 3, inf, 2, 1.0},
        // One interval.
        {2.0, 1, 1.5, 0, 0.5},
        {2.0, 1, 7.0, 0, 1.0},
        {2.0, 1, -7.0, 0, -1.0},
    };
    for (const auto& c : cases) {
        const double h = mesh_interval_length(c.T, c.n_t);
        const MeshLocation loc = locate_in_mesh(h, c.n_t, c.t);
        EXPECT_EQ(loc.interval, c.interval) << "T " << c.T << " n_t " << c.n_t << " t " << c.t;
        EXPECT_TRUE(same(loc.xi, c.xi)) << "T " << c.T << " n_t " << c.n_t << " t " << c.t << ": " << loc.xi;
    }
}

TEST(UniformMesh, IntervalEnds) {
    // h = 0.1: the right end of interval 5 is h + 0.5 = 0.6, where
    // h * 6 would be 0.6000000000000001.
    const double h = mesh_interval_length(1.0, 10);
    EXPECT_EQ(h, 0.1);
    const double a = interval_left_end(h, 5);
    EXPECT_EQ(a, 0.5);
    EXPECT_EQ(interval_right_end(h, a), 0.6);
    EXPECT_EQ(mesh_interval_length(0.3, 3), 0.09999999999999999);
}

// ---------------------------------------------------------------- Legendre values

TEST(LegendreRecurrence, ClosedFormsAndEnds) {
    EXPECT_EQ(legendre_value(0, 0.3), 1.0);
    EXPECT_EQ(legendre_value(1, 0.3), 0.3);
    EXPECT_EQ(legendre_value(2, 0.5), -0.125);
    EXPECT_EQ(legendre_value(3, 0.5), -0.4375);
    EXPECT_EQ(legendre_value(2, 0.0), -0.5);
    EXPECT_EQ(legendre_value(4, 0.0), 0.375);
    for (std::uint64_t k = 0; k <= 60; ++k) {
        EXPECT_EQ(legendre_value(k, 1.0), 1.0) << k;
        EXPECT_EQ(legendre_value(k, -1.0), k % 2 == 0 ? 1.0 : -1.0) << k;
    }
    // P_5(x) = (63x^5 - 70x^3 + 15x) / 8.
    for (double x : {-0.9, -0.3, 0.1, 0.77}) {
        const double closed = (63 * std::pow(x, 5) - 70 * std::pow(x, 3) + 15 * x) / 8;
        EXPECT_NEAR(legendre_value(5, x), closed, 1e-15);
    }
    EXPECT_EQ(legendre_value(0, nan), 1.0);
    EXPECT_TRUE(std::isnan(legendre_value(1, nan)));
    EXPECT_TRUE(std::isnan(legendre_value(4, nan)));
}

TEST(LegendreRecurrence, OneRunMatchesSeparateRuns) {
    for (double x : {-0.999, -0.4, 0.0, 0.123, 0.9999}) {
        LegendreRecurrence r(x);
        for (std::uint64_t k = 0; k <= 30; ++k) {
            EXPECT_EQ(r.degree(), k);
            EXPECT_EQ(r.value(), legendre_value(k, x));
            r.advance();
        }
    }
}

// ---------------------------------------------------------------- evaluation

TEST(LegendreBasis, WorkedExampleValuesAndDerivatives) {
    const LegendreBasis b(2, 2, 1.0);
    EXPECT_EQ(b.n_basis_functions(), 6u);
    expect_same(b.evaluate_all_basis_functions(0.375), {1, 0, 0.5, 0, -0.125, 0});
    expect_same(b.evaluate_all_basis_function_derivatives(0.375), {0, 0, 4, 0, 6.000000000000008, 0});
    expect_same(b.evaluate_all_basis_functions(0.5), {0, 1, 0, -1, 0, 1});
    expect_same(b.evaluate_all_basis_function_derivatives(0.5), {0, 0, 0, 4, 0, -12});
    for (double t : {0.0, -1.0, -inf}) {
        expect_same(b.evaluate_all_basis_functions(t), {1, 0, -1, 0, 1, 0});
        expect_same(b.evaluate_all_basis_function_derivatives(t), {0, 0, 4, 0, -12, 0});
    }
    for (double t : {1.0, 2.0, inf}) {
        expect_same(b.evaluate_all_basis_functions(t), {0, 1, 0, 1, 0, 1});
        expect_same(b.evaluate_all_basis_function_derivatives(t), {0, 0, 0, 4, 0, 12});
    }
    expect_same(b.evaluate_all_basis_functions(nan), {1, 0, nan, 0, nan, 0});
}

TEST(LegendreBasis, EvaluateAndDerivativeOfAPiecewisePolynomial) {
    const LegendreBasis b(2, 2, 1.0);
    const D c = {1.25, -2.0, 3.5, 4.0, -5.75, 6.0};
    const ColumnMajorView m = view(c, 2, 2);
    EXPECT_EQ(b.evaluate(m, 0.375), ((-0.0 + c[0]) + 0.5 * c[2]) + -0.125 * c[4]);
    const double s = ((-0.0 + 0.0 * c[0]) + 1.0 * c[2]) + 1.500000000000002 * c[4];
    EXPECT_EQ(b.evaluate_derivative(m, 0.375), (s + s) / 0.5);
    EXPECT_EQ(b.evaluate(m, 0.5), c[1] - c[3] + c[5]);
    EXPECT_EQ(b.evaluate(m, 7.0), c[1] + c[3] + c[5]);
    // Mended end slopes: P_2' is 3 at xi = 1 and -3 at xi = -1.
    EXPECT_EQ(b.evaluate_derivative(m, 1.0), (2 * (c[3] + 3 * c[5])) / 0.5);
    EXPECT_EQ(b.evaluate_derivative(m, 0.5), (2 * (c[3] - 3 * c[5])) / 0.5);
    EXPECT_EQ(b.evaluate_derivative(m, -3.0), (2 * (c[2] - 3 * c[4])) / 0.5);
    // The sum starts from -0.0.
    const D zeros = {-0.0, -0.0};
    const LegendreBasis one(1, 1, 1.0);
    EXPECT_TRUE(same(one.evaluate(view(zeros, 1, 1), 0.75), -0.0));
    EXPECT_TRUE(same(one.evaluate_derivative(view(zeros, 1, 1), 0.75), -0.0));
}

TEST(LegendreBasis, RowCountOfTheMatrixIsItsStride) {
    // A matrix with more rows than intervals: coefficient (i, k) is at i + R k.
    const LegendreBasis b(1, 2, 1.0);
    const D c = {1, 2, 100, 3, 4, 200};  // R = 3: column 0 is {1, 2, 100}, column 1 {3, 4, 200}
    EXPECT_EQ(b.evaluate(view(c, 3, 1), 0.375), 1 + 3 * 0.5);
    EXPECT_EQ(b.evaluate(view(c, 3, 1), 0.875), 2 + 4 * 0.5);
    EXPECT_EQ(b.evaluate_derivative(view(c, 3, 1), 0.875), (4.0 + 4.0) / 0.5);
}

TEST(LegendreBasis, DegreeZeroAndOneInterval) {
    const LegendreBasis b(0, 4, 2.0);
    const D c = {10, 11, 12, 13};
    for (double t : {-1.0, 0.0, 0.2, 0.5, 1.2, 1.99, 2.0, 5.0}) {
        const std::uint64_t i = t < 0.5 ? 0 : t < 1.0 ? 1 : t < 1.5 ? 2 : 3;
        EXPECT_EQ(b.evaluate(view(c, 4, 0), t), c[i]) << t;
        EXPECT_EQ(b.evaluate_derivative(view(c, 4, 0), t), 0.0) << t;
        D unit(4, 0.0);
        unit[i] = 1.0;
        expect_same(b.evaluate_all_basis_functions(t), unit);
        expect_same(b.evaluate_all_basis_function_derivatives(t), D(4, 0.0));
    }
    const LegendreBasis single(3, 1, 1.0);
    for (double t : {-5.0, 0.0, 0.3, 1.0, 9.0}) {
        EXPECT_EQ(single.evaluate_all_basis_functions(t).size(), 4u);
        EXPECT_EQ(single.evaluate_all_basis_functions(t)[0], 1.0);
    }
}

TEST(LegendreBasis, ZeroLengthMesh) {
    const LegendreBasis b(2, 3, 0.0);
    expect_same(b.evaluate_all_basis_functions(0.5), {0, 0, 1, 0, 0, 1, 0, 0, 1});
    expect_same(b.evaluate_all_basis_function_derivatives(0.5), {0, 0, nan, 0, 0, inf, 0, 0, inf});
    expect_same(b.evaluate_all_basis_functions(-0.5), {1, 0, 0, -1, 0, 0, 1, 0, 0});
    expect_same(b.evaluate_all_basis_function_derivatives(-0.5), {nan, 0, 0, inf, 0, 0, -inf, 0, 0});
    expect_same(b.evaluate_all_basis_functions(0.0), {1, 0, 0, nan, 0, 0, nan, 0, 0});
    const D c = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(b.evaluate(view(c, 3, 2), 0.5), 3.0 + 6.0 + 9.0);
    EXPECT_EQ(b.evaluate_derivative(view(c, 3, 2), 0.5), inf);
    EXPECT_TRUE(std::isnan(b.evaluate(view(c, 3, 2), 0.0)));
}

// ---------------------------------------------------------------- derivatives

TEST(LegendreDerivatives, EndSlopesAreExact) {
    // T = 2 on one interval makes d/dt equal to d/dxi.
    for (std::uint64_t degree = 0; degree <= 10; ++degree) {
        const LegendreBasis b(degree, 1, 2.0);
        D right, left;
        for (std::uint64_t k = 0; k <= degree; ++k) {
            const double slope = static_cast<double>(k * (k + 1) / 2);
            right.push_back(slope);
            left.push_back(k % 2 == 1 || k == 0 ? slope : -slope);
        }
        expect_same(b.evaluate_all_basis_function_derivatives(2.0), right);
        expect_same(b.evaluate_all_basis_function_derivatives(0.0), left);
        expect_same(b.evaluate_all_basis_function_derivatives(100.0), right);
        expect_same(b.evaluate_all_basis_function_derivatives(-100.0), left);
        for (std::uint64_t k = 0; k <= degree; ++k) {
            D unit(degree + 1, 0.0);
            unit[k] = 1.0;
            EXPECT_EQ(b.evaluate_derivative(view(unit, 1, degree), 2.0), right[k]) << degree << " " << k;
            EXPECT_EQ(b.evaluate_derivative(view(unit, 1, degree), 0.0), left[k]) << degree << " " << k;
        }
    }
}

// P_k'(x) = k (x P_k - P_(k-1)) / (x^2 - 1), in long double.
long double slope_reference(std::uint64_t k, long double x) {
    if (k == 0) return 0;
    long double prev = 1, cur = x;
    for (std::uint64_t j = 1; j < k; ++j) {
        const long double next = ((2 * j + 1) * x * cur - j * prev) / (j + 1);
        prev = cur;
        cur = next;
    }
    if (k == 1) return 1;
    return k * (x * cur - prev) / (x * x - 1);
}

TEST(LegendreDerivatives, AccurateOnBothSidesOfTheEndZone) {
    const LegendreBasis b(10, 1, 2.0);  // d/dt = d/dxi, t = xi + 1
    const double edge = 1.0 / 1024.0;
    for (double gap : {1e-12, 1e-8, 1e-5, edge / 2, edge * 0.999, edge, edge * 1.001, 2 * edge, 0.01, 0.3}) {
        for (double sign : {1.0, -1.0}) {
            const double xi = sign * (1.0 - gap);
            const D d = b.evaluate_all_basis_function_derivatives(xi + 1.0);
            const MeshLocation loc = locate_in_mesh(2.0, 1, xi + 1.0);
            for (std::uint64_t k = 0; k <= 10; ++k) {
                const long double want = slope_reference(k, loc.xi);
                EXPECT_NEAR(d[k], static_cast<double>(want), 1e-9 * (1 + std::fabs(static_cast<double>(want))))
                    << "xi " << loc.xi << " k " << k;
            }
        }
    }
}

TEST(LegendreDerivatives, GuardedQuotientAwayFromTheEnds) {
    const LegendreBasis b(3, 1, 2.0);
    const D d = b.evaluate_all_basis_function_derivatives(1.5);  // xi = 0.5
    EXPECT_EQ(d[2], 1.500000000000002);
    const double p2 = legendre_value(2, 0.5), p3 = legendre_value(3, 0.5);
    EXPECT_EQ(d[3], ((0.5 * p3 - p2) * 3.0) / ((0.5 * 0.5 - 1.0) + 1e-15));
    const D at_nan = b.evaluate_all_basis_function_derivatives(nan);
    EXPECT_EQ(at_nan[0], 0.0);
    EXPECT_EQ(at_nan[1], 1.0);
    EXPECT_TRUE(std::isnan(at_nan[2]));
    EXPECT_TRUE(std::isnan(at_nan[3]));
}

// ---------------------------------------------------------------- refusals

TEST(LegendreBasis, NoIntervals) {
    const D c = {1, 2, 3};
    for (std::uint64_t degree : {std::uint64_t{0}, std::uint64_t{2}, u64_max}) {
        const LegendreBasis b(degree, 0, 1.0);
        expect_fatal([&] { b.evaluate_all_basis_functions(0.5); }, kNoIntervals);
        expect_fatal([&] { b.evaluate_all_basis_function_derivatives(0.5); }, kNoIntervals);
        expect_fatal([&] { b.evaluate(ColumnMajorView(c.data(), 1, 3), 0.5); }, kNoIntervals);
        expect_fatal([&] { b.evaluate_derivative(ColumnMajorView(c.data(), 1, 3), 0.5); }, kNoIntervals);
    }
}

TEST(LegendreBasis, CapacityOverflowBeforeAllocating) {
    struct Size {
        std::uint64_t degree, n_t;
    };
    for (const Size s : {Size{u64_max, 1}, Size{std::uint64_t{1} << 63, 4}, Size{3, std::uint64_t{1} << 62},
                         Size{0, std::uint64_t{1} << 60}, Size{1, std::uint64_t{1} << 59}}) {
        const LegendreBasis b(s.degree, s.n_t, 1.0);
        expect_fatal([&] { b.n_basis_functions(); }, messages::kCapacityOverflow);
        expect_fatal([&] { b.evaluate_all_basis_functions(0.1); }, messages::kCapacityOverflow);
        expect_fatal([&] { b.evaluate_all_basis_function_derivatives(0.1); }, messages::kCapacityOverflow);
    }
    // Describable in bytes but far beyond any memory: an allocation failure.
    // (AddressSanitizer aborts on a failed operator new instead of throwing.)
#if !defined(TAVIK_SANITIZED)
    const LegendreBasis huge(0, (std::uint64_t{1} << 60) - 1, 1.0);
    EXPECT_THROW(huge.evaluate_all_basis_functions(0.1), std::bad_alloc);
#endif
}

TEST(ColumnMajorView, BufferTooSmall) {
    const D five(5, 1.0);
    expect_fatal([&] { ColumnMajorView::for_basis(five, 2, 2); }, kMatrixTooSmall);
    expect_fatal([&] { ColumnMajorView::for_basis(five, 1, u64_max); }, kMatrixTooSmall);  // degree + 1 wraps
    expect_fatal([&] { ColumnMajorView::for_basis(five, 2, std::uint64_t{1} << 63); }, kMatrixTooSmall);
    // No intervals need no coefficients, whatever the degree.
    EXPECT_EQ(ColumnMajorView::for_basis(five, 0, u64_max).rows(), 0u);
    const ColumnMajorView v = ColumnMajorView::for_basis(five, 2, 1);
    EXPECT_EQ(v.rows(), 2u);
    EXPECT_EQ(v.cols(), 2u);
}

TEST(ColumnMajorView, ShapeChecksOfTheEvaluations) {
    const LegendreBasis b(2, 2, 1.0);
    const D c(6, 1.0);
    // One row: fine for interval 0, too few rows for interval 1.
    const ColumnMajorView one_row(c.data(), 1, 3);
    EXPECT_EQ(b.evaluate(one_row, 0.375), 1.0 + 0.5 - 0.125);
    expect_fatal([&] { b.evaluate(one_row, 0.75); }, messages::kRowOutOfBounds);
    expect_fatal([&] { b.evaluate_derivative(one_row, 0.75); }, messages::kRowOutOfBounds);
    expect_fatal([&] { b.evaluate(one_row, inf); }, messages::kRowOutOfBounds);
    // Two columns for degree 2.
    const ColumnMajorView two_cols(c.data(), 2, 2);
    expect_fatal([&] { b.evaluate(two_cols, 0.375); }, messages::kColumnOutOfBounds);
    expect_fatal([&] { b.evaluate_derivative(two_cols, 0.375); }, messages::kColumnOutOfBounds);
}

}  // namespace
}  // namespace tavik
