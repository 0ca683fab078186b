// Throughput of the core batch evaluation.
//
//   EvaluateMany/<degree>/<workers>   10^6 uniform random times on [0, 1],
//                                     n_t = 1000; workers 0 = the whole pool
//   SingleCallLoop/<degree>           the same times through evaluate(), one
//                                     call per time (the reference semantics)
//   Batch2048Pool/<degree>            one batch of 2048 times (pool path)
//   Batch2048Sequential/<degree>      the same 2048 times as two batches of
//                                     1024 (sequential path)
//   Kernel/<degree>/<isa>             the batch kernel alone on the calling
//                                     thread over the 10^6 times, for each
//                                     instruction set the processor has
//                                     (isa 0 SSE2, 1 AVX2, 2 AVX-512F)
//   DivisionFloor/<degree>/<isa>      only the divisions evaluate needs per
//                                     time (t / h, the local coordinate, one
//                                     per recurrence step whose j + 1 is not a
//                                     power of two), chained as in the
//                                     formula, in blocks of the kernel's width
//   DerivativeDivisionFloor/<degree>/<isa>, DerivativeKernel/<degree>/<isa>
//                                     the same for evaluate_derivative (plus
//                                     one quotient per degree k >= 2 and the
//                                     final division by h)
//
// bench/cpp_kernel.sh runs these and prints the ratios.
#include <benchmark/benchmark.h>

// The floor loops pass vectors wider than this file's baseline registers
// only between inlined functions, within one instruction set.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>


#include "bases/legendre_basis.hpp"
#include "kernels/kernels.hpp"
#include "kernels/simd_lanes.hpp"
#include "formulas/uniform_mesh.hpp"
#include "parallel/worker_pool.hpp"

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

// ---------------------------------------------------------------- kernels

namespace internals = tavik::kernel_internals;
using tavik::InstructionSet;

// Forces the instruction set for one benchmark; skips it where the
// processor lacks the set.
class ForcedIsa {
public:
    ForcedIsa(benchmark::State& state, std::int64_t isa) : isa_(static_cast<InstructionSet>(isa)) {
        const auto isas = internals::supported_instruction_sets();
        supported_ = std::find(isas.begin(), isas.end(), isa_) != isas.end();
        if (supported_) {
            internals::force_instruction_set(isa_);
        } else {
            state.SkipWithMessage("the processor lacks this instruction set");
        }
    }
    ~ForcedIsa() { internals::force_instruction_set(std::nullopt); }
    bool supported() const { return supported_; }

private:
    InstructionSet isa_;
    bool supported_ = false;
};

tavik::BatchInput batch_input(const Problem& p) {
    const double h = tavik::mesh_interval_length(p.basis.T(), p.basis.n_t());
    return {p.coeffs.data(), p.basis.n_t(), p.basis.n_t(), p.basis.degree(), h, true, false};
}

template <bool Derivative>
void Kernel(benchmark::State& state) {
    const Problem& p = problem(static_cast<std::uint64_t>(state.range(0)));
    const ForcedIsa isa(state, state.range(1));
    if (!isa.supported()) return;
    const tavik::BatchInput in = batch_input(p);
    const tavik::BatchKernelFn kernel = tavik::select_batch_kernel(p.basis.degree(), Derivative);
    std::vector<double> out(p.times.size());
    for (auto _ : state) {
        kernel(in, p.times.data(), out.data(), p.times.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.times.size()));
}

// The divisions a time needs, in the order the formula chains them: t / h,
// then the local coordinate (whose interval depends on t / h), then each
// recurrence step P_(j+1) = (...) / (j + 1) whose j + 1 is not a power of two
// (those are exact multiplications); for the derivative also the quotient of
// each degree k >= 2 (a side branch off the recurrence) and the final
// division by h of their sum. Lanes and blocks as in the kernel.
template <class L, int Degree, bool Derivative>
[[gnu::always_inline]] inline void division_chain(const double* t, double* out, std::size_t n, double h) {
    constexpr int kBlock = tavik::kLaneCount<L>;
    const double width = h * (1.0 + 1e-16);
    const double guard = -0.75;
    for (std::size_t i = 0; i + kBlock <= n; i += kBlock) {
        L x = tavik::load_lanes<L>(t + i);
        x = x / h;
        x = x / width;
        L sum = tavik::broadcast<L>(0.0);
        for (int j = 1; j < Degree; ++j) {
            if (((j + 1) & j) != 0) x = x / static_cast<double>(j + 1);
            if constexpr (Derivative) sum = sum + x / guard;
        }
        if constexpr (Derivative) x = sum / h;
        tavik::store_lanes(out + i, x);
    }
}

template <int Degree, bool Derivative>
[[gnu::target("avx512f")]] void division_chain_avx512f(const double* t, double* out, std::size_t n, double h) {
    division_chain<tavik::LanePack<tavik::DoubleLanes<8>, 4>, Degree, Derivative>(t, out, n, h);
}
template <int Degree, bool Derivative>
[[gnu::target("avx2")]] void division_chain_avx2(const double* t, double* out, std::size_t n, double h) {
    division_chain<tavik::LanePack<tavik::DoubleLanes<4>, 4>, Degree, Derivative>(t, out, n, h);
}
template <int Degree, bool Derivative>
void division_chain_sse2(const double* t, double* out, std::size_t n, double h) {
    division_chain<tavik::LanePack<tavik::DoubleLanes<2>, 4>, Degree, Derivative>(t, out, n, h);
}

template <int Degree, bool Derivative>
void DivisionFloor(benchmark::State& state) {
    const Problem& p = problem(Degree);
    const ForcedIsa isa(state, state.range(0));
    if (!isa.supported()) return;
    const auto chain = tavik::active_instruction_set() == InstructionSet::avx512f ? &division_chain_avx512f<Degree, Derivative>
                       : tavik::active_instruction_set() == InstructionSet::avx2  ? &division_chain_avx2<Degree, Derivative>
                                                                    : &division_chain_sse2<Degree, Derivative>;
    const double h = tavik::mesh_interval_length(p.basis.T(), p.basis.n_t());
    std::vector<double> out(p.times.size());
    for (auto _ : state) {
        chain(p.times.data(), out.data(), p.times.size(), h);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * p.times.size()));
}

BENCHMARK(Kernel<false>)->Name("Kernel")->ArgNames({"degree", "isa"})->ArgsProduct({{1, 3, 8}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Kernel<true>)->Name("DerivativeKernel")->ArgNames({"degree", "isa"})->ArgsProduct({{3}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DivisionFloor<1, false>)->Name("DivisionFloor/degree:1")->ArgName("isa")->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DivisionFloor<3, false>)->Name("DivisionFloor/degree:3")->ArgName("isa")->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DivisionFloor<8, false>)->Name("DivisionFloor/degree:8")->ArgName("isa")->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DivisionFloor<3, true>)->Name("DerivativeDivisionFloor/degree:3")->ArgName("isa")->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------- batches

BENCHMARK(EvaluateMany)->ArgNames({"degree", "workers"})->ArgsProduct({{1, 3, 8}, {1, 2, 0}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(EvaluateDerivativeMany)->ArgNames({"degree", "workers"})->ArgsProduct({{3}, {1, 0}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SingleCallLoop)->ArgName("degree")->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Batch2048Pool)->ArgName("degree")->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Batch2048Sequential)->ArgName("degree")->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
