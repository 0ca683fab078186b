// Fuzz target: the dG marcher -- its factor objects and M built from fuzzed
// index arrays, its table of step classes, and marches with fuzzed classes,
// work arrays, end value and threads.
//
// Properties: factors and M are refused or accepted, never read out of
// bounds (ASan); well-formed factors are accepted; a march that passes the
// checks reads and writes only inside its arrays, and gives the same bits
// on the pool as on the calling thread alone.
#include <complex>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "fuzz_support.hpp"
#include "operators/dg_marcher.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

using complex = std::complex<double>;

template <class S>
S any_value(FuzzedDataProvider& in) {
    if constexpr (std::is_same_v<S, double>) {
        return any_double(in);
    } else {
        return {any_double(in), any_double(in)};
    }
}

// An index: usually in 0 .. bound, sometimes anything.
template <class I>
I any_index(FuzzedDataProvider& in, std::int64_t bound) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<I>();
    return static_cast<I>(in.ConsumeIntegralInRange<std::int64_t>(0, bound));
}

// CSR rows of a triangle of size n: well formed (each row its diagonal at the
// stated end, other columns on its side, increasing) unless `raw`.
void triangle(FuzzedDataProvider& in, std::size_t n, bool lower, bool raw, std::vector<std::int64_t>& rows,
              std::vector<std::int32_t>& columns) {
    rows.assign(1, 0);
    columns.clear();
    if (raw) {
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 3 * n + 2);
        for (std::size_t i = 0; i < count; ++i) columns.push_back(any_index<std::int32_t>(in, n));
        const std::size_t pointers = in.ConsumeIntegralInRange<std::size_t>(0, n + 2);
        rows.clear();
        for (std::size_t i = 0; i < pointers; ++i) rows.push_back(any_index<std::int64_t>(in, count));
        return;
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (!lower) columns.push_back(static_cast<std::int32_t>(j));
        const std::size_t from = lower ? 0 : j + 1, to = lower ? j : n;
        for (std::size_t k = from; k < to; ++k) {
            if (in.ConsumeBool()) columns.push_back(static_cast<std::int32_t>(k));
        }
        if (lower) columns.push_back(static_cast<std::int32_t>(j));
        rows.push_back(static_cast<std::int64_t>(columns.size()));
    }
}

