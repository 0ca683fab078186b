// Batch evaluation of a piecewise Legendre expansion at many times.
//
// Every element must come out bit for bit as the single-time evaluate /
// evaluate_derivative (legendre_basis.cpp) computes it, whichever thread and
// whichever chunk computes it. The kernels below therefore repeat the
// single-time arithmetic operation by operation, in the same order, with no
// reassociation and no contraction into FMA (the build passes
// -ffp-contract=off); they only change how it is scheduled:
//  - h = T / n_t and the coefficient-matrix shape are settled once per batch;
//  - times are taken in blocks of kBlock, two per SSE2 register, so that the
//    long division chains of the Legendre recurrence of several times
//    overlap. Each lane performs exactly the scalar operations on its own time.
// The batch tests compare the two paths bit for bit (any NaN matching any NaN).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "fatal_error.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace tavik {

namespace {

typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef std::uint64_t PairBits __attribute__((vector_size(2 * sizeof(double))));

constexpr int kPairs = 4;
constexpr std::size_t kBlock = 2 * kPairs;

[[gnu::always_inline]] inline Pair broadcast(double x) noexcept { return Pair{x, x}; }

// |x| per lane, as std::fabs: clears the sign bit and nothing else.
[[gnu::always_inline]] inline Pair abs_lanes(Pair x) noexcept {
    return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(x) & PairBits{~(1ULL << 63), ~(1ULL << 63)});
}

// Everything a block of times needs besides the times, fixed for the batch.
struct BatchInput {
    const double* coeffs;
    std::uint64_t rows;  // row count of the matrix = column stride
    std::uint64_t n_t;
    std::uint64_t degree;
    double h;
    bool check_rows;  // the matrix has fewer than n_t rows
};

// The located times of one block: column pointers to interval c's row of the
// coefficient matrix, and the local coordinates, two per register.
struct LocatedBlock {
    const double* row[kBlock];
    Pair xi[kPairs];
};

// uniform_mesh.hpp's locate_in_mesh for kBlock times, in the same operations.
[[gnu::always_inline]] inline void locate_block(const BatchInput& in, const double* t, LocatedBlock& out) {
    const Pair h = broadcast(in.h);
    const Pair lower = broadcast(-1.0);
    const Pair upper = broadcast(1.0);
#pragma GCC unroll 8
    for (int p = 0; p < kPairs; ++p) {
        const Pair tp = {t[2 * p], t[2 * p + 1]};
        const Pair q = tp / h;
        std::uint64_t c[2];
        for (int lane = 0; lane < 2; ++lane) {
            const std::uint64_t j = saturating_floor_to_u64(q[lane]);
            c[lane] = j < in.n_t ? j : in.n_t - 1;
            if (in.check_rows && c[lane] >= in.rows) fatal("Matrix slicing out of bounds.");
            out.row[2 * p + lane] = in.coeffs + c[lane];
        }
        const Pair a = h * Pair{static_cast<double>(c[0]), static_cast<double>(c[1])};
        const Pair b = h + a;
        const Pair s = a + b;
        const Pair u = tp + s * -0.5;
        const Pair xi = (u + u) / (b - a);
        out.xi[p] = xi < lower ? lower : (xi > upper ? upper : xi);
    }
}

[[gnu::always_inline]] inline Pair gather(const LocatedBlock& block, int p, std::uint64_t offset) noexcept {
    return Pair{block.row[2 * p][offset], block.row[2 * p + 1][offset]};
}

// evaluate: S = sum_k P_k(xi) * coefficient(c, k), from -0.0, k increasing;
// P_k by the recurrence of legendre_polynomials.hpp.
struct ValueKernel {
    [[gnu::always_inline]] static inline void block(const BatchInput& in, const double* t, double* out) {
        LocatedBlock located;
        locate_block(in, t, located);
        Pair previous[kPairs], current[kPairs], sum[kPairs];
#pragma GCC unroll 8
        for (int p = 0; p < kPairs; ++p) {
            previous[p] = broadcast(1.0);
            current[p] = broadcast(1.0);
            sum[p] = broadcast(-0.0);
        }
        for (std::uint64_t k = 0;; ++k) {
            const std::uint64_t offset = k * in.rows;
#pragma GCC unroll 8
            for (int p = 0; p < kPairs; ++p) sum[p] = sum[p] + current[p] * gather(located, p, offset);
            if (k == in.degree) break;
            if (k == 0) {
#pragma GCC unroll 8
                for (int p = 0; p < kPairs; ++p) {
                    previous[p] = current[p];
                    current[p] = located.xi[p];
                }
            } else {
                const double j = static_cast<double>(k);
                const double odd = j + j + 1.0;
                const double next_degree = j + 1.0;
#pragma GCC unroll 8
                for (int p = 0; p < kPairs; ++p) {
                    const Pair next = (current[p] * (located.xi[p] * odd) - previous[p] * j) / next_degree;
                    previous[p] = current[p];
                    current[p] = next;
                }
            }
        }
        std::memcpy(out, sum, sizeof sum);
    }
};

