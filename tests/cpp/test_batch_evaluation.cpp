// Batch evaluation and the worker pool: every batch element equals the
// single-time evaluation bit for bit, whatever the path, the kernel variant
// (degree, instruction set), the division into chunks or the number of
// threads; errors, concurrent callers and fork().
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <semaphore>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fatal_error.hpp"
#include "bases/legendre_basis.hpp"
#include "kernels/kernels.hpp"
#include "parallel/runtime/processor_count.hpp"
#include "kernels/simd_lanes.hpp"
#include "formulas/uniform_mesh.hpp"
#include "parallel/worker_pool.hpp"
#include "support.hpp"

namespace tavik {
namespace {

namespace wpi = worker_pool_internals;
using namespace test;

struct Problem {
    LegendreBasis basis;
    D coeffs;
    ColumnMajorView view() const { return ColumnMajorView::for_basis(coeffs, basis.n_t(), basis.degree()); }
};

Problem make_problem(std::uint64_t degree, std::uint64_t n_t, double T, unsigned seed = 1) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> c(-2.0, 2.0);
    D coeffs(n_t * (degree + 1));
    for (double& x : coeffs) x = c(rng);
    return {LegendreBasis(degree, n_t, T), coeffs};
}

// Random times over [-T/10, 11T/10] mixed with the awkward ones: mesh nodes
// and their neighbours (where xi sits at or next to +-1), the ends, NaN,
// infinities, repeats.
D make_times(std::size_t n, const LegendreBasis& b, unsigned seed = 2) {
    std::mt19937_64 rng(seed);
    const double T = std::isfinite(b.T()) ? b.T() : 1.0;
    std::uniform_real_distribution<double> u(-0.1 * T, 1.1 * T);
    std::uniform_int_distribution<std::uint64_t> node(0, b.n_t());
    const double h = T / static_cast<double>(b.n_t());
    D t(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (rng() % 8) {
            case 0: {
                const double m = static_cast<double>(node(rng)) * h;
                const int side = static_cast<int>(rng() % 3);
                t[i] = side == 0 ? m : std::nextafter(m, side == 1 ? -inf : inf);
                break;
            }
            case 1: {
                const double specials[] = {0.0, -0.0, T, -1.0, 2.0 * T, nan, inf, -inf, 5e-324, T * (1 - 1e-4)};
                t[i] = specials[rng() % 10];
                break;
            }
            case 2:
                t[i] = i > 0 ? t[rng() % i] : 0.0;
                break;
            default:
                t[i] = u(rng);
        }
    }
    return t;
}

D singles(const Problem& p, const D& times, bool derivative) {
    D out;
    const ColumnMajorView v = p.view();
    for (double t : times) out.push_back(derivative ? p.basis.evaluate_derivative(v, t) : p.basis.evaluate(v, t));
    return out;
}

D batch(const Problem& p, std::span<const double> times, bool derivative) {
    return derivative ? p.basis.evaluate_derivative_many(p.view(), times)
                      : p.basis.evaluate_many(p.view(), times);
}



// ---------------------------------------------------------------------------

TEST(BatchEvaluation, EqualsSingleTimeCallsOnBothPaths) {
    const struct {
        std::uint64_t degree, n_t;
        double T;
    } cases[] = {{0, 7, 1.0}, {1, 1000, 1.0}, {2, 2, 1.0},  {3, 1, 2.5},  {4, 10, 1.0},  {5, 3, 0.7},
                 {6, 20, 1.0}, {7, 5, 2.0},  {8, 1000, 1.0}, {9, 4, 1.0}, {13, 9, 3.0}, {2, 5, 0.0},
                 {3, 4, -2.0}, {1, 3, inf}, {2, 3, nan}};
    for (const auto& c : cases) {
        const Problem p = make_problem(c.degree, c.n_t, c.T);
        const D times = make_times(100000, p.basis);
        for (bool derivative : {false, true}) {
            const D expected = singles(p, times, derivative);
            test::for_each_instruction_set([&](const char* isa) {
                SCOPED_TRACE(isa);
                for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2047}, std::size_t{2048},
                                      std::size_t{100000}}) {
                    const D got = batch(p, std::span(times).first(n), derivative);
                    ASSERT_EQ(got.size(), n);
                    EXPECT_EQ(first_mismatch(got, D(expected.begin(), expected.begin() + n)), -1)
                        << "degree " << c.degree << " n_t " << c.n_t << " T " << c.T << " n " << n
                        << (derivative ? " derivative" : " value");
                }
            });
        }
    }
}

