#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "operators/dg_marching.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using complex = std::complex<double>;
using test::expect_fatal;

// A factor pair of size n with random entries and dominant diagonals, kept
// as dense matrices for the reference and as the CSR rows the loop reads.
template <class S>
struct Pair {
    std::size_t n;
    std::vector<S> lower, upper;  // dense n x n, by rows
    std::vector<std::int64_t> Lp, Up;
    std::vector<std::int32_t> Li, Ui, in_perm, out_perm;
    std::vector<S> Lx, Ux, lower_inverse, upper_inverse;

    Pair(std::size_t size, std::mt19937_64& rng) : n(size), lower(n * n), upper(n * n), Lp{0}, Up{0} {
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        auto draw = [&] {
            if constexpr (std::is_same_v<S, double>) {
                return u(rng);
            } else {
                return S(u(rng), u(rng));
            }
        };
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j <= i; ++j) lower[i * n + j] = j == i ? S(3.0) + draw() : draw();
            for (std::size_t j = i; j < n; ++j) upper[i * n + j] = j == i ? S(4.0) + draw() : draw();
            for (std::size_t j = 0; j < n; ++j) {  // columns increasing: the diagonal last in Lo, first in Up
                if (j <= i && (j == i || (i + j) % 3 != 0)) Li.push_back(j), Lx.push_back(lower[i * n + j]);
                if (j < i && (i + j) % 3 == 0) lower[i * n + j] = S(0.0);
                if (j >= i && (j == i || (i + j) % 4 != 1)) Ui.push_back(j), Ux.push_back(upper[i * n + j]);
                if (j > i && (i + j) % 4 == 1) upper[i * n + j] = S(0.0);
            }
            Lp.push_back(static_cast<std::int64_t>(Li.size()));
            Up.push_back(static_cast<std::int64_t>(Ui.size()));
            lower_inverse.push_back(S(1.0) / lower[i * n + i]);
            upper_inverse.push_back(S(1.0) / upper[i * n + i]);
            in_perm.push_back(static_cast<std::int32_t>((3 * i + 1) % n));
            out_perm.push_back(static_cast<std::int32_t>(n - 1 - i));
        }
    }

    TriangularFactors<S> factors() const {
        return {Lp, Li, Lx, Up, Ui, Ux, lower_inverse, upper_inverse, in_perm, out_perm};
    }

    // B = P_out^T Lo Up P_in^T as the loop applies it: solution[i] =
    // z[out_perm[i]] with Lo Up z = P rhs, (P rhs)[in_perm[i]] = rhs[i]. So
    // B y: z[out_perm[i]] = y[i]; w = Lo Up z; (B y)[i] = w[in_perm[i]].
    std::vector<S> dense() const {
        std::vector<S> B(n * n);
        for (std::size_t c = 0; c < n; ++c) {
            std::vector<S> z(n), v(n), w(n);
            z[static_cast<std::size_t>(out_perm[c])] = S(1.0);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) v[i] += upper[i * n + j] * z[j];
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) w[i] += lower[i * n + j] * v[j];
            for (std::size_t i = 0; i < n; ++i) B[i * n + c] = w[static_cast<std::size_t>(in_perm[i])];
        }
        return B;
    }
};

// Solves B x = b (n x n, by rows) for m right-hand sides (n, m) by Gaussian
// elimination with partial pivoting.
template <class S>
std::vector<S> direct_solve(std::vector<S> B, std::vector<S> b, std::size_t n, std::size_t m) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::abs(B[r * n + c]) > std::abs(B[pivot * n + c])) pivot = r;
        for (std::size_t j = 0; j < n; ++j) std::swap(B[c * n + j], B[pivot * n + j]);
        for (std::size_t k = 0; k < m; ++k) std::swap(b[c * m + k], b[pivot * m + k]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const S f = B[r * n + c] / B[c * n + c];
            for (std::size_t j = c; j < n; ++j) B[r * n + j] -= f * B[c * n + j];
            for (std::size_t k = 0; k < m; ++k) b[r * m + k] -= f * b[c * m + k];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        for (std::size_t k = 0; k < m; ++k) {
            S s = b[c * m + k];
            for (std::size_t j = c + 1; j < n; ++j) s -= B[c * n + j] * b[j * m + k];
            b[c * m + k] = s / B[c * n + c];
        }
    }
    return b;
}

constexpr std::size_t n = 7, m = 3, count = 5;

struct System {
    std::mt19937_64 rng{20};
    // M: tridiagonal with a corner entry, h = 0.1 scaled.
    std::vector<std::int64_t> Mp{0};
    std::vector<std::int32_t> Mi;
    std::vector<double> Mx, M_dense = std::vector<double>(n * n);
    Pair<double> real{n, rng};
    Pair<complex> cplx{n, rng};
    std::vector<double> start = std::vector<double>(n * m), load_r = std::vector<double>(count * n * m);
    std::vector<complex> load_c = std::vector<complex>(count * n * m);

    System() {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const double v = i == j ? 0.4 : (i + 1 == j || j + 1 == i ? 0.1 : (i == 0 && j == n - 1 ? 0.05 : 0.0));
                if (v == 0.0) continue;
                Mi.push_back(static_cast<std::int32_t>(j));
                Mx.push_back(v);
                M_dense[i * n + j] = v;
            }
            Mp.push_back(static_cast<std::int64_t>(Mi.size()));
        }
        std::normal_distribution<double> g;
        for (double& x : start) x = g(rng);
        for (double& x : load_r) x = g(rng);
        for (complex& x : load_c) x = {g(rng), g(rng)};
    }
};