std::vector<std::int32_t> permutation(FuzzedDataProvider& in, std::size_t n, bool raw) {
    std::vector<std::int32_t> p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::int32_t>(i);
    for (std::size_t i = n; i > 1; --i) std::swap(p[i - 1], p[in.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
    if (raw && n > 0) p[in.ConsumeIntegralInRange<std::size_t>(0, n - 1)] = any_index<std::int32_t>(in, n);
    return p;
}

template <class S>
std::shared_ptr<const TriangularFactors<S>> make_factors(FuzzedDataProvider& in, std::size_t n) {
    const bool raw = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    std::vector<std::int64_t> Lp, Up;
    std::vector<std::int32_t> Li, Ui;
    triangle(in, n, true, raw && in.ConsumeBool(), Lp, Li);
    triangle(in, n, false, raw && in.ConsumeBool(), Up, Ui);
    std::vector<S> Lx(Li.size() + (raw ? in.ConsumeIntegralInRange<int>(0, 1) : 0));
    std::vector<S> Ux(Ui.size()), Ld(n), Ud(n + (raw ? in.ConsumeIntegralInRange<int>(0, 1) : 0));
    for (auto* v : {&Lx, &Ux, &Ld, &Ud})
        for (S& x : *v) x = any_value<S>(in);
    const auto in_perm = permutation(in, n, raw && in.ConsumeBool());
    const auto out_perm = permutation(in, n, raw && in.ConsumeBool());
    std::shared_ptr<const TriangularFactors<S>> made;
    const bool ok = accepted([&] {
        made = std::make_shared<const TriangularFactors<S>>(Lp, Li, Lx, Up, Ui, Ux, Ld, Ud, in_perm, out_perm);
    });
    FUZZ_REQUIRE(ok || raw);
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 5);

    // M: tridiagonal-ish, or raw arrays.
    std::vector<std::int64_t> Mp{0};
    std::vector<std::int32_t> Mi;
    std::vector<double> Mx;
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        Mp.clear();
        const std::size_t entries = in.ConsumeIntegralInRange<std::size_t>(0, 3 * n + 1);
        for (std::size_t i = 0; i < entries; ++i) Mi.push_back(any_index<std::int32_t>(in, n));
        Mx.resize(entries + in.ConsumeIntegralInRange<int>(0, 1));
        for (std::size_t i = 0, pointers = in.ConsumeIntegralInRange<std::size_t>(0, n + 2); i < pointers; ++i)
            Mp.push_back(any_index<std::int64_t>(in, entries));
    } else {
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = r > 0 ? r - 1 : 0; c < n && c <= r + 1; ++c) Mi.push_back(static_cast<std::int32_t>(c));
            Mp.push_back(static_cast<std::int64_t>(Mi.size()));
        }
        Mx.resize(Mi.size());
    }
    for (double& x : Mx) x = any_double(in);
    std::optional<DGMarcher> marcher;
    if (!accepted([&] { marcher.emplace(MarchMatrix(Mp, Mi, Mx)); })) return 0;

    // Step classes: each a list of shifts (real or complex, maybe of another size).
    const std::int64_t slots[] = {0, 1, 2, -1, DGMarcher::kMaxSlot, DGMarcher::kMaxSlot + 1, INT64_MIN};
    for (int c = in.ConsumeIntegralInRange<int>(0, 3); c > 0; --c) {
        std::vector<MarchFactors> factors;
        for (int j = in.ConsumeIntegralInRange<int>(0, 3); j > 0; --j) {
            const std::size_t size = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? n + 1 : n;
            if (in.ConsumeBool()) {
                factors.push_back({make_factors<double>(in, size), nullptr});
            } else {
                factors.push_back({nullptr, make_factors<complex>(in, size)});
            }
        }
        std::vector<complex> coupling(factors.size() + in.ConsumeIntegralInRange<int>(0, 1) * in.ConsumeIntegralInRange<int>(0, 1));
        std::vector<complex> ends(factors.size());
        for (auto* v : {&coupling, &ends})
            for (complex& x : *v) x = any_value<complex>(in);
        const std::int64_t slot = slots[in.ConsumeIntegralInRange<std::size_t>(0, std::size(slots) - 1)];
        accepted([&] { marcher->set_class(slot, factors, coupling, ends); });
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) marcher->drop_class(slots[in.ConsumeIntegralInRange<int>(0, 3)]);
    }

    // A march: classes, one work per shift of a fuzzed kind and size, end.
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    const std::size_t m = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    std::vector<std::int32_t> classes(count);
    for (auto& c : classes) c = static_cast<std::int32_t>(in.ConsumeIntegralInRange<int>(-1, 3));
    const std::size_t shifts = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    std::vector<bool> kinds(shifts);
    std::vector<std::size_t> sizes(shifts), rows(shifts);
    for (std::size_t j = 0; j < shifts; ++j) {
        kinds[j] = in.ConsumeBool();
        const bool off = in.ConsumeIntegralInRange<int>(0, 7) == 0;
        sizes[j] = count * n * m + (off ? in.ConsumeIntegralInRange<std::size_t>(0, 2) : 0);
        rows[j] = count + (in.ConsumeIntegralInRange<int>(0, 7) == 0 ? 1 : 0);
    }
    const std::size_t end_size = n * m + (in.ConsumeIntegralInRange<int>(0, 7) == 0 ? 1 : 0);
    std::vector<double> start(end_size);
    for (double& x : start) x = any_double(in);
    std::vector<std::vector<double>> loads_r(shifts);
    std::vector<std::vector<complex>> loads_c(shifts);
    for (std::size_t j = 0; j < shifts; ++j) {
        (kinds[j] ? loads_c[j].resize(sizes[j]) : loads_r[j].resize(sizes[j]));
        for (double& x : loads_r[j]) x = any_double(in);
        for (complex& x : loads_c[j]) x = any_value<complex>(in);
    }
    const bool threads = in.ConsumeBool();

    auto run = [&](bool on_pool, std::vector<double>& end, std::vector<std::vector<double>>& real,
                   std::vector<std::vector<complex>>& cplx) {
        end = start, real = loads_r, cplx = loads_c;
        std::vector<MarchWork> work;
        for (std::size_t j = 0; j < shifts; ++j) work.push_back({real[j], cplx[j], rows[j], kinds[j]});
        return accepted([&] { marcher->march(classes, work, end, m, on_pool); });
    };
    std::vector<double> end_a, end_b;
    std::vector<std::vector<double>> real_a, real_b;
    std::vector<std::vector<complex>> cplx_a, cplx_b;
    if (!run(threads, end_a, real_a, cplx_a)) return 0;
    FUZZ_REQUIRE(run(!threads, end_b, real_b, cplx_b));
    for (std::size_t i = 0; i < end_a.size(); ++i) FUZZ_REQUIRE(same(end_a[i], end_b[i]));
    for (std::size_t j = 0; j < shifts; ++j) {
        for (std::size_t i = 0; i < real_a[j].size(); ++i) FUZZ_REQUIRE(same(real_a[j][i], real_b[j][i]));
        for (std::size_t i = 0; i < cplx_a[j].size(); ++i) {
            FUZZ_REQUIRE(same(cplx_a[j][i].real(), cplx_b[j][i].real()) &&
                         same(cplx_a[j][i].imag(), cplx_b[j][i].imag()));
        }
    }
    return 0;
}