// More intervals than 32 bits can count: the kernels locate times lane by
// lane in 64-bit integers instead. Degree 0 reads one column only, so a view
// claiming that many rows over a short buffer suffices for times in the
// first intervals (and at NaN and before 0).
TEST(BatchEvaluation, MeshTooWideForThirtyTwoBitIndices) {
    const std::uint64_t n_t = (std::uint64_t{1} << 32) + 3;
    const LegendreBasis basis(0, n_t, static_cast<double>(n_t));  // h = 1
    D coeffs(64);
    for (std::size_t i = 0; i < coeffs.size(); ++i) coeffs[i] = 0.5 + static_cast<double>(i);
    const ColumnMajorView view(coeffs.data(), n_t, 1);
    D times(5000);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-2.0, 63.999);
    for (double& t : times) t = u(rng);
    times[17] = nan;
    times[18] = -inf;
    times[19] = std::nextafter(1.0, 0.0);
    for (bool derivative : {false, true}) {
        D expected;
        for (double t : times) {
            expected.push_back(derivative ? basis.evaluate_derivative(view, t) : basis.evaluate(view, t));
        }
        if (!derivative) {
            EXPECT_EQ(expected[5], coeffs[static_cast<std::size_t>(times[5] < 0 ? 0 : times[5])]);
        }
        test::for_each_instruction_set([&](const char* isa) {
            SCOPED_TRACE(isa);
            const D got = derivative ? basis.evaluate_derivative_many(view, times) : basis.evaluate_many(view, times);
            EXPECT_EQ(first_mismatch(got, expected), -1);
        });
    }
}

// The two ways of computing an interval index agree for every quotient.
TEST(BatchEvaluation, NarrowAndWideIntervalIndicesAgree) {
    using Pack = LanePack<DoubleLanes<2>, 4>;
    const double qs[] = {-inf, -1e300, -1.0, -0.5, -0.0, 0.0, 5e-324, 0.5, std::nextafter(1.0, 0.0), 1.0, 2.5,
                         998.9999999999999, 999.0, 999.5, 1000.0, 2147483646.5, 2147483647.0, 2147483648.0,
                         9007199254740993.0, 18446744073709551616.0, 1e300, inf, nan, -nan};
    for (std::uint64_t n_t : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{1000}, kNarrowMeshIntervals - 1,
                              kNarrowMeshIntervals}) {
        for (double q : qs) {
            LaneIndex<double> narrow_c, wide_c;
            double narrow_d, wide_d;
            interval_index(q, n_t, true, narrow_c, narrow_d);
            interval_index(q, n_t, false, wide_c, wide_d);
            EXPECT_EQ(narrow_c, wide_c) << "q " << q << " n_t " << n_t;
            EXPECT_TRUE(same(narrow_d, wide_d)) << "q " << q << " n_t " << n_t;
        }
        for (std::size_t first = 0; first + 8 <= std::size(qs); ++first) {
            Pack q = load_lanes<Pack>(qs + first);
            LaneIndex<Pack> narrow_c, wide_c;
            Pack narrow_d, wide_d;
            interval_index(q, n_t, true, narrow_c, narrow_d);
            interval_index(q, n_t, false, wide_c, wide_d);
            for (int l = 0; l < 8; ++l) {
                EXPECT_EQ(get_lane(narrow_c, l), get_lane(wide_c, l)) << "q " << qs[first + l] << " n_t " << n_t;
                EXPECT_TRUE(same(get_lane(narrow_d, l), get_lane(wide_d, l)));
            }
        }
    }
}

