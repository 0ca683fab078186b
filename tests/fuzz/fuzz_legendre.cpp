// Fuzz target: the uniform mesh and the Legendre basis -- locating times,
// evaluating values and derivatives one time at a time and in batches, the
// coefficient-matrix views and the full basis vectors.
//
// Properties: every located interval exists and every local coordinate lies
// in [-1, 1] (or is NaN); a coefficient buffer is accepted exactly when it
// holds n_t * (degree + 1) values; a batch equals the single-time results
// bit for bit, and refuses exactly when a single-time evaluation refuses,
// with that evaluation's message; a value is the sum of the basis functions
// weighted by their coefficients.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "bases/legendre_basis.hpp"
#include "formulas/uniform_mesh.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

constexpr std::uint64_t kMaxCoefficients = 1 << 12;

std::vector<double> doubles(FuzzedDataProvider& in, std::size_t n) {
    std::vector<double> v(n);
    for (double& x : v) x = any_double(in);
    return v;
}

// The times of a batch: a few drawn ones, sometimes repeated past the
// threshold at which batches run on the worker pool.
std::vector<double> batch_times(FuzzedDataProvider& in) {
    std::vector<double> times = doubles(in, in.ConsumeIntegralInRange<std::size_t>(0, 24));
    if (!times.empty() && in.ConsumeIntegralInRange<int>(0, 15) == 0) {
        const std::size_t n = LegendreBasis::kParallelThreshold + in.ConsumeIntegralInRange<std::size_t>(0, 700);
        std::vector<double> many(n);
        for (std::size_t i = 0; i < n; ++i) many[i] = times[i % times.size()];
        times.swap(many);
    }
    return times;
}

struct Outcome {
    bool ok;
    double value;
    std::string error;
};

template <class F>
Outcome run(F&& f) {
    try {
        return {true, f(), {}};
    } catch (const FatalError& e) {
        return {false, 0.0, e.what()};
    }
}

// The batch refuses exactly when some single-time evaluation does, with the
// message of the first that does; otherwise it equals them bit for bit.
void check_batch(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                 bool derivative) {
    // Single-time results up to the first refusal (the batch must stop there).
    std::vector<Outcome> singles;
    singles.reserve(times.size());
    const Outcome* first_failure = nullptr;
    for (const double t : times) {
        singles.push_back(run([&] { return derivative ? basis.evaluate_derivative(coeffs, t) : basis.evaluate(coeffs, t); }));
        if (!singles.back().ok) {
            first_failure = &singles.back();
            break;
        }
    }
    std::vector<double> batch;
    std::string batch_error;
    const bool batch_ok = accepted([&] {
        try {
            batch = derivative ? basis.evaluate_derivative_many(coeffs, times) : basis.evaluate_many(coeffs, times);
        } catch (const FatalError& e) {
            batch_error = e.what();
            throw;
        }
    });
    FUZZ_REQUIRE(batch_ok == (first_failure == nullptr));
    if (!batch_ok) {
        FUZZ_REQUIRE(batch_error == first_failure->error);
        return;
    }
    FUZZ_REQUIRE(batch.size() == times.size());
    for (std::size_t i = 0; i < times.size(); ++i) FUZZ_REQUIRE(same(batch[i], singles[i].value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint64_t degree = any_count(in, 24);
    const std::uint64_t n_t = any_count(in, 40);
    const double T = any_double(in);
    const LegendreBasis basis(degree, n_t, T);
    const unsigned __int128 needed = static_cast<unsigned __int128>(n_t) * (static_cast<unsigned __int128>(degree) + 1);

    // The mesh: every time lands in an existing interval, inside [-1, 1].
    if (n_t >= 1) {
        const double h = mesh_interval_length(T, n_t);
        for (int i = 0; i < 4; ++i) {
            const MeshLocation loc = locate_in_mesh(h, n_t, any_double(in));
            FUZZ_REQUIRE(loc.interval < n_t);
            FUZZ_REQUIRE(std::isnan(loc.xi) || (loc.xi >= -1.0 && loc.xi <= 1.0));
        }
    }

    // The size of the basis: refused exactly when it cannot be one array.
    std::uint64_t count = 0;
    const bool counted = accepted([&] { count = basis.n_basis_functions(); });
    FUZZ_REQUIRE(counted == !refused_count<double>(needed));
    if (counted) FUZZ_REQUIRE(count == needed);

    // A coefficient buffer around the needed length: accepted exactly when
    // it is long enough.
    std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    if (needed <= kMaxCoefficients) {
        const auto delta = in.ConsumeIntegralInRange<int>(-2, 2);
        length = static_cast<std::size_t>(std::max<long long>(0, static_cast<long long>(needed) + delta));
    }
    const std::vector<double> coefficients = doubles(in, length);
    const std::vector<double> times = batch_times(in);
    const bool fits = accepted([&] { (void)ColumnMajorView::for_basis(coefficients, n_t, degree); });
    FUZZ_REQUIRE(fits == (coefficients.size() >= needed));
    if (fits) {
        const ColumnMajorView view = ColumnMajorView::for_basis(coefficients, n_t, degree);
        check_batch(basis, view, times, false);
        check_batch(basis, view, times, true);
    }

    // A matrix of any shape over the same storage: too few rows or columns
    // are refused alike by the single-time and the batch evaluations.
    {
        const std::uint64_t rows = in.ConsumeIntegralInRange<std::uint64_t>(0, 48);
        const std::uint64_t cols = in.ConsumeIntegralInRange<std::uint64_t>(0, 26);
        if (rows * cols <= coefficients.size()) {
            const ColumnMajorView view(coefficients.data(), rows, cols);
            check_batch(basis, view, times, false);
            check_batch(basis, view, times, true);
        }
    }

    // All basis functions at one time: N values, non-zero only in the
    // located interval, and weighted by the coefficients they give the value.
    const double t = any_double(in);
    if (n_t == 0 || !counted) {
        FUZZ_REQUIRE(!accepted([&] { (void)basis.evaluate_all_basis_functions(t); }));
        FUZZ_REQUIRE(!accepted([&] { (void)basis.evaluate_all_basis_function_derivatives(t); }));
    } else if (count <= kMaxCoefficients) {
        const std::vector<double> all = basis.evaluate_all_basis_functions(t);
        const std::vector<double> slopes = basis.evaluate_all_basis_function_derivatives(t);
        FUZZ_REQUIRE(all.size() == count && slopes.size() == count);
        const std::uint64_t c = locate_in_mesh(mesh_interval_length(T, n_t), n_t, t).interval;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (i % n_t != c) FUZZ_REQUIRE(all[i] == 0.0 && slopes[i] == 0.0);
        }
        if (fits) {
            double sum = -0.0;
            for (std::uint64_t k = 0; k <= degree; ++k) sum = sum + all[c + n_t * k] * coefficients[c + n_t * k];
            const ColumnMajorView view = ColumnMajorView::for_basis(coefficients, n_t, degree);
            FUZZ_REQUIRE(same(sum, basis.evaluate(view, t)));
        }
    }
    return 0;
}
