// Vector-valued field evaluation and basis rows: every component equals the
// single-time evaluation of its own coefficients, bit for bit, on both paths
// and for every lane of a block; preconditions fail with their message.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fatal_error.hpp"
#include "messages.hpp"
#include "bases/legendre_basis.hpp"
#include "kernels/kernels.hpp"
#include "bases/legendre_field.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using D = std::vector<double>;

using test::same;

// Times across and beyond [0, T], every node, and the IEEE specials; a count
// that leaves a partial block of lanes at the end.
D awkward_times(const LegendreBasis& basis, std::size_t count) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-0.2 * basis.T(), 1.2 * basis.T());
    D t;
    for (std::size_t i = 0; i < count; ++i) t.push_back(u(rng));
    const double h = basis.T() / static_cast<double>(basis.n_t());
    for (std::uint64_t c = 0; c <= basis.n_t(); ++c) t.push_back(h * static_cast<double>(c));
    const double inf = std::numeric_limits<double>::infinity();
    for (double x : {std::nan(""), inf, -inf, -0.0, basis.T()}) t.push_back(x);
    return t;
}

// Column j of a C-order (n_t, degree + 1, m) field as tavik's column-major matrix.
D component(const LegendreBasis& basis, const D& field, std::uint64_t m, std::uint64_t j) {
    const std::uint64_t width = basis.degree() + 1;
    D column(basis.n_t() * width);
    for (std::uint64_t c = 0; c < basis.n_t(); ++c)
        for (std::uint64_t k = 0; k < width; ++k) column[c + basis.n_t() * k] = field[(c * width + k) * m + j];
    return column;
}

struct Case {
    std::uint64_t degree, n_t, m;
    std::size_t times;
};

void check_field_bits(Case p);
void check_basis_rows();

class FieldBits : public ::testing::TestWithParam<Case> {};

TEST_P(FieldBits, ValuesEqualSingleTimeEvaluationPerComponent) {
    test::for_each_instruction_set([](const char* isa) {
        SCOPED_TRACE(isa);
        check_field_bits(GetParam());
    });
}