// Blocks of several times and padded tails: every length and starting offset
// within a block, sequential and parallel.
TEST(BatchEvaluation, EveryOffsetAndTailLength) {
    const Problem p = make_problem(3, 50, 1.0);
    const D times = make_times(2048 + 40, p.basis, 5);
    for (bool derivative : {false, true}) {
        const D expected = singles(p, times, derivative);
        test::for_each_instruction_set([&](const char* isa) {
            SCOPED_TRACE(isa);
            for (std::size_t offset = 0; offset < 17; ++offset) {
                for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{9}, std::size_t{15},
                                      std::size_t{17}, std::size_t{33}, std::size_t{40}, std::size_t{63},
                                      std::size_t{2048}, std::size_t{2051}, std::size_t{2055}}) {
                    const D got = batch(p, std::span(times).subspan(offset, n), derivative);
                    EXPECT_EQ(first_mismatch(got, D(expected.begin() + offset, expected.begin() + offset + n)), -1)
                        << "offset " << offset << " n " << n;
                }
            }
        });
    }
}

TEST(BatchEvaluation, SameBitsWhateverTheWorkerCount) {
    const Problem p = make_problem(8, 1000, 1.0);
    const D times = make_times(100000, p.basis);
    const D expected = singles(p, times, false);
    test::for_each_instruction_set([&](const char* isa) {
        SCOPED_TRACE(isa);
        for (std::size_t workers : {1, 2, 3, 8}) {
            wpi::ScopedThreadCap cap(workers);
            for (int repeat = 0; repeat < 3; ++repeat) {
                EXPECT_EQ(first_mismatch(batch(p, times, false), expected), -1) << workers << " workers";
            }
        }
    });
}