TEST(DgMarching, MatchesDirectSolvesThreadsOrNot) {
    const System sys;
    const MarchMatrix M(sys.Mp, sys.Mi, sys.Mx);
    const auto real_factors = sys.real.factors();
    const auto complex_factors = sys.cplx.factors();
    const double coupling_r = 0.75;
    const complex coupling_c{0.5, -0.25}, ends_c{1.5, 0.5};
    const double ends_r = -0.5;

    // The reference: every interval's solves done directly.
    std::vector<double> e = sys.start;
    std::vector<double> expected_r = sys.load_r;
    std::vector<complex> expected_c = sys.load_c;
    for (std::size_t t = 0; t < count; ++t) {
        std::vector<double> Mu(n * m), rhs_r(n * m);
        std::vector<complex> rhs_c(n * m);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t k = 0; k < m; ++k) Mu[i * m + k] += sys.M_dense[i * n + j] * e[j * m + k];
        for (std::size_t i = 0; i < n * m; ++i) {
            rhs_r[i] = expected_r[t * n * m + i] + coupling_r * Mu[i];
            rhs_c[i] = expected_c[t * n * m + i] + coupling_c * Mu[i];
        }
        const auto y_r = direct_solve(sys.real.dense(), rhs_r, n, m);
        const auto y_c = direct_solve(sys.cplx.dense(), rhs_c, n, m);
        for (std::size_t i = 0; i < n * m; ++i) {
            expected_r[t * n * m + i] = y_r[i];
            expected_c[t * n * m + i] = y_c[i];
            e[i] = ends_r * y_r[i] + (ends_c * y_c[i]).real();
        }
    }

    std::vector<std::vector<double>> ends;
    for (const bool concurrent : {false, true}) {
        SCOPED_TRACE(concurrent);
        std::vector<double> end = sys.start, work_r = sys.load_r;
        std::vector<complex> work_c = sys.load_c;
        const MarchShift<double> r[] = {{&real_factors, work_r, coupling_r, ends_r}};
        const MarchShift<complex> c[] = {{&complex_factors, work_c, coupling_c, ends_c}};
        march_decoupled(M, r, c, end, n, m, count, concurrent);
        for (std::size_t i = 0; i < n * m; ++i) EXPECT_NEAR(end[i], e[i], 1e-12 * (1.0 + std::abs(e[i]))) << i;
        for (std::size_t i = 0; i < count * n * m; ++i) {
            EXPECT_NEAR(work_r[i], expected_r[i], 1e-12 * (1.0 + std::abs(expected_r[i]))) << i;
            EXPECT_NEAR(std::abs(work_c[i] - expected_c[i]), 0.0, 1e-12 * (1.0 + std::abs(expected_c[i]))) << i;
        }
        ends.push_back(end);
    }
    // The end value is summed in one order whether the shifts ran on threads or not.
    for (std::size_t i = 0; i < n * m; ++i) EXPECT_TRUE(test::same(ends[0][i], ends[1][i])) << i;
}

TEST(DgMarching, IndicesAreCopiedAndCheckedWhenMade) {
    System sys;
    std::vector<double> end = sys.start, work = sys.load_r;
    const MarchShift<double> none[] = {{nullptr, work, 1.0, 1.0}};
    const MarchMatrix M(sys.Mp, sys.Mi, sys.Mx);
    const auto factors = sys.real.factors();
    const MarchShift<double> one[] = {{&factors, work, 1.0, 1.0}};
    march_decoupled(M, one, {}, end, n, m, count, false);
    const std::vector<double> first = end;

    // Overwriting the arrays passed in moves no access: both objects kept copies.
    for (auto* v : {&sys.Mi, &sys.real.Li, &sys.real.Ui, &sys.real.in_perm}) v->assign(v->size(), 1 << 30);
    end = sys.start, work = sys.load_r;
    march_decoupled(M, one, {}, end, n, m, count, true);
    for (std::size_t i = 0; i < n * m; ++i) EXPECT_TRUE(test::same(end[i], first[i])) << i;

    const System fresh;
    Pair<double> bad = fresh.real;
    bad.out_perm[2] = bad.out_perm[3];
    expect_fatal([&] { bad.factors(); }, messages::kFactorNotPermutation);
    bad = fresh.real;
    bad.Li[0] = 1;  // row 0's only entry is its diagonal
    expect_fatal([&] { bad.factors(); }, messages::kFactorNotTriangular);
    bad = fresh.real;
    bad.Ux.pop_back();
    expect_fatal([&] { bad.factors(); }, messages::kFactorSizes);
    auto column = fresh.Mi;
    column.back() = static_cast<std::int32_t>(n);
    expect_fatal([&] { (void)MarchMatrix(fresh.Mp, column, fresh.Mx); }, messages::kMarchColumn);

    expect_fatal([&] { march_decoupled(M, none, {}, end, n, m, count, false); }, messages::kFactorOtherSize);
    expect_fatal([&] { march_decoupled(M, one, {}, end, n, m, count + 1, false); }, messages::kMarchWorkShape);
    expect_fatal([&] { march_decoupled(M, one, {}, end, n - 1, m, count, false); }, messages::kMarchRows);
    expect_fatal([&] { march_decoupled(M, {}, {}, end, n, m, count, false); }, messages::kMarchNoShifts);
}

}  // namespace
}  // namespace tavik
