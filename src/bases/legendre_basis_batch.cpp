// Batch evaluation of a piecewise Legendre expansion at many times.
//
// Every element must come out bit for bit as the single-time evaluate /
// evaluate_derivative computes it, whichever thread, chunk and kernel
// variant computes it: the kernels (kernels/kernels.hpp) are
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
#include "bases/legendre_basis.hpp"
#include "kernels/kernels.hpp"
#include "formulas/uniform_mesh.hpp"
#include "parallel/worker_pool.hpp"

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
    // The flat matrix: interval stride 1, degree stride its row count.
    return BatchInput{coeffs.data(),
                      1,
                      coeffs.rows(),
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
          next_size(first_piece_size(times_.size())) {}

    const BatchInput in;
    const BatchKernelFn range;
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
            stream->range(stream->in, times + begin, out + begin, end - begin);
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
    const std::size_t n = s.times.size();
    if (s.delivered == n) return {};
    if (n < LegendreBasis::kParallelThreshold) {  // a small batch never touches the pool
        s.range(s.in, s.times.data(), s.buffers[0], n);
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