// A caller that changed its rounding mode gets results computed in that mode
// on every thread, as its own single-time calls are.
TEST(BatchEvaluation, WorkersUseTheCallersRoundingMode) {
    const Problem p = make_problem(8, 100, 1.0);
    const D times = make_times(100000, p.basis);
    const D nearest = singles(p, times, false);
    ASSERT_EQ(first_mismatch(batch(p, times, false), nearest), -1);  // the pool exists before the change
    for (int mode : {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        const D values = singles(p, times, false);
        const D derivatives = singles(p, times, true);
        test::for_each_instruction_set([&](const char* isa) {
            SCOPED_TRACE(isa);
            EXPECT_EQ(first_mismatch(batch(p, times, false), values), -1) << "mode " << mode;
            EXPECT_EQ(first_mismatch(batch(p, times, true), derivatives), -1) << "mode " << mode;
        });
        std::fesetround(FE_TONEAREST);
        ASSERT_NE(first_mismatch(values, nearest), -1) << "the rounding mode should matter here";
    }
    EXPECT_EQ(first_mismatch(batch(p, times, false), nearest), -1);  // and the workers went back
}

// The sum starts from -0.0, and -0.0 + +0.0 is -0.0 when rounding downward:
// no path may fold the first term into the sum as if rounding to nearest.
TEST(BatchEvaluation, SignedZeroSumsInEveryRoundingMode) {
    for (std::uint64_t degree : {std::uint64_t{0}, std::uint64_t{3}, std::uint64_t{8}, std::uint64_t{11}}) {
        Problem p = make_problem(degree, 6, 1.0);
        std::mt19937_64 rng(degree);
        for (double& c : p.coeffs) c = (rng() % 4 == 0) ? -0.0 : 0.0;
        const D times = make_times(3000, p.basis);
        for (int mode : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
            ASSERT_EQ(std::fesetround(mode), 0);
            const D values = singles(p, times, false);
            const D derivatives = singles(p, times, true);
            const D zeros(12, 0.0);
            const ColumnMajorView zero_view(zeros.data(), 1, 12);
            const LegendreBasis one_interval(degree, 1, 1.0);
            const double single_zero = one_interval.evaluate(zero_view, 0.3);
            const D batch_zero = one_interval.evaluate_many(zero_view, D(9, 0.3));
            test::for_each_instruction_set([&](const char* isa) {
                SCOPED_TRACE(isa);
                EXPECT_EQ(first_mismatch(batch(p, times, false), values), -1) << "degree " << degree;
                EXPECT_EQ(first_mismatch(batch(p, times, true), derivatives), -1) << "degree " << degree;
            });
            std::fesetround(FE_TONEAREST);
            EXPECT_EQ(std::signbit(single_zero), mode == FE_DOWNWARD) << "degree " << degree << " mode " << mode;
            EXPECT_EQ(std::signbit(batch_zero[0]), mode == FE_DOWNWARD) << "degree " << degree << " mode " << mode;
        }
    }
}

// A mis-shaped matrix trips the index checks; the batch fails with the error
// the element-by-element loop would raise first, on both paths.
TEST(BatchEvaluation, IndexErrorsReachTheCallerUnchanged) {
    const Problem p = make_problem(2, 10, 1.0);
    test::for_each_instruction_set([&](const char* isa) {
        SCOPED_TRACE(isa);
        for (std::size_t n : {std::size_t{100}, std::size_t{100000}}) {
            D times(n, 0.05);  // interval 0
            times[n - 3] = 0.95;  // interval 9: lies in some later chunk
            const ColumnMajorView short_rows(p.coeffs.data(), 9, 3);
            const ColumnMajorView short_cols(p.coeffs.data(), 10, 2);
            const ColumnMajorView both_short(p.coeffs.data(), 9, 2);
            expect_fatal([&] { p.basis.evaluate_many(short_rows, times); }, messages::kRowOutOfBounds);
            expect_fatal([&] { p.basis.evaluate_derivative_many(short_rows, times); }, messages::kRowOutOfBounds);
            expect_fatal([&] { p.basis.evaluate_many(short_cols, times); }, messages::kColumnOutOfBounds);
            expect_fatal([&] { p.basis.evaluate_many(both_short, times); }, messages::kColumnOutOfBounds);
            times[0] = 0.95;
            expect_fatal([&] { p.basis.evaluate_derivative_many(both_short, times); }, messages::kRowOutOfBounds);
            const LegendreBasis empty(2, 0, 1.0);
            const ColumnMajorView none(p.coeffs.data(), 0, 3);
            expect_fatal([&] { empty.evaluate_many(none, times); },
                         messages::kNoIntervals);
            EXPECT_TRUE(empty.evaluate_many(none, {}).empty());
        }
    });
    // The pool is still sound afterwards.
    const D times = make_times(5000, p.basis);
    EXPECT_EQ(first_mismatch(batch(p, times, true), singles(p, times, true)), -1);
}

// The exception arrives only once no chunk is running any more (they write
// into the caller's result), whatever thread threw it.
TEST(BatchEvaluation, ChunkExceptionKeepsItsTypeAndMessage) {
    struct Custom : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    // The failing chunk throws while a sibling is in flight (unless it is the
    // last chunk, which may well run alone), and a sibling that started while
    // the failing chunk ran stays in flight until the throw. The waits are
    // bounded only for a pool that runs chunks one at a time, where no
    // sibling can overlap.
    std::mutex m;
    std::condition_variable cv;
    int running = 0;
    bool failing_started = false;
    bool thrown = false;
    constexpr auto kAlone = std::chrono::milliseconds(200);
    constexpr std::size_t n = std::size_t{1} << 20;
    auto chunk = [&](std::size_t b, std::size_t e, std::size_t failing) {
        std::unique_lock lock(m);
        if (b <= failing && failing < e) {
            failing_started = true;
            cv.notify_all();
            if (e < n) cv.wait_for(lock, kAlone, [&] { return running > 0; });
            thrown = true;
            cv.notify_all();
            throw Custom("chunk failed");
        }
        ++running;
        cv.notify_all();
        if (failing_started) cv.wait_for(lock, kAlone, [&] { return thrown; });
        --running;
    };
    for (std::size_t failing : {std::size_t{0}, std::size_t{700000}, n - 1}) {
        failing_started = thrown = false;
        try {
            parallel_map(n, 2048, [&](std::size_t b, std::size_t e) { chunk(b, e, failing); });
            ADD_FAILURE() << "no exception";
        } catch (const Custom& e) {
            EXPECT_STREQ(e.what(), "chunk failed");
            const std::lock_guard lock(m);
            EXPECT_EQ(running, 0);
        }
    }
    // Every chunk but the first fails: the error of the lowest one wins,
    // whichever thread finished first.
    for (int repeat = 0; repeat < 20; ++repeat) {
        std::size_t lowest_failing = SIZE_MAX;
        std::mutex lowest_m;
        try {
            parallel_map(1 << 16, 2048, [&](std::size_t b, std::size_t e) {
                chunk(b, e, SIZE_MAX);
                if (b == 0) return;
                {
                    std::lock_guard lock(lowest_m);
                    lowest_failing = std::min(lowest_failing, b);
                }
                throw FatalError(std::to_string(b));
            });
            ADD_FAILURE() << "no exception";
        } catch (const FatalError& e) {
            EXPECT_EQ(e.what(), std::to_string(lowest_failing));
            const std::lock_guard lock(m);
            EXPECT_EQ(running, 0);
        }
    }
}

// Each running chunk has its own scratch of the size asked for: a thread
// that finds its mark overwritten while it works shares its block with
// another. Each chunk waits briefly for a second one to be inside too, so
// that chunks overlap whenever the pool has the threads.
TEST(WorkerPool, ScratchIsPerThreadAndAllocatedBeforeTheChunks) {
    for (std::size_t per_thread : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        std::atomic<std::size_t> next_mark{1}, shared{0}, wrong_size{0};
        std::atomic<int> inside{0};
        parallel_map(1 << 16, 2048, per_thread, [&](std::size_t, std::size_t, std::span<double> scratch) {
            if (scratch.size() != per_thread) ++wrong_size;
            const double mark = static_cast<double>(next_mark++);
            std::fill(scratch.begin(), scratch.end(), mark);
            ++inside;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
            while (inside.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            if (std::any_of(scratch.begin(), scratch.end(), [&](double x) { return x != mark; })) ++shared;
            --inside;
        });
        EXPECT_EQ(wrong_size.load(), 0u) << per_thread;
        EXPECT_EQ(shared.load(), 0u) << per_thread;
    }
    // A size no allocation can have is refused on the caller before any
    // chunk runs, below the threshold and above it alike.
    for (std::size_t n : {std::size_t{10}, std::size_t{1} << 16}) {
        bool ran = false;
        test::expect_fatal([&] { parallel_map(n, 2048, SIZE_MAX / 4, [&](std::size_t, std::size_t) { ran = true; }); },
                           messages::kCapacityOverflow);
        EXPECT_FALSE(ran);
    }
}

// The piecewise form used by the Python binding: pieces in order, bounded,
// and together bit for bit the batch, whatever the worker count.
TEST(BatchStream, PiecesMakeUpTheBatch) {
    const Problem p = make_problem(4, 300, 2.0);
    constexpr std::size_t kPiece = LegendreBatchStream::kPiece;
    const D times = make_times(4 * kPiece + 5, p.basis);
    for (bool derivative : {false, true}) {
        const D expected = singles(p, times, derivative);
        for (std::size_t workers : {1, 2, 8}) {
            wpi::ScopedThreadCap cap(workers);
            for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2047}, std::size_t{2048},
                                  std::size_t{4097}, kPiece, 3 * kPiece + 1, times.size()}) {
                D storage(LegendreBatchStream::storage_for(n));
                LegendreBatchStream stream(p.basis, p.view(), std::span(times).first(n), derivative, storage);
                D got;
                for (std::span<const double> piece; !(piece = stream.next()).empty();) {
                    if (got.empty() && n >= LegendreBasis::kParallelThreshold) {
                        EXPECT_LE(piece.size(), LegendreBatchStream::first_piece_size(n));
                    }
                    EXPECT_LE(piece.size(), kPiece);
                    got.insert(got.end(), piece.begin(), piece.end());
                }
                EXPECT_TRUE(stream.next().empty());
                EXPECT_EQ(first_mismatch(got, D(expected.begin(), expected.begin() + static_cast<long>(n))), -1)
                    << "n " << n << " workers " << workers << " derivative " << derivative;
            }
        }
    }
}

