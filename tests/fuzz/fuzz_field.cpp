// Fuzz target: vector-valued fields and basis rows (legendre_field.hpp) --
// every instruction set this processor has, both node sides, values and
// derivatives, any component count, degrees on both sides of the width the
// kernels keep on the stack, meshes wide and narrow, batches on the caller
// and on the worker pool; meshes given by their nodes as well as uniform ones.
//
// Properties: a call is refused exactly when its mesh is empty or its sizes
// do not match; otherwise every element has the bits of a plain scalar
// evaluation of the documented formulas, written out here once more: the
// time located by the documented node rule (test::locate_by_documented_rule,
// periodic or not), P_k by the three-term recurrence, P_k' by the
// division-free recurrence, sums over k from -0.0 and (S' + S') / h.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "bases/legendre_basis.hpp"
#include "bases/legendre_field.hpp"
#include "formulas/graded_mesh.hpp"
#include "formulas/uniform_mesh.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

// Bounds what one input may ask for: coefficients, and times times width
// (or components) in the outputs.
constexpr unsigned __int128 kMaxCoefficients = 1 << 14;
constexpr unsigned __int128 kMaxOutput = 1 << 16;

test::Located locate(const LegendreBasis& basis, double t, NodeSide side, bool periodic) {
    return test::locate_by_documented_rule(basis.T(), basis.n_t(), t, side == NodeSide::left, periodic);
}

// P_0(xi) ... P_degree(xi), or their derivatives with respect to xi.
std::vector<double> basis_at(double xi, std::uint64_t degree, FieldQuantity quantity) {
    std::vector<double> p(degree + 1), d(degree + 1);
    p[0] = 1.0;
    d[0] = 0.0;
    if (degree >= 1) {
        p[1] = xi;
        d[1] = 1.0;
    }
    for (std::uint64_t k = 1; k < degree; ++k) {
        const double j = static_cast<double>(k);
        p[k + 1] = (p[k] * (xi * (j + j + 1.0)) - p[k - 1] * j) / (j + 1.0);
        d[k + 1] = d[k - 1] + (j + j + 1.0) * p[k];
    }
    return quantity == FieldQuantity::value ? p : d;
}

double per_time(double s, FieldQuantity quantity, double h) {
    return quantity == FieldQuantity::value ? s : (s + s) / h;
}

// The times of a batch: a few drawn ones, often a node (m h, or m T / n_t,
// or its reduction's stand-in m h + k T) moved by a few ulps either way,
// sometimes repeated past the count from which the batch runs on the
// worker pool.
std::vector<double> batch_times(FuzzedDataProvider& in, const LegendreBasis& basis, std::size_t parallel_from) {
    std::vector<double> times(in.ConsumeIntegralInRange<std::size_t>(0, 24));
    const double h = mesh_interval_length(basis.T(), basis.n_t());
    for (double& t : times) {
        if (in.ConsumeBool()) {
            t = any_double(in);
            continue;
        }
        const double m = static_cast<double>(in.ConsumeIntegralInRange<std::uint64_t>(0, basis.n_t()));
        const double periods = static_cast<double>(in.ConsumeIntegralInRange<int>(-3, 3));
        t = in.ConsumeBool() ? h * m : m * basis.T() / static_cast<double>(basis.n_t());
        if (periods != 0.0) t = t + periods * basis.T();
        for (int k = in.ConsumeIntegralInRange<int>(-6, 6); k != 0; k += k > 0 ? -1 : 1) {
            t = std::nextafter(t, k > 0 ? test::inf : -test::inf);
        }
    }
    if (!times.empty() && in.ConsumeBool()) {
        std::vector<double> many(parallel_from + in.ConsumeIntegralInRange<std::size_t>(0, 600));
        for (std::size_t i = 0; i < many.size(); ++i) many[i] = times[i % times.size()];
        times.swap(many);
    }
    return times;
}

void check_field(const LegendreBasis& basis, std::span<const double> coefficients, std::uint64_t m,
                 std::span<const double> times, FieldQuantity quantity, NodeSide side, bool periodic) {
    const std::uint64_t width = basis.degree() + 1;
    std::vector<double> out(times.size() * m);
    const double h = mesh_interval_length(basis.T(), basis.n_t());
    std::vector<double> want(out.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        const test::Located at = locate(basis, times[i], side, periodic);
        const std::vector<double> b = basis_at(at.xi, basis.degree(), quantity);
        for (std::uint64_t j = 0; j < m; ++j) {
            double s = -0.0;
            for (std::uint64_t k = 0; k < width; ++k) s = s + b[k] * coefficients[(at.interval * width + k) * m + j];
            want[i * m + j] = per_time(s, quantity, h);
        }
    }
    test::for_each_instruction_set([&](const char*) {
        std::fill(out.begin(), out.end(), 12345.0);
        FUZZ_REQUIRE(accepted([&] { evaluate_field_into(test::space_of(basis), coefficients, m, times, quantity, side, periodic, out); }));
        for (std::size_t i = 0; i < out.size(); ++i) FUZZ_REQUIRE(same(out[i], want[i]));
    });
}

