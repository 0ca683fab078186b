// The dG marcher: a march over step classes equals marching each interval
// on its own and solving directly; the bits depend neither on the pool nor
// on workers that cannot start; every check of a march's arguments, with
// its text.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

#include "operators/dg_marcher.hpp"
#include "parallel/worker_pool.hpp"
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

    std::shared_ptr<const TriangularFactors<S>> factors() const {
        return std::make_shared<const TriangularFactors<S>>(Lp, Li, Lx, Up, Ui, Ux, lower_inverse, upper_inverse,
                                                            in_perm, out_perm);
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

MarchFactors of(const std::shared_ptr<const TriangularFactors<double>>& f) { return {f, nullptr}; }
MarchFactors of(const std::shared_ptr<const TriangularFactors<complex>>& f) { return {nullptr, f}; }

// Two step classes of the same signature (a real shift, then a complex one)
// over one M, and a block of intervals alternating between them.
struct TwoClasses {
    System sys;
    Pair<double> real_b{n, sys.rng};
    Pair<complex> cplx_b{n, sys.rng};
    DGMarcher marcher{MarchMatrix(sys.Mp, sys.Mi, sys.Mx)};
    // Per class: factors, coupling and ends of the two shifts.
    std::vector<MarchFactors> factors[2] = {{of(sys.real.factors()), of(sys.cplx.factors())},
                                            {of(real_b.factors()), of(cplx_b.factors())}};
    std::vector<complex> coupling[2] = {{0.75, {0.5, -0.25}}, {-0.3, {0.1, 0.7}}};
    std::vector<complex> ends[2] = {{-0.5, {1.5, 0.5}}, {0.25, {0.9, -1.1}}};
    std::vector<std::int32_t> classes = {0, 1, 1, 0, 1};

    TwoClasses() {
        marcher.set_class(0, factors[0], coupling[0], ends[0]);
        marcher.set_class(7, factors[1], coupling[1], ends[1]);  // slots need not be dense
        for (auto& c : classes) c = c == 0 ? 0 : 7;
    }

    // Marches the block (or its intervals one call each): the end value, then
    // both works.
    struct Result {
        std::vector<double> end, work_r;
        std::vector<complex> work_c;
    };
    Result march(bool one_by_one, bool threads) const {
        Result r{sys.start, sys.load_r, sys.load_c};
        if (!one_by_one) {
            const MarchWork work[] = {{r.work_r, {}, count, false}, {{}, r.work_c, count, true}};
            marcher.march(classes, work, r.end, m, threads);
            return r;
        }
        for (std::size_t t = 0; t < count; ++t) {
            const MarchWork work[] = {{std::span(r.work_r).subspan(t * n * m, n * m), {}, 1, false},
                                      {{}, std::span(r.work_c).subspan(t * n * m, n * m), 1, true}};
            marcher.march(std::span(classes).subspan(t, 1), work, r.end, m, threads);
        }
        return r;
    }
};

void expect_same(const TwoClasses::Result& a, const TwoClasses::Result& b) {
    for (std::size_t i = 0; i < a.end.size(); ++i) EXPECT_TRUE(test::same(a.end[i], b.end[i])) << i;
    for (std::size_t i = 0; i < a.work_r.size(); ++i) {
        EXPECT_TRUE(test::same(a.work_r[i], b.work_r[i])) << i;
        EXPECT_TRUE(test::same(a.work_c[i].real(), b.work_c[i].real()) &&
                    test::same(a.work_c[i].imag(), b.work_c[i].imag()))
            << i;
    }
}

TEST(DgMarcher, AlternatingClassesMatchDirectSolvesAndIntervalByInterval) {
    const TwoClasses two;
    const Pair<double>* real[] = {&two.sys.real, &two.real_b};
    const Pair<complex>* cplx[] = {&two.sys.cplx, &two.cplx_b};

    // The reference: every interval's solves done directly with its class.
    std::vector<double> e = two.sys.start, expected_r = two.sys.load_r;
    std::vector<complex> expected_c = two.sys.load_c;
    for (std::size_t t = 0; t < count; ++t) {
        const int c = two.classes[t] == 0 ? 0 : 1;
        std::vector<double> Mu(n * m), rhs_r(n * m);
        std::vector<complex> rhs_c(n * m);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t k = 0; k < m; ++k) Mu[i * m + k] += two.sys.M_dense[i * n + j] * e[j * m + k];
        for (std::size_t i = 0; i < n * m; ++i) {
            rhs_r[i] = expected_r[t * n * m + i] + two.coupling[c][0].real() * Mu[i];
            rhs_c[i] = expected_c[t * n * m + i] + two.coupling[c][1] * Mu[i];
        }
        const auto y_r = direct_solve(real[c]->dense(), rhs_r, n, m);
        const auto y_c = direct_solve(cplx[c]->dense(), rhs_c, n, m);
        for (std::size_t i = 0; i < n * m; ++i) {
            expected_r[t * n * m + i] = y_r[i];
            expected_c[t * n * m + i] = y_c[i];
            e[i] = two.ends[c][0].real() * y_r[i] + (two.ends[c][1] * y_c[i]).real();
        }
    }

    const auto block = two.march(false, false);
    for (std::size_t i = 0; i < n * m; ++i) EXPECT_NEAR(block.end[i], e[i], 1e-12 * (1.0 + std::abs(e[i]))) << i;
    for (std::size_t i = 0; i < count * n * m; ++i) {
        EXPECT_NEAR(block.work_r[i], expected_r[i], 1e-12 * (1.0 + std::abs(expected_r[i]))) << i;
        EXPECT_NEAR(std::abs(block.work_c[i] - expected_c[i]), 0.0, 1e-12 * (1.0 + std::abs(expected_c[i]))) << i;
    }
    // A block is its intervals marched one call each, bit for bit, on the pool or not.
    expect_same(block, two.march(true, false));
    expect_same(block, two.march(false, true));
}