// A failing element fails the piece it lies in, after the earlier pieces were
// delivered; a matrix that fits no time fails at once. A stream abandoned
// with a piece on the pool leaves the pool sound.
TEST(BatchStream, FailuresArriveWithTheirPiece) {
    const Problem p = make_problem(2, 10, 1.0);
    constexpr std::size_t kPiece = LegendreBatchStream::kPiece;
    D times(3 * kPiece, 0.05);
    times[2 * kPiece + 7] = 0.95;  // interval 9: beyond the short matrix
    const ColumnMajorView short_rows(p.coeffs.data(), 9, 3);
    D storage(LegendreBatchStream::storage_for(times.size()));
    LegendreBatchStream stream(p.basis, short_rows, times, false, storage);
    std::size_t delivered = 0;
    try {
        for (std::span<const double> piece; !(piece = stream.next()).empty();) delivered += piece.size();
        ADD_FAILURE() << "no exception";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), messages::kRowOutOfBounds);
        EXPECT_GT(delivered, 0u);
        EXPECT_LE(delivered, 2 * kPiece + 7);  // the pieces wholly before the failing element
    }
    const ColumnMajorView short_cols(p.coeffs.data(), 10, 2);
    expect_fatal([&] { LegendreBatchStream(p.basis, short_cols, times, true, storage); }, messages::kColumnOutOfBounds);
    for (int repeat = 0; repeat < 20; ++repeat) {
        LegendreBatchStream abandoned(p.basis, p.view(), times, repeat % 2 == 1, storage);
        (void)abandoned.next();
    }
    const D t = make_times(50000, p.basis);
    EXPECT_EQ(first_mismatch(batch(p, t, true), singles(p, t, true)), -1);
}