// evaluate_derivative: S' = sum_k P_k'(xi) * coefficient(c, k), from -0.0,
// k increasing, returned as (S' + S') / h. P_k' as legendre_basis.cpp's
// for_each_legendre_derivative computes it: 0, 1, then the quotient
// ((xi * P_k - P_(k-1)) * k) / ((xi * xi - 1) + 1e-15), except within 1/1024
// of +-1, where the recurrence P'_(k+1) = P'_(k-1) + (2k + 1) P_k takes over.
// Both candidates are computed for every lane and each lane keeps its own.
struct DerivativeKernel {
    [[gnu::always_inline]] static inline void block(const BatchInput& in, const double* t, double* out) {
        LocatedBlock located;
        locate_block(in, t, located);
        Pair previous[kPairs], current[kPairs], sum[kPairs];
        Pair d_previous[kPairs], d_current[kPairs], denominator[kPairs];
        decltype(Pair{} < Pair{}) near_end[kPairs];
#pragma GCC unroll 8
        for (int p = 0; p < kPairs; ++p) {
            const Pair xi = located.xi[p];
            previous[p] = broadcast(1.0);
            current[p] = broadcast(1.0);
            sum[p] = broadcast(-0.0);
            d_previous[p] = broadcast(0.0);
            d_current[p] = broadcast(0.0);
            near_end[p] = (1.0 - abs_lanes(xi)) < (1.0 / 1024.0);
            denominator[p] = (xi * xi - 1.0) + 1e-15;
        }
        for (std::uint64_t k = 0;; ++k) {
            const std::uint64_t offset = k * in.rows;
            const double kd = static_cast<double>(k);
#pragma GCC unroll 8
            for (int p = 0; p < kPairs; ++p) {
                Pair dk;
                if (k == 0) {
                    dk = broadcast(0.0);
                } else if (k == 1) {
                    dk = broadcast(1.0);
                } else {
                    const Pair quotient = ((located.xi[p] * current[p] - previous[p]) * kd) / denominator[p];
                    dk = near_end[p] ? d_current[p] : quotient;
                }
                sum[p] = sum[p] + dk * gather(located, p, offset);
            }
            if (k == in.degree) break;
            const double odd = kd + kd + 1.0;
#pragma GCC unroll 8
            for (int p = 0; p < kPairs; ++p) {
                const Pair next = k == 0 ? broadcast(1.0) : d_previous[p] + odd * current[p];
                d_previous[p] = d_current[p];
                d_current[p] = next;
            }
            if (k == 0) {
#pragma GCC unroll 8
                for (int p = 0; p < kPairs; ++p) {
                    previous[p] = current[p];
                    current[p] = located.xi[p];
                }
            } else {
                const double next_degree = kd + 1.0;
#pragma GCC unroll 8
                for (int p = 0; p < kPairs; ++p) {
                    const Pair next = (current[p] * (located.xi[p] * odd) - previous[p] * kd) / next_degree;
                    previous[p] = current[p];
                    current[p] = next;
                }
            }
        }
        const Pair h = broadcast(in.h);
#pragma GCC unroll 8
        for (int p = 0; p < kPairs; ++p) {
            const Pair result = (sum[p] + sum[p]) / h;
            std::memcpy(out + 2 * p, &result, sizeof result);
        }
    }
};

// Elements [begin, end) in blocks; a short tail is padded with copies of its
// first time (which is evaluated anyway, so the padding cannot fail where the
// real elements would not) and only the real results are kept.
template <class Kernel>
void evaluate_range(const BatchInput& in, const double* times, double* out, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    for (; end - i >= kBlock; i += kBlock) Kernel::block(in, times + i, out + i);
    if (i < end) {
        const std::size_t rest = end - i;
        double t[kBlock];
        double values[kBlock];
        for (std::size_t l = 0; l < kBlock; ++l) t[l] = times[i + (l < rest ? l : 0)];
        Kernel::block(in, t, values);
        std::memcpy(out + i, values, rest * sizeof(double));
    }
}

// The checks every batch makes before its first element, and the input of
// its kernels. `single` evaluates one time on its own.
template <class Single>
BatchInput batch_input(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                       Single single) {
    if (!times.empty() && (basis.n_t() == 0 || coeffs.cols() <= basis.degree())) {
        // Every element would fail; the first one, evaluated on its own,
        // fails with the same error the sequential loop would give.
        single(times[0]);
        fatal("Matrix index out of bounds.");
    }
    return BatchInput{coeffs.data(), coeffs.rows(), basis.n_t(), basis.degree(),
                      mesh_interval_length(basis.T(), basis.n_t()), coeffs.rows() < basis.n_t()};
}