// Enough shifts and rows that the pool's workers take part when it has any.
TEST(DgMarcher, SameBitsWhateverThePool) {
    System sys;
    constexpr std::size_t N = 7;
    std::vector<Pair<double>> reals;
    std::vector<Pair<complex>> cplxs;
    std::vector<MarchFactors> factors;
    for (int j = 0; j < 3; ++j) {
        reals.emplace_back(N, sys.rng);
        cplxs.emplace_back(N, sys.rng);
        factors.push_back(of(reals.back().factors()));
        factors.push_back(of(cplxs.back().factors()));
    }
    const std::vector<complex> coupling = {0.1, {0.2, 0.3}, -0.7, {0.4, -0.1}, 0.3, {-0.6, 0.2}};
    const std::vector<complex> ends = {0.5, {0.3, 0.1}, 0.2, {-0.2, 0.4}, -0.1, {0.7, 0.6}};
    DGMarcher marcher(MarchMatrix(sys.Mp, sys.Mi, sys.Mx));
    marcher.set_class(0, factors, coupling, ends);
    constexpr std::size_t steps = 40;
    const std::vector<std::int32_t> classes(steps, 0);
    auto run = [&](bool threads) {
        std::vector<std::vector<double>> real_work(3, std::vector<double>(steps * N * m, 0.1));
        std::vector<std::vector<complex>> complex_work(3, std::vector<complex>(steps * N * m, complex(0.1, -0.2)));
        std::vector<MarchWork> work;
        for (int j = 0; j < 3; ++j) {
            work.push_back({real_work[j], {}, steps, false});
            work.push_back({{}, complex_work[j], steps, true});
        }
        std::vector<double> end = sys.start;
        marcher.march(classes, work, end, m, threads);
        return end;
    };
    const std::vector<double> alone = run(false);
    std::vector<double> capped;
    {
        const worker_pool_internals::ScopedThreadCap cap(1);
        capped = run(true);
    }
    const std::vector<double> pooled = run(true);
    for (std::size_t i = 0; i < alone.size(); ++i) {
        EXPECT_TRUE(test::same(alone[i], capped[i]) && test::same(alone[i], pooled[i])) << i;
    }
}

TEST(DgMarcher, WorkersThatCannotStartLeaveTheMarchToTheCaller) {
    EXPECT_TRUE(test::run_fresh("FreshProcess.DISABLED_MarchWithoutWorkers"));
}

TEST(FreshProcess, DISABLED_MarchWithoutWorkers) {
    const TwoClasses two;
    const auto alone = two.march(false, false);
    // RLIMIT_NPROC reached: no worker can start (the limit binds only
    // unprivileged users, so root gives up its identity first).
    if (geteuid() == 0) {
        ASSERT_EQ(setgid(65534), 0);
        ASSERT_EQ(setuid(65534), 0);
    }
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NPROC, &limit), 0);
    const rlim_t previous = limit.rlim_cur;
    limit.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &limit), 0);
    expect_same(alone, two.march(false, true));
    EXPECT_EQ(worker_pool_threads(), 0u);
    limit.rlim_cur = previous;  // the leak checker's exit needs a thread of its own
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &limit), 0);
}