TEST(BatchEvaluation, ConcurrentCallersShareThePool) {
    const Problem p = make_problem(3, 1000, 1.0);
    const D times = make_times(200000, p.basis);
    const D values = singles(p, times, false);
    const D derivatives = singles(p, times, true);
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int r = 0; r < 5; ++r) {
                const bool derivative = (c + r) % 2 == 1;
                if (first_mismatch(batch(p, times, derivative), derivative ? derivatives : values) != -1) ++failures;
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0);
}

// fork() after the parent has used the pool, including while another parent
// thread is in the middle of a batch: the child (and its own child) computes
// correct batches without hanging, and exits normally.
TEST(BatchEvaluation, ForkedChildrenComputeBatches) {
    const Problem p = make_problem(3, 1000, 1.0);
    const D times = make_times(100000, p.basis);
    const D values = singles(p, times, false);
    const D derivatives = singles(p, times, true);
    ASSERT_EQ(first_mismatch(batch(p, times, false), values), -1);
    ASSERT_TRUE(worker_pool_created());

    auto child_work = [&]() -> bool {
        alarm(25);
        bool ok = !worker_pool_created() && wpi::forked_since_load();
        for (std::size_t n : {std::size_t{2048}, std::size_t{40000}, std::size_t{100000}}) {
            ok = ok && first_mismatch(batch(p, std::span(times).first(n), false),
                                      D(values.begin(), values.begin() + static_cast<long>(n))) == -1;
            ok = ok && first_mismatch(batch(p, std::span(times).first(n), true),
                                      D(derivatives.begin(), derivatives.begin() + static_cast<long>(n))) == -1;
        }
        return ok;
    };

    // Every fork happens while the busy thread's batch is in the middle of a
    // chunk on the pool: one chunk per batch announces itself and holds until
    // the fork is done.
    std::atomic<bool> stop{false};
    std::binary_semaphore in_chunk{0};
    std::binary_semaphore forked{0};
    const ColumnMajorView view = p.view();
    std::thread busy([&] {
        D out(times.size());
        while (!stop) {
            std::atomic<bool> announced{false};
            parallel_map(times.size(), LegendreBasis::kParallelThreshold, [&](std::size_t b, std::size_t e) {
                if (!stop && !announced.exchange(true)) {
                    in_chunk.release();
                    forked.acquire();
                }
                for (std::size_t i = b; i < e; ++i) out[i] = p.basis.evaluate_derivative(view, times[i]);
            });
        }
    });
    for (int round = 0; round < 10; ++round) {
        ASSERT_TRUE(in_chunk.try_acquire_for(std::chrono::seconds(30))) << "round " << round;
        const pid_t child = fork();
        forked.release();
        if (child == 0) {
            bool ok = child_work();
            if (round == 0) {  // a grandchild, forked from a process that ran batches on threads
                const pid_t grandchild = fork();
                if (grandchild == 0) _exit(child_work() ? 0 : 1);
                int status = 0;
                ok = ok && grandchild > 0 && waitpid(grandchild, &status, 0) == grandchild && WIFEXITED(status) &&
                     WEXITSTATUS(status) == 0;
            }
            // Odd rounds leave through exit(), running the static destructors
            // (not under LeakSanitizer, which would report the buffers of the
            // parent thread that did not survive the fork).
#ifndef TAVIK_SANITIZED
            if (round % 2 == 1) std::exit(ok ? 0 : 1);
#endif
            _exit(ok ? 0 : 1);
        }
        const bool ok = child > 0 && test::exited_ok(test::wait_with_timeout(child, 30));
        EXPECT_TRUE(ok) << "round " << round;
        if (!ok) break;
    }
    stop = true;
    forked.release();  // for a batch that announced itself after the last fork
    busy.join();
}