constexpr const char kStorageMismatch[] = "batch evaluation: result storage does not match the number of times";

template <class Kernel, class Single>
void evaluate_batch(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                    std::span<double> out, Single single) {
    const std::size_t n = times.size();
    if (out.size() != n) fatal(kStorageMismatch);
    const BatchInput in = batch_input(basis, coeffs, times, single);
    const double* t = times.data();
    double* o = out.data();
    parallel_map(n, LegendreBasis::kParallelThreshold,
                 [&](std::size_t begin, std::size_t end) { evaluate_range<Kernel>(in, t, o, begin, end); });
}

using RangeKernel = void (*)(const BatchInput&, const double*, double*, std::size_t, std::size_t);

}  // namespace

struct LegendreBatchStream::Impl {
    Impl(const BatchInput& in_, RangeKernel range_, std::span<const double> times_, std::span<double> storage)
        : in(in_), range(range_), times(times_),
          buffers{storage.data(), storage.data() + storage_for(times_.size()) / 2},
          next_size(first_piece_size(times_.size())) {}

    const BatchInput in;
    const RangeKernel range;
    const std::span<const double> times;
    double* const buffers[2];
    std::size_t delivered = 0;  // times returned by next()
    std::size_t next_begin = 0;  // first time of the piece to start next
    std::size_t next_size;       // and its size, if that many are left
    // The piece on the pool, and the body its batch refers to.
    struct Body {
        const Impl* stream;
        const double* times;
        double* out;
        std::size_t size;
        void operator()(std::size_t begin, std::size_t end) const {
            stream->range(stream->in, times, out, begin, end);
        }
    } body{};
    std::optional<PoolBatch> batch;

    void start_next() {
        const std::span<const double> t = times.subspan(next_begin, std::min(next_size, times.size() - next_begin));
        double* out = body.out == buffers[0] ? buffers[1] : buffers[0];
        body = Body{this, t.data(), out, t.size()};
        batch.emplace(t.size(), ChunkBody(body));
        next_begin += t.size();
        next_size = std::min(2 * next_size, kPiece);
    }
};

LegendreBatchStream::LegendreBatchStream(const LegendreBasis& basis, const ColumnMajorView& coeffs,
                                         std::span<const double> times, bool derivative, std::span<double> storage) {
    const std::size_t n = times.size();
    if (storage.size() < storage_for(n)) fatal(kStorageMismatch);
    const BatchInput in =
        derivative ? batch_input(basis, coeffs, times, [&](double t) { (void)basis.evaluate_derivative(coeffs, t); })
                   : batch_input(basis, coeffs, times, [&](double t) { (void)basis.evaluate(coeffs, t); });
    impl_ = std::make_unique<Impl>(in, derivative ? &evaluate_range<DerivativeKernel> : &evaluate_range<ValueKernel>,
                                   times, storage);
}

LegendreBatchStream::~LegendreBatchStream() = default;

std::span<const double> LegendreBatchStream::next() {
    Impl& s = *impl_;
    const std::size_t n = s.times.size();
    if (s.delivered == n) return {};
    if (n < LegendreBasis::kParallelThreshold) {  // a small batch never touches the pool
        s.range(s.in, s.times.data(), s.buffers[0], 0, n);
        s.delivered = n;
        return {s.buffers[0], n};
    }
    if (!s.batch) s.start_next();
    const Impl::Body piece = s.body;
    s.batch->wait();
    s.batch.reset();
    if (s.next_begin < n) s.start_next();
    s.delivered += piece.size;
    return {piece.out, piece.size};
}

void LegendreBasis::evaluate_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                       std::span<double> out) const {
    evaluate_batch<ValueKernel>(*this, coeffs, times, out, [&](double t) { (void)evaluate(coeffs, t); });
}

void LegendreBasis::evaluate_derivative_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                                  std::span<double> out) const {
    evaluate_batch<DerivativeKernel>(*this, coeffs, times, out,
                                     [&](double t) { (void)evaluate_derivative(coeffs, t); });
}

std::vector<double> LegendreBasis::evaluate_many(const ColumnMajorView& coeffs, std::span<const double> times) const {
    std::vector<double> out(times.size());
    evaluate_many_into(coeffs, times, out);
    return out;
}

std::vector<double> LegendreBasis::evaluate_derivative_many(const ColumnMajorView& coeffs,
                                                            std::span<const double> times) const {
    std::vector<double> out(times.size());
    evaluate_derivative_many_into(coeffs, times, out);
    return out;
}

}  // namespace tavik