template <class Index>
void check_rows(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                bool periodic) {
    const std::uint64_t width = basis.degree() + 1;
    const double h = mesh_interval_length(basis.T(), basis.n_t());
    std::vector<double> values(times.size() * width), want(values.size());
    std::vector<Index> columns(values.size()), want_columns(values.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        const test::Located at = locate(basis, times[i], side, periodic);
        const std::vector<double> b = basis_at(at.xi, basis.degree(), quantity);
        for (std::uint64_t k = 0; k < width; ++k) {
            want[i * width + k] = per_time(b[k], quantity, h);
            want_columns[i * width + k] = static_cast<Index>(at.interval * width + k);
        }
    }
    test::for_each_instruction_set([&](const char*) {
        FUZZ_REQUIRE(accepted([&] { basis_rows_into(test::space_of(basis), times, quantity, side, periodic, values, columns); }));
        FUZZ_REQUIRE(columns == want_columns);
        for (std::size_t i = 0; i < values.size(); ++i) FUZZ_REQUIRE(same(values[i], want[i]));
    });
}

// Rows with columns of type Index: refused exactly when a column would not
// fit (the basis having at least one function).
template <class Index>
void check_row_columns(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                       NodeSide side, bool periodic) {
    const unsigned __int128 dofs = static_cast<unsigned __int128>(basis.n_t()) * (basis.degree() + 1);
    if (dofs <= static_cast<std::uint64_t>(std::numeric_limits<Index>::max())) {
        check_rows<Index>(basis, times, quantity, side, periodic);
        return;
    }
    std::vector<double> values(times.size() * (basis.degree() + 1));
    std::vector<Index> columns(values.size());
    FUZZ_REQUIRE(!accepted([&] { basis_rows_into(test::space_of(basis), times, quantity, side, periodic, values, columns); }));
}