// ---------------------------------------------------------------------------
// Pool creation and size.


TEST(WorkerPool, CreatedByTheFirstLargeBatchOnly) {
    EXPECT_TRUE(test::run_fresh("FreshProcess.DISABLED_PoolCreatedByFirstLargeBatch"));
}

TEST(FreshProcess, DISABLED_PoolCreatedByFirstLargeBatch) {
    ASSERT_FALSE(worker_pool_created());
    const Problem p = make_problem(2, 4, 1.0);
    EXPECT_TRUE(batch(p, {}, false).empty());
    EXPECT_EQ(batch(p, make_times(2047, p.basis), true).size(), 2047u);
    EXPECT_FALSE(worker_pool_created());
    EXPECT_EQ(worker_pool_concurrency(), 0u);
    EXPECT_EQ(worker_pool_threads(), 0u);
    EXPECT_EQ(batch(p, make_times(2048, p.basis), false).size(), 2048u);
    EXPECT_TRUE(worker_pool_created());
    EXPECT_EQ(worker_pool_concurrency(), available_processors());
    EXPECT_EQ(worker_pool_threads(), available_processors() - 1);  // the caller makes up the rest
}

TEST(WorkerPool, OneProcessorProcessCompletesBatches) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    int cpu = 0;
    while (!CPU_ISSET(cpu, &set)) ++cpu;
    EXPECT_TRUE(test::run_fresh("FreshProcess.DISABLED_PinnedToOneProcessor", cpu));
}

TEST(FreshProcess, DISABLED_PinnedToOneProcessor) {
    ASSERT_EQ(processor_count::affinity_cpu_count(), 1u);
    EXPECT_EQ(available_processors(), 1u);  // unless OMP_NUM_THREADS says less
    const Problem p = make_problem(3, 100, 1.0);
    const D times = make_times(100000, p.basis);
    EXPECT_EQ(first_mismatch(batch(p, times, false), singles(p, times, false)), -1);
    EXPECT_EQ(worker_pool_concurrency(), 1u);
}

}  // namespace
}  // namespace tavik