void check_field_bits(const Case p) {
    const LegendreBasis basis(p.degree, p.n_t, 1.5);
    std::mt19937_64 rng(p.degree * 31 + p.m);
    std::normal_distribution<double> normal;
    D field(p.n_t * (p.degree + 1) * p.m);
    for (double& x : field) x = normal(rng);
    const D t = awkward_times(basis, p.times);
    D out(t.size() * p.m);
    evaluate_field_into(test::space_of(basis), field, p.m, t, FieldQuantity::value, NodeSide::right, false, out);
    D derivatives(t.size() * p.m);
    evaluate_field_into(test::space_of(basis), field, p.m, t, FieldQuantity::derivative, NodeSide::right, false, derivatives);
    const std::uint64_t width = p.degree + 1;
    for (std::uint64_t j = 0; j < p.m; ++j) {
        const D column = component(basis, field, p.m, j);
        const ColumnMajorView view(column.data(), p.n_t, width);
        for (std::size_t i = 0; i < t.size(); ++i) {
            const test::Located at = test::locate_by_documented_rule(basis.T(), p.n_t, t[i], false, false);
            if (at.at_node) {
                // xi = -1 exactly: the coefficients with alternating signs.
                double s = -0.0;
                for (std::uint64_t k = 0; k < width; ++k) {
                    const double c = field[(at.interval * width + k) * p.m + j];
                    s = s + (k % 2 == 0 || at.xi == 1.0 ? c : -c);
                }
                ASSERT_TRUE(same(out[i * p.m + j], s)) << "node " << t[i] << " component " << j;
                continue;
            }
            ASSERT_TRUE(same(out[i * p.m + j], basis.evaluate(view, t[i]))) << "time " << t[i] << " component " << j;
            // Near the ends LegendreBasis switches to the same derivative
            // recurrence, so there the bits agree too.
            const double h = basis.T() / static_cast<double>(p.n_t);
            const double xi_distance = std::fabs(std::remainder(t[i], h)) / h * 2;
            if (std::isfinite(t[i]) && xi_distance < 1e-4) {
                ASSERT_TRUE(same(derivatives[i * p.m + j], basis.evaluate_derivative(view, t[i]))) << t[i];
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FieldBits,
                         ::testing::Values(Case{0, 1, 1, 5}, Case{3, 7, 1, 2000}, Case{3, 7, 1, 3}, Case{1, 5, 3, 301},
                                           Case{4, 9, 8, 77}, Case{2, 4, 13, 1000}, Case{20, 3, 9, 100},
                                           Case{3, 64, 63, 5000},
                                           // Coefficients beyond the size from which the times are taken
                                           // interval by interval (random times, several per interval).
                                           Case{2, 1000, 180, 2500}, Case{20, 100, 260, 130}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             const Case& p = info.param;
                             return "degree" + std::to_string(p.degree) + "_nt" + std::to_string(p.n_t) + "_m" +
                                    std::to_string(p.m) + "_times" + std::to_string(p.times);
                         });

TEST(BasisRows, EqualTheFullBasisVectorAtEveryTime) {
    test::for_each_instruction_set([](const char* isa) {
        SCOPED_TRACE(isa);
        check_basis_rows();
    });
}

void check_basis_rows() {
    const LegendreBasis basis(3, 6, 2.0);
    const std::uint64_t width = 4;
    const D t = awkward_times(basis, 300);
    D values(t.size() * width);
    std::vector<std::int32_t> columns(t.size() * width);
    basis_rows_into(test::space_of(basis), t, FieldQuantity::value, NodeSide::right, false, values, columns);
    for (std::size_t i = 0; i < t.size(); ++i) {
        // Node times: NodeRule below.
        if (test::locate_by_documented_rule(basis.T(), basis.n_t(), t[i], false, false).at_node) continue;
        const D full = basis.evaluate_all_basis_functions(t[i]);
        const std::uint64_t c = static_cast<std::uint64_t>(columns[i * width]) / width;
        for (std::uint64_t k = 0; k < width; ++k) {
            ASSERT_EQ(static_cast<std::uint64_t>(columns[i * width + k]), c * width + k);
            ASSERT_TRUE(same(values[i * width + k], full[c + basis.n_t() * k])) << t[i];
        }
    }
}

TEST(BasisRows, LeftSideAndDerivativesAtANode) {
    const LegendreBasis basis(2, 4, 1.0);  // h = 0.25, node 0.5 is exact
    const D t{0.5};
    D values(3);
    std::vector<std::int64_t> columns(3);
    basis_rows_into(test::space_of(basis), t, FieldQuantity::derivative, NodeSide::left, false, values, columns);
    EXPECT_EQ(columns, (std::vector<std::int64_t>{3, 4, 5}));  // interval 1, its right end
    EXPECT_EQ(values, (D{0.0, 8.0, 24.0}));                    // (2 / h) * (0, 1, 3)
    basis_rows_into(test::space_of(basis), t, FieldQuantity::derivative, NodeSide::right, false, values, columns);
    EXPECT_EQ(columns, (std::vector<std::int64_t>{6, 7, 8}));
    EXPECT_EQ(values, (D{0.0, 8.0, -24.0}));
}

// Nodes written as users write them (h m, m T / n_t, (m / n_t) T, each
// also shifted by whole periods), moved by up to 8 ulps either way: every
// instruction set's kernels place every one where the documented rule
// does, on both sides, periodic or not, and node m itself always counts
// (on the meshes the array interface accepts: not where h is subnormal,
// whose nodes are still placed by the rule, through its scalar path).
void check_node_rule(double T, std::uint64_t n_t) {
    const bool accepted_mesh = T / static_cast<double>(n_t) >= 0x1p-960;
    const LegendreBasis basis(2, n_t, T);
    const double h = T / static_cast<double>(n_t);
    const double n = static_cast<double>(n_t);
    D t;
    for (std::uint64_t c = 0; c <= n_t; c += std::max<std::uint64_t>(1, n_t / 40)) {
        const double m = static_cast<double>(c);
        for (const double node : {h * m, m * T / n, m / n * T, h * m + 3 * T, h * m - 2 * T}) {
            for (int k = -8; k <= 8; ++k) {
                double x = node;
                for (int j = 0; j < std::abs(k); ++j) x = std::nextafter(x, k > 0 ? test::inf : -test::inf);
                t.push_back(x);
            }
        }
    }
    for (const bool periodic : {false, true}) {
        for (const bool left : {false, true}) {
            D values(t.size() * 3);
            std::vector<std::int64_t> columns(t.size() * 3);
            basis_rows_into(test::space_of(basis), t, FieldQuantity::value, left ? NodeSide::left : NodeSide::right, periodic, values,
                            columns);
            // One component's values: LegendreBasis's batch kernels (from
            // n_dofs times on) on the same rule, summing the same rows.
            D coefficients(n_t * 3), field(t.size());
            for (std::size_t i = 0; i < coefficients.size(); ++i) coefficients[i] = std::sin(1.0 + static_cast<double>(i));
            evaluate_field_into(test::space_of(basis), coefficients, 1, t, FieldQuantity::value,
                                left ? NodeSide::left : NodeSide::right, periodic, field);
            for (std::size_t i = 0; i < t.size(); ++i) {
                double s = -0.0;
                for (int k = 0; k < 3; ++k) s = s + values[i * 3 + k] * coefficients[columns[i * 3] + k];
                ASSERT_TRUE(same(field[i], s)) << t[i];
            }
            for (std::size_t i = 0; i < t.size(); ++i) {
                SCOPED_TRACE(testing::Message() << "t = " << t[i] << (left ? " left" : " right")
                                                << (periodic ? " periodic" : ""));
                const test::Located at = test::locate_by_documented_rule(T, n_t, t[i], left, periodic);
                // The unshifted recipes are nodes (k = 0 sits at i % 17 == 8).
                if (accepted_mesh && i % 17 == 8 && (periodic || (i / 17) % 5 < 3)) {
                    ASSERT_TRUE(at.at_node);
                }
                ASSERT_EQ(static_cast<std::uint64_t>(columns[i * 3]), at.interval * 3);
                D want{1.0, at.xi, 1.0};
                if (!at.at_node) {
                    double r = t[i];
                    if (periodic && !(r >= 0.0 && r <= T)) {
                        r = std::fmod(r, T);
                        if (r < 0.0) r += T;
                    }
                    const D full = basis.evaluate_all_basis_functions(r);
                    want = {full[at.interval], full[at.interval + n_t], full[at.interval + 2 * n_t]};
                }
                for (int k = 0; k < 3; ++k) ASSERT_TRUE(same(values[i * 3 + k], want[k])) << "degree " << k;
            }
        }
    }
}

TEST(NodeRule, KernelsPlaceTimesNearNodesAsDocumented) {
    test::for_each_instruction_set([](const char* isa) {
        SCOPED_TRACE(isa);
        for (const auto& [T, n_t] : {std::pair{7.3, 12345ul}, {0.1, 10ul}, {1.0, 1000ul}, {1e-6, 3ul}, {1e6, 1000ul},
                                     {2.1729700842471512e-312, 9ul}}) {
            SCOPED_TRACE(testing::Message() << "T = " << T << ", n_t = " << n_t);
            check_node_rule(T, n_t);
        }
    });
}

TEST(NodeRule, PeriodicReductionIsTheCLibrarysExactRemainder) {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<std::uint64_t> bits;
    D x{0.0, -0.0, 7.3, -7.3, 1e300, -1e-300, 5e-324, 0x1p1023, test::inf, -test::inf, test::nan};
    for (int i = 0; i < 20000; ++i) x.push_back(std::bit_cast<double>(bits(rng)));
    for (const double y : {7.3, 0.1, -3.0, 1e-6, 5e-324, 0x1p-1022, 1e300, 0.0, test::inf, test::nan}) {
        for (const double v : x) {
            ASSERT_TRUE(same(exact_remainder(v, y), std::fmod(v, y))) << v << " mod " << y;
        }
    }
}

void expect_fatal(const std::string& message, auto&& call) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(FieldPreconditions, SizesAndMeshAreChecked) {
    const LegendreBasis basis(1, 2, 1.0);
    D field(4 * 3), t(5), out(5 * 3);
    expect_fatal(messages::kFieldCoefficientSize, [&] {
        evaluate_field_into(test::space_of(basis), D(11), 3, t, FieldQuantity::value, NodeSide::right, false, out);
    });
    D short_out(14);
    expect_fatal(messages::kFieldOutputSize, [&] {
        evaluate_field_into(test::space_of(basis), field, 3, t, FieldQuantity::value, NodeSide::right, false, short_out);
    });
    expect_fatal(messages::kFieldNoIntervals, [&] {
        evaluate_field_into(test::space_of(LegendreBasis(1, 0, 1.0)), D{}, 3, t, FieldQuantity::value, NodeSide::right, false, out);
    });
    D values(10);
    std::vector<std::int32_t> narrow(10);
    expect_fatal(messages::kBasisRowsSize, [&] {
        basis_rows_into(test::space_of(basis), t, FieldQuantity::value, NodeSide::right, false, values, std::span(narrow).first(9));
    });
    expect_fatal(messages::kBasisRowsNarrowColumns, [&] {
        basis_rows_into(test::space_of(LegendreBasis(1, std::uint64_t{1} << 31, 1.0)), t, FieldQuantity::value, NodeSide::right, false,
                        values, narrow);
    });
}

}  // namespace
}  // namespace tavik
