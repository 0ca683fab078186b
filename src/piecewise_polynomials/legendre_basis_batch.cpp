// Batch evaluation of a piecewise Legendre expansion at many times.
//
// Every element must come out bit for bit as the single-time evaluate /
// evaluate_derivative computes it, whichever thread, chunk and kernel
// variant computes it: the kernels (legendre_batch_kernels.hpp) are
// instantiated from the same formulas as the single-time operations. This
// file settles the batch's fixed inputs once and maps the kernel over the
// worker pool, in one go or piece by piece (LegendreBatchStream).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fatal_error.hpp"
#include "messages.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_batch_kernels.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace tavik {

namespace {

// The checks every batch makes before its first element, and the input of
// its kernels. `single` evaluates one time on its own.
template <class Single>
BatchInput batch_input(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                       Single single) {
    if (!times.empty() && (basis.n_t() == 0 || coeffs.cols() <= basis.degree())) {
        // Every element would fail; the first one, evaluated on its own,
        // fails with the same error the sequential loop would give.
        single(times[0]);
        fatal(messages::kColumnOutOfBounds);
    }
    return BatchInput{coeffs.data(),
                      coeffs.rows(),
                      basis.n_t(),
                      basis.degree(),
                      mesh_interval_length(basis.T(), basis.n_t()),
                      is_narrow_mesh(basis.n_t()),
                      coeffs.rows() < basis.n_t()};
}

template <class Single>
void evaluate_batch(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                    std::span<double> out, bool derivative, Single single) {
    const std::size_t n = times.size();
    if (out.size() != n) fatal(messages::kBatchStorageMismatch);
    const BatchInput in = batch_input(basis, coeffs, times, single);
    const BatchKernelFn kernel = select_batch_kernel(basis.degree(), derivative);
    const double* t = times.data();
    double* o = out.data();
    parallel_map(n, LegendreBasis::kParallelThreshold,
                 [&](std::size_t begin, std::size_t end) { kernel(in, t + begin, o + begin, end - begin); });
}

}  // namespace

struct LegendreBatchStream::Impl {
    Impl(const BatchInput& in_, BatchKernelFn range_, std::span<const double> times_, std::span<double> storage)
        : in(in_), range(range_), times(times_),
          buffers{storage.data(), storage.data() + storage_for(times_.size()) / 2},
          pieces(times_.size() < LegendreBasis::kParallelThreshold ? (times_.empty() ? 0 : 1)
                                                                   : (times_.size() + kPiece - 1) / kPiece) {}

    const BatchInput in;
    const BatchKernelFn range;
    const std::span<const double> times;
    double* const buffers[2];
    const std::size_t pieces;
    std::size_t delivered = 0;  // pieces returned by next()
    // The piece on the pool: its index, and the body its batch refers to.
    std::size_t running = 0;
    struct Body {
        const Impl* stream;
        const double* times;
        double* out;
        void operator()(std::size_t begin, std::size_t end) const {
            stream->range(stream->in, times + begin, out + begin, end - begin);
        }
    } body{};
    std::optional<PoolBatch> batch;

    std::span<const double> piece_times(std::size_t k) const {
        const std::size_t begin = k * kPiece;
        return times.subspan(begin, std::min(kPiece, times.size() - begin));
    }

    void start(std::size_t k) {
        const std::span<const double> t = piece_times(k);
        running = k;
        body = Body{this, t.data(), buffers[k % 2]};
        batch.emplace(t.size(), ChunkBody(body));
    }
};

LegendreBatchStream::LegendreBatchStream(const LegendreBasis& basis, const ColumnMajorView& coeffs,
                                         std::span<const double> times, bool derivative, std::span<double> storage) {
    const std::size_t n = times.size();
    if (storage.size() < storage_for(n)) fatal(messages::kBatchStorageMismatch);
    const BatchInput in =
        derivative ? batch_input(basis, coeffs, times, [&](double t) { (void)basis.evaluate_derivative(coeffs, t); })
                   : batch_input(basis, coeffs, times, [&](double t) { (void)basis.evaluate(coeffs, t); });
    impl_ = std::make_unique<Impl>(in, select_batch_kernel(basis.degree(), derivative),
                                   times, storage);
}

LegendreBatchStream::~LegendreBatchStream() = default;

std::span<const double> LegendreBatchStream::next() {
    Impl& s = *impl_;
    if (s.delivered == s.pieces) return {};
    const std::size_t k = s.delivered;
    const std::span<const double> t = s.piece_times(k);
    double* out = s.buffers[k % 2];
    if (s.times.size() < LegendreBasis::kParallelThreshold) {
        s.range(s.in, t.data(), out, t.size());  // a small batch never touches the pool
    } else {
        if (!s.batch) s.start(k);
        s.batch->wait();
        s.batch.reset();
        if (k + 1 < s.pieces) s.start(k + 1);
    }
    ++s.delivered;
    return {out, t.size()};
}

void LegendreBasis::evaluate_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                       std::span<double> out) const {
    evaluate_batch(*this, coeffs, times, out, false, [&](double t) { (void)evaluate(coeffs, t); });
}

void LegendreBasis::evaluate_derivative_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                                  std::span<double> out) const {
    evaluate_batch(*this, coeffs, times, out, true,
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