TEST(DgMarcher, EveryCheckOfAMarchWithItsText) {
    TwoClasses two;
    auto r = two.march(false, false);
    const MarchWork work[] = {{r.work_r, {}, count, false}, {{}, r.work_c, count, true}};
    DGMarcher& marcher = two.marcher;

    expect_fatal([&] { marcher.march(two.classes, work, std::span(r.end).first(n * m - 1), m, false); },
                 messages::kMarchEndShape);
    std::vector<std::int32_t> classes = two.classes;
    for (const std::int32_t missing : {3, -1, INT32_MAX}) {
        classes[2] = missing;
        expect_fatal([&] { marcher.march(classes, work, r.end, m, false); }, messages::kMarchClassNotHeld);
    }
    const MarchWork swapped[] = {work[1], work[0]};
    expect_fatal([&] { marcher.march(two.classes, swapped, r.end, m, false); }, messages::kMarchWorkShifts);
    expect_fatal([&] { marcher.march(two.classes, std::span(work).first(1), r.end, m, false); },
                 messages::kMarchWorkShifts);
    expect_fatal([&] { marcher.march({}, std::span(work).first(1), r.end, m, false); },
                 messages::kMarchWorkShape);  // no interval: work must have none either
    const MarchWork short_work[] = {{std::span(r.work_r).first(n * m), {}, count, false}, work[1]};
    expect_fatal([&] { marcher.march(two.classes, short_work, r.end, m, false); }, messages::kMarchWorkShape);
    const MarchWork reshaped[] = {{r.work_r, {}, count * m, false}, work[1]};
    expect_fatal([&] { marcher.march(two.classes, reshaped, r.end, 1, false); }, messages::kMarchEndShape);
    expect_fatal([&] { marcher.march(two.classes, reshaped, r.end, m, false); }, messages::kMarchWorkShape);

    // set_class refuses before it replaces anything.
    const TwoClasses other;
    System small;
    Pair<double> wrong_size{n - 2, small.rng};  // n - 1 = 6: its in_perm would not be one
    const std::vector<MarchFactors> wrong = {of(wrong_size.factors()), two.factors[0][1]};
    expect_fatal([&] { marcher.set_class(0, wrong, two.coupling[0], two.ends[0]); }, messages::kFactorOtherSize);
    const std::vector<MarchFactors> empty = {{}, two.factors[0][1]};
    expect_fatal([&] { marcher.set_class(0, empty, two.coupling[0], two.ends[0]); }, messages::kFactorOtherSize);
    expect_fatal([&] { marcher.set_class(0, {}, {}, {}); }, messages::kMarchNoShifts);
    expect_fatal([&] { marcher.set_class(0, two.factors[0], two.coupling[0], std::span(two.ends[0]).first(1)); },
                 messages::kMarchShiftLists);
    for (const std::int64_t slot : {std::int64_t{-1}, DGMarcher::kMaxSlot + 1}) {
        expect_fatal([&] { marcher.set_class(slot, two.factors[0], two.coupling[0], two.ends[0]); },
                     messages::kMarchSlot);
    }
    EXPECT_EQ(marcher.classes(), (std::vector<std::int64_t>{0, 7}));
    expect_same(two.march(false, false), other.march(false, false));

    // A dropped class is no longer held; dropping one never held does nothing.
    marcher.drop_class(7);
    marcher.drop_class(12345);
    EXPECT_EQ(marcher.classes(), (std::vector<std::int64_t>{0}));
    expect_fatal([&] { two.march(false, false); }, messages::kMarchClassNotHeld);
}

TEST(DgMarcher, ArraysAreCopiedAndCheckedWhenMade) {
    System sys;
    DGMarcher marcher(MarchMatrix(sys.Mp, sys.Mi, sys.Mx));
    const std::vector<MarchFactors> f = {of(sys.real.factors())};
    const complex one[] = {1.0};
    marcher.set_class(0, f, one, one);
    const std::vector<std::int32_t> classes(count, 0);
    auto run = [&] {
        std::vector<double> end = sys.start, work = sys.load_r;
        const MarchWork w[] = {{work, {}, count, false}};
        marcher.march(classes, w, end, m, false);
        return end;
    };
    const std::vector<double> first = run();
    // Overwriting the arrays passed in changes nothing: both objects copied them.
    for (auto* v : {&sys.Mi, &sys.real.Li, &sys.real.Ui, &sys.real.in_perm}) v->assign(v->size(), 1 << 30);
    for (auto* v : {&sys.Mx, &sys.real.Lx, &sys.real.lower_inverse}) v->assign(v->size(), -7.0);
    const std::vector<double> again = run();
    for (std::size_t i = 0; i < n * m; ++i) EXPECT_TRUE(test::same(again[i], first[i])) << i;

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
}

}  // namespace
}  // namespace tavik