// A mesh of nodes: strictly increasing finite nodes from drawn steps (one
// step a thousand or a million times another, or crowded within a few ulps),
// or, at times, any doubles at all. On the increasing ones every row and
// field element has the bits of the documented rule written out
// (test::locate_on_nodes_by_documented_rule) and the recurrences above,
// derivatives dividing by the interval's step; on any others a call is
// accepted or refused, never out of bounds (the sanitizers watch), and
// every column names a basis function of the space.
void fuzz_graded(FuzzedDataProvider& in) {
    const std::uint64_t n = in.ConsumeIntegralInRange<std::uint64_t>(1, 40);
    const bool periodic = in.ConsumeBool();
    const bool any_nodes = in.ConsumeIntegralInRange<int>(0, 5) == 0;
    std::vector<double> x{periodic ? 0.0 : in.ConsumeFloatingPointInRange<double>(-4.0, 4.0)};
    for (std::uint64_t c = 0; c < n; ++c) {
        if (any_nodes) {
            x.push_back(any_double(in));
            continue;
        }
        double step = in.ConsumeFloatingPointInRange<double>(0.01, 1.0);
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: step *= 1e-3; break;
            case 1: step *= 1e6; break;
            case 2: step = std::fabs(x.back()) * 0x1p-40 + 0x1p-1000; break;
            default: break;
        }
        x.push_back(x.back() + step);
    }
    bool increasing = true;
    for (std::size_t j = 0; j + 1 < x.size(); ++j) increasing = increasing && std::isfinite(x[j + 1]) && x[j] < x[j + 1];
    std::vector<double> t(in.ConsumeIntegralInRange<std::size_t>(0, 40));
    for (double& y : t) {
        if (in.ConsumeBool()) {
            y = any_double(in);
            continue;
        }
        y = x[in.ConsumeIntegralInRange<std::size_t>(0, n)];
        if (periodic) y = y + static_cast<double>(in.ConsumeIntegralInRange<int>(-3, 3)) * x.back();
        for (int k = in.ConsumeIntegralInRange<int>(-6, 6); k != 0; k += k > 0 ? -1 : 1) {
            y = std::nextafter(y, k > 0 ? test::inf : -test::inf);
        }
    }
    const std::uint64_t degree = in.ConsumeIntegralInRange<std::uint64_t>(0, 20);
    const std::uint64_t m = in.ConsumeIntegralInRange<std::uint64_t>(1, 5);
    const auto quantity = in.ConsumeBool() ? FieldQuantity::derivative : FieldQuantity::value;
    const auto side = in.ConsumeBool() ? NodeSide::left : NodeSide::right;
    const std::uint64_t width = degree + 1;
    std::vector<double> coefficients(n * width * m);
    for (double& c : coefficients) c = any_double(in);
    const GradedMesh mesh(x);
    const FieldSpace space{degree, n, 0.0, &mesh};

    std::vector<double> want(t.size() * width), want_field(t.size() * m);
    std::vector<std::int64_t> want_columns(want.size());
    for (std::size_t i = 0; increasing && i < t.size(); ++i) {
        const test::LocatedOnNodes at = test::locate_on_nodes_by_documented_rule(x, t[i], side == NodeSide::left, periodic);
        const std::vector<double> b = basis_at(at.xi, degree, quantity);
        for (std::uint64_t k = 0; k < width; ++k) {
            want[i * width + k] = per_time(b[k], quantity, at.step);
            want_columns[i * width + k] = static_cast<std::int64_t>(at.interval * width + k);
        }
        for (std::uint64_t j = 0; j < m; ++j) {
            double s = -0.0;
            for (std::uint64_t k = 0; k < width; ++k) s = s + b[k] * coefficients[(at.interval * width + k) * m + j];
            want_field[i * m + j] = per_time(s, quantity, at.step);
        }
    }
    test::for_each_instruction_set([&](const char*) {
        std::vector<double> values(want.size()), field(want_field.size());
        std::vector<std::int64_t> columns(want.size());
        FUZZ_REQUIRE(accepted([&] { basis_rows_into(space, t, quantity, side, periodic, values, columns); }));
        FUZZ_REQUIRE(accepted([&] { evaluate_field_into(space, coefficients, m, t, quantity, side, periodic, field); }));
        for (const std::int64_t column : columns) FUZZ_REQUIRE(column >= 0 && static_cast<std::uint64_t>(column) < n * width);
        if (!increasing) return;
        FUZZ_REQUIRE(columns == want_columns);
        for (std::size_t i = 0; i < values.size(); ++i) FUZZ_REQUIRE(same(values[i], want[i]));
        for (std::size_t i = 0; i < field.size(); ++i) FUZZ_REQUIRE(same(field[i], want_field[i]));
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        fuzz_graded(in);
        return 0;
    }
    // Degrees around 16, the widest block kept on the stack, as often as
    // small ones; sometimes a count at which size arithmetic overflows.
    const std::uint64_t degree = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(13, 40) : any_count(in, 12);
    const std::uint64_t n_t = any_count(in, 40);
    const double T = any_double(in);
    const std::uint64_t m = any_count(in, 12);
    const auto quantity = in.ConsumeBool() ? FieldQuantity::derivative : FieldQuantity::value;
    const auto side = in.ConsumeBool() ? NodeSide::left : NodeSide::right;
    const bool periodic = in.ConsumeBool();
    const LegendreBasis basis(degree, n_t, T);
    const unsigned __int128 width = static_cast<unsigned __int128>(degree) + 1;
    const unsigned __int128 needed = static_cast<unsigned __int128>(n_t) * width * m;
    const bool small_rows = width * std::max<std::uint64_t>(m, 1) <= kMaxOutput;
    const std::vector<double> times =
        batch_times(in, basis, small_rows ? field_parallel_threshold(degree, m) : std::size_t{2});

    // The field: coefficients of the needed length (or one off it, or any
    // small length when the needed one is out of reach).
    std::vector<double> coefficients;
    if (needed <= kMaxCoefficients) {
        coefficients.resize(static_cast<std::size_t>(needed));
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) coefficients.resize(coefficients.size() + 1);
    } else {
        coefficients.resize(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    }
    for (double& c : coefficients) c = any_double(in);
    // Refused: an empty mesh, more basis functions than 64 bits count, sizes
    // that do not match.
    const bool dofs_fit = n_t >= 1 && static_cast<unsigned __int128>(n_t) * width <= UINT64_MAX;
    if (dofs_fit && coefficients.size() == needed) {
        if (times.size() * width * std::max<std::uint64_t>(m, 1) <= kMaxOutput) {
            check_field(basis, coefficients, m, times, quantity, side, periodic);
        }
    } else {
        const unsigned __int128 out_size = static_cast<unsigned __int128>(times.size()) * m;
        std::vector<double> out(out_size <= kMaxOutput ? static_cast<std::size_t>(out_size) : 0);
        FUZZ_REQUIRE(!accepted([&] { evaluate_field_into(test::space_of(basis), coefficients, m, times, quantity, side, periodic, out); }));
    }

    // Basis rows need no coefficients: meshes of any width, 64-bit columns
    // always and 32-bit ones, refused where the columns do not fit.
    if (times.size() * width > kMaxOutput) return 0;
    if (!dofs_fit) {
        std::vector<double> values(static_cast<std::size_t>(times.size() * width));
        std::vector<std::int64_t> columns(values.size());
        FUZZ_REQUIRE(!accepted([&] { basis_rows_into(test::space_of(basis), times, quantity, side, periodic, values, columns); }));
        return 0;
    }
    check_row_columns<std::int64_t>(basis, times, quantity, side, periodic);
    check_row_columns<std::int32_t>(basis, times, quantity, side, periodic);
    return 0;
}
