// Discontinuous piecewise Legendre basis on a uniform time mesh.
//
// Conventions:
//  - [0, T] is cut into n_t intervals of length h = T / n_t (uniform_mesh.hpp);
//    on interval c the local coordinate xi runs from -1 at the left end to 1
//    at the right end.
//  - Every interval carries the unnormalised Legendre polynomials
//    P_0 ... P_degree of xi; outside its interval a basis function is zero.
//  - Basis function (interval i, degree k) has global index i + n_t * k: the
//    interval index varies fastest. Coefficient matrices use the same order
//    (n_t rows, degree + 1 columns, column-major), so a flat coefficient list
//    from Python is exactly the matrix storage.
//  - Times outside [0, T] are clamped to the nearest mesh end: the piecewise
//    polynomial and its derivative are continued by their end values.
//  - Derivatives at an inner node are the one-sided derivatives of the
//    interval the node belongs to (the interval on its right when t / h is
//    exactly the node index).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tavik {

// Read-only view of a column-major coefficient matrix owned by the caller.
class ColumnMajorView {
public:
    ColumnMajorView(const double* data, std::uint64_t rows, std::uint64_t cols) noexcept
        : data_(data), rows_(rows), cols_(cols) {}

    // The n_t x (degree + 1) coefficient matrix of a basis over the front of
    // `data`; "too small" also when n_t * (degree + 1) exceeds 64 bits.
    static ColumnMajorView for_basis(std::span<const double> data, std::uint64_t n_t, std::uint64_t degree);

    const double* data() const noexcept { return data_; }
    std::uint64_t rows() const noexcept { return rows_; }
    std::uint64_t cols() const noexcept { return cols_; }

private:
    const double* data_;
    std::uint64_t rows_;
    std::uint64_t cols_;
};

class LegendreBasis {
public:
    // Stores the values as given; accepts anything, including n_t = 0, which
    // every evaluation then refuses.
    LegendreBasis(std::uint64_t degree, std::uint64_t n_t, double T) noexcept
        : degree_(degree), n_t_(n_t), T_(T) {}

    std::uint64_t degree() const noexcept { return degree_; }
    std::uint64_t n_t() const noexcept { return n_t_; }
    double T() const noexcept { return T_; }

    // n_t * (degree + 1), or a fatal kCapacityOverflow when that many
    // doubles cannot be described as one allocation.
    std::uint64_t n_basis_functions() const;

    // Value at t of the piecewise polynomial with coefficient matrix `coeffs`
    // (needs more than c rows and at least degree + 1 columns, c the located
    // interval). Sum over k in increasing order from -0.0. O(degree), no
    // allocation.
    double evaluate(const ColumnMajorView& coeffs, double t) const;

    // Time derivative at t: (2 * sum_k P_k'(xi) * coeff(c, k)) / h.
    // O(degree), no allocation.
    double evaluate_derivative(const ColumnMajorView& coeffs, double t) const;

    // All n_t * (degree + 1) basis functions at t, global-index order; at most
    // degree + 1 entries are non-zero. Allocates and zeroes the full vector.
    std::vector<double> evaluate_all_basis_functions(double t) const;

    // Time derivatives of all basis functions at t, same layout.
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;

    // Batch forms (legendre_basis_batch.cpp): element i equals evaluate /
    // evaluate_derivative at times[i], bit for bit, whatever path or worker
    // count computed it. Fewer than kParallelThreshold times run on the
    // calling thread without touching the worker pool; larger batches are
    // mapped over the pool (worker_pool.hpp). The result is allocated once
    // with its final size; times are read in place. A failing element fails
    // the whole batch with the error the element-by-element loop would raise.
    static constexpr std::size_t kParallelThreshold = 2048;
    std::vector<double> evaluate_many(const ColumnMajorView& coeffs, std::span<const double> times) const;
    std::vector<double> evaluate_derivative_many(const ColumnMajorView& coeffs,
                                                 std::span<const double> times) const;
    // As above, writing into caller-provided storage of exactly times.size()
    // elements (callers that reuse their storage avoid faulting in fresh pages).
    void evaluate_many_into(const ColumnMajorView& coeffs, std::span<const double> times, std::span<double> out) const;
    void evaluate_derivative_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                       std::span<double> out) const;

private:
    void require_intervals() const;
    void check_shape(const ColumnMajorView& coeffs, std::uint64_t row) const;

    std::uint64_t degree_;
    std::uint64_t n_t_;
    double T_;
};

// A batch evaluation delivered in bounded pieces, in order, for a consumer
// that turns each piece into something else while the pool computes the
// next one (the Python binding builds floats from piece k meanwhile).
// Inputs: the basis, coefficients and times of evaluate_many /
// evaluate_derivative_many (all must outlive the stream and stay unchanged),
// and `storage` of at least storage_for(times.size()) doubles, which holds
// the piece being delivered and the one being computed. Every value is bit
// for bit what evaluate_many would return. A batch below kParallelThreshold
// is one piece computed on the calling thread. Larger ones are pieces
// computed on the pool, growing from first_piece_size(n) by doubling up to
// kPiece times: a small first piece lets the consumer start early, large
// later ones keep the hand-overs few (each may wait for a worker that the
// system has descheduled). The failures of evaluate_many are raised by the
// constructor (a matrix that fits no time) or by next() (the first failing
// element of the piece, so pieces before it have been delivered). Memory:
// two pieces, whatever the batch.
class LegendreBatchStream {
public:
    static constexpr std::size_t kPiece = std::size_t{1} << 17;
    static constexpr std::size_t first_piece_size(std::size_t n) noexcept {
        constexpr std::size_t kSmallest = LegendreBasis::kParallelThreshold, kLargest = 4 * kSmallest;
        return n / 8 < kSmallest ? kSmallest : (n / 8 > kLargest ? kLargest : n / 8);
    }
    static constexpr std::size_t storage_for(std::size_t n) noexcept {
        return n < LegendreBasis::kParallelThreshold ? n : 2 * (n < kPiece ? n : kPiece);
    }

    LegendreBatchStream(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                        bool derivative, std::span<double> storage);
    ~LegendreBatchStream();
    LegendreBatchStream(const LegendreBatchStream&) = delete;
    LegendreBatchStream& operator=(const LegendreBatchStream&) = delete;

    // The values of the next piece, valid until the following call; empty
    // once every value has been delivered. Blocks until the piece is
    // computed (call it without holding locks other threads need), and
    // hands the piece after it to the pool before returning.
    std::span<const double> next();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavik
