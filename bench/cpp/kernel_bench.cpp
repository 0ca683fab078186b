// Throughput of the core batch evaluation.
//
//   EvaluateMany/<degree>/<workers>   10^6 uniform random times on [0, 1],
//                                     n_t = 1000; workers 0 = the whole pool
//   SingleCallLoop/<degree>           the same times through evaluate(), one
//                                     call per time (the reference semantics)
//   Batch2048Pool/<degree>            one batch of 2048 times (pool path)
//   Batch2048Sequential/<degree>      the same 2048 times as two batches of
//                                     1024 (sequential path)
//
// bench/cpp_kernel.sh runs these and prints the ratios.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>


#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace {

using tavik::ColumnMajorView;
using tavik::LegendreBasis;

constexpr std::uint64_t kIntervals = 1000;
constexpr std::size_t kTimes = 1000000;

struct Problem {
    LegendreBasis basis;
    std::vector<double> coeffs;
    std::vector<double> times;

    explicit Problem(std::uint64_t degree) : basis(degree, kIntervals, 1.0) {
        std::mt19937_64 rng(degree + 1);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        coeffs.resize(kIntervals * (degree + 1));
        for (double& c : coeffs) c = 2.0 * unit(rng) - 1.0;
        times.resize(kTimes);
        for (double& t : times) t = unit(rng);
    }
    ColumnMajorView view() const { return ColumnMajorView::for_basis(coeffs, basis.n_t(), basis.degree()); }
};

const Problem& problem(std::uint64_t degree) {
    static const Problem p1(1), p3(3), p8(8);
    return degree == 1 ? p1 : degree == 3 ? p3 : p8;
}

// A limit of 1 leaves the calling thread alone in the pool.
std::optional<tavik::worker_pool_internals::ScopedThreadCap> limit_workers(std::int64_t workers) {
    if (workers <= 0) return std::nullopt;
    return std::make_optional<tavik::worker_pool_internals::ScopedThreadCap>(static_cast<std::size_t>(workers));
}

void EvaluateMany(benchmark::State& state) {
    const Problem& p = problem(static_cast<std::uint64_t>(state.range(0)));
    const auto limit = limit_workers(state.range(1));
    const ColumnMajorView view = p.view();
    for (auto _ : state) {
        std::vector<double> out = p.basis.evaluate_many(view, p.times);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.times.size()));
    state.counters["pool"] = static_cast<double>(tavik::worker_pool_concurrency());
}

void EvaluateDerivativeMany(benchmark::State& state) {
    const Problem& p = problem(static_cast<std::uint64_t>(state.range(0)));
    const auto limit = limit_workers(state.range(1));
    const ColumnMajorView view = p.view();
    for (auto _ : state) {
        std::vector<double> out = p.basis.evaluate_derivative_many(view, p.times);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.times.size()));
}

void SingleCallLoop(benchmark::State& state) {
    const Problem& p = problem(static_cast<std::uint64_t>(state.range(0)));
    const ColumnMajorView view = p.view();
    std::vector<double> out(p.times.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < p.times.size(); ++i) out[i] = p.basis.evaluate(view, p.times[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.times.size()));
}

void Batch2048Pool(benchmark::State& state) {
    const Problem& p = problem(static_cast<std::uint64_t>(state.range(0)));
    const ColumnMajorView view = p.view();
    const std::span<const double> times(p.times.data(), 2048);
    for (auto _ : state) {
        std::vector<double> out = p.basis.evaluate_many(view, times);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * times.size()));
}

void Batch2048Sequential(benchmark::State& state) {
    const Problem& p = problem(static_cast<std::uint64_t>(state.range(0)));
    const ColumnMajorView view = p.view();
    const std::span<const double> first(p.times.data(), 1024);
    const std::span<const double> second(p.times.data() + 1024, 1024);
    for (auto _ : state) {
        std::vector<double> a = p.basis.evaluate_many(view, first);
        std::vector<double> b = p.basis.evaluate_many(view, second);
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2048));
}

BENCHMARK(EvaluateMany)->ArgNames({"degree", "workers"})->ArgsProduct({{1, 3, 8}, {1, 2, 0}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(EvaluateDerivativeMany)->ArgNames({"degree", "workers"})->ArgsProduct({{3}, {1, 0}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SingleCallLoop)->ArgName("degree")->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Batch2048Pool)->ArgName("degree")->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Batch2048Sequential)->ArgName("degree")->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
