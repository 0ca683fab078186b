// Weighted sums of squares over piecewise expansions: the order of the sums
// is fixed by the shape, so the worker count never shows in the bits.
#include <cstdint>
#include <random>

#include "piecewise_polynomials/legendre_integrals.hpp"
#include "piecewise_polynomials/worker_pool.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using test::D;
namespace wpi = worker_pool_internals;

D random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal;
    D v(n);
    for (double& x : v) x = normal(engine);
    return v;
}

TEST(LegendreIntegrals, SameBitsWhateverTheWorkerCount) {
    // Many chunks, wide and narrow (the interleaved sums) alike.
    for (const auto [rows, width, m] : {std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>{4000, 4, 70},
                                        {300000, 3, 1}, {90001, 2, 3}}) {
        const D values = random_values(rows * width * m, 1);
        const D weights = {0.5, 0.25, 0.125, 0.0625};
        const D map = {0.0, 1.0, 0.0, 3.0, 0.0, 0.0, 0.0, 0.0};  // row 0 of width entries, then row 1
        D sums_one(m), sums_many(m), mapped_one(m), mapped_many(m);
        {
            wpi::ScopedThreadCap cap(1);
            weighted_square_sums_into(values, rows, width, m, std::span(weights).first(width), sums_one);
            mapped_square_sums_into(values, rows, width, m, std::span(map).first(2 * width), std::span(weights).first(2),
                                    mapped_one);
        }
        for (std::size_t workers : {2, 3, 8}) {
            wpi::ScopedThreadCap cap(workers);
            weighted_square_sums_into(values, rows, width, m, std::span(weights).first(width), sums_many);
            mapped_square_sums_into(values, rows, width, m, std::span(map).first(2 * width), std::span(weights).first(2),
                                    mapped_many);
            test::expect_same(sums_many, sums_one);
            test::expect_same(mapped_many, mapped_one);
        }
    }
}

TEST(LegendreIntegrals, SizesThatDoNotMatchAreRefused) {
    D values(24), out(2), weights(3), map(6);
    const char* message = messages::kSquareSumsShape;
    test::expect_fatal([&] { weighted_square_sums_into(values, 4, 3, 2, std::span(weights).first(2), out); }, message);
    test::expect_fatal([&] { weighted_square_sums_into(values, 4, 3, 3, weights, out); }, message);
    test::expect_fatal([&] { weighted_square_sums_into(values, 4, 3, 2, weights, std::span(out).first(1)); }, message);
    test::expect_fatal([&] { mapped_square_sums_into(values, 4, 3, 2, map, weights, out); }, message);
    test::expect_fatal([&] { weighted_square_sums_into(values, UINT64_MAX, 3, 2, weights, out); },
                       messages::kCapacityOverflow);
    // Nothing to sum: zeros, with the right sizes.
    D none(2, 1.0);
    weighted_square_sums_into({}, 0, 3, 2, weights, none);
    test::expect_same(none, D{0.0, 0.0});
}

}  // namespace
}  // namespace tavik
