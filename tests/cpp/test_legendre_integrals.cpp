// Weighted sums of squares over piecewise expansions: the order of the sums
// is fixed by the shape, so the worker count never shows in the bits.
#include <cstdint>
#include <random>

#include "bases/legendre_integrals.hpp"
#include "parallel/worker_pool.hpp"
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
                                        {300000, 3, 1}, {90001, 2, 3}, {700, 11, 9}}) {
        const D values = random_values(rows * width * m, 1);
        const D weights = {0.5, 0.25, 0.125, 0.0625, 1, 2, 3, 4, 5, 6, 7};
        D sums_one(m), sums_many(m), slopes_one(m), slopes_many(m);
        {
            wpi::ScopedThreadCap cap(1);
            derivative_square_sums_into(values, rows, width, m, std::span(weights).first(width - 1), slopes_one);
            weighted_square_sums_into(values, rows, width, m, std::span(weights).first(width), sums_one);
        }
        for (std::size_t workers : {2, 3, 8}) {
            wpi::ScopedThreadCap cap(workers);
            weighted_square_sums_into(values, rows, width, m, std::span(weights).first(width), sums_many);
            test::expect_same(sums_many, sums_one);
            derivative_square_sums_into(values, rows, width, m, std::span(weights).first(width - 1), slopes_many);
            test::expect_same(slopes_many, slopes_one);
        }
    }
}

TEST(LegendreIntegrals, SizesThatDoNotMatchAreRefused) {
    D values(24), out(2), weights(3);
    const char* message = messages::kSquareSumsShape;
    test::expect_fatal([&] { weighted_square_sums_into(values, 4, 3, 2, std::span(weights).first(2), out); }, message);
    test::expect_fatal([&] { weighted_square_sums_into(values, 4, 3, 3, weights, out); }, message);
    test::expect_fatal([&] { weighted_square_sums_into(values, 4, 3, 2, weights, std::span(out).first(1)); }, message);
    test::expect_fatal([&] { derivative_square_sums_into(values, 4, 3, 2, weights, out); }, message);
    test::expect_fatal([&] { weighted_square_sums_into(values, UINT64_MAX, 3, 2, weights, out); },
                       messages::kCapacityOverflow);
    // Nothing to sum: zeros, with the right sizes.
    D none(2, 1.0);
    weighted_square_sums_into({}, 0, 3, 2, weights, none);
    test::expect_same(none, D{0.0, 0.0});
}

}  // namespace
}  // namespace tavik
