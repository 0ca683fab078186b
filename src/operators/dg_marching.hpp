// The interval loop of the decoupled dG(q) stepper.
//
// The caller factorises each shifted system B_j = lambda_j M + A once and
// hands over B_j = P_out^T Lo Up P_in^T: a lower triangular factor Lo (by
// rows, the diagonal last in each row), an upper one Up (by rows, the
// diagonal first), the inverses of both diagonals and the two permutations.
// Per interval the loop forms M u_prev, solves every shift with its factors
// (shift j > 0 on a thread of its own when asked: the shifts of one interval
// are independent) and sums the end value in a fixed order, so the bits do
// not depend on the threads.
//
// Index arrays are copied and checked when the objects below are made, so
// nothing a caller does to its arrays afterwards (even from another thread
// while the loop runs) moves an access out of bounds; values are read where
// they are: changing them changes results, never addresses.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavik {

// One shifted system's factors B = P_out^T Lo Up P_in^T of size n.
// Inputs: Lo as CSR rows (n + 1 int64 pointers, int32 columns, values), the
// diagonal last in each row; Up likewise, the diagonal first; the inverses of
// both diagonals (n each); in_perm and out_perm (permutations of 0 .. n-1),
// with n the length of lower_inverse. The index arrays are copied; the value
// arrays are viewed and must outlive this object. Throws FatalError
// (messages.hpp, "factor: ...") unless the sizes agree, each row holds its
// diagonal where stated and only columns on its side, and both permutations
// are permutations. Cost O(n + entries), with a copy of the indices.
template <class S>
class TriangularFactors {
public:
    TriangularFactors(std::span<const std::int64_t> lower_rows, std::span<const std::int32_t> lower_columns,
                      std::span<const S> lower_values, std::span<const std::int64_t> upper_rows,
                      std::span<const std::int32_t> upper_columns, std::span<const S> upper_values,
                      std::span<const S> lower_inverse, std::span<const S> upper_inverse,
                      std::span<const std::int32_t> in_perm, std::span<const std::int32_t> out_perm);

    std::size_t size() const { return n_; }

    // z (n, m) in place: z <- Up^{-1} Lo^{-1} z, the rows already permuted
    // by in_perm. Checked preconditions: none (the caller sizes z).
    void solve(S* z, std::size_t m) const;

    std::int32_t in_row(std::size_t i) const { return in_perm_[i]; }
    std::int32_t out_row(std::size_t i) const { return out_perm_[i]; }

private:
    std::size_t n_;
    std::vector<std::int64_t> lower_rows_, upper_rows_;
    std::vector<std::int32_t> lower_columns_, upper_columns_, in_perm_, out_perm_;
    std::span<const S> lower_values_, upper_values_, lower_inverse_, upper_inverse_;
};

extern template class TriangularFactors<double>;
extern template class TriangularFactors<std::complex<double>>;

// The matrix M (n x n) of the loop, CSR with int64 row pointers and int32
// columns; pointers and columns copied, values viewed (they must outlive
// this object). Throws FatalError ("M: ...") unless the pointers start at 0,
// never decrease and end at the entry count, and every column is below n.
// Cost O(n + entries).
class MarchMatrix {
public:
    MarchMatrix(std::span<const std::int64_t> rows, std::span<const std::int32_t> columns,
                std::span<const double> values);

    std::size_t size() const { return rows_.size() - 1; }

    // out (n, m) = M x (n, m); each entry summed in the order of the row.
    void multiply(const double* x, double* out, std::size_t m) const;

private:
    std::vector<std::int64_t> rows_;
    std::vector<std::int32_t> columns_;
    std::span<const double> values_;
};

// One shift's part in the loop: its factors, its work (count, n m) in C
// order, whose row t holds the transformed load of interval t on entry and
// the shift's solution on return, the scalar `coupling` (times M u_prev into
// the right-hand side) and `ends` (the solution's weight in the end value,
// real part only).
template <class S>
struct MarchShift {
    const TriangularFactors<S>* factors;
    std::span<S> work;
    S coupling;
    S ends;
};

// The decoupled loop over `count` intervals. end (rows x m, C order): in,
// the value before the first interval; out, after the last. Per interval:
// M u_prev, then every shift solves rhs = work[t] + coupling M u_prev in
// place of work[t] (on threads of their own if `concurrent`; a thread that
// cannot be started leaves the loop to run in turn), then the end value is
// the sum over the shifts of Re(ends * solution), in shift order, real
// shifts first. Throws FatalError before any work unless rows == M.size()
// ("M: indptr does not match"), end holds rows * m values, every factor
// exists and has M's size, every work holds count * rows * m values, and
// there is at least one shift ("capacity overflow" when a product does not
// fit 64 bits). Allocates before the loop; the loop neither
// allocates nor throws. The caller keeps every array alive and unaliased
// for the call. Cost: count times (entries of M + of the factors) times m.
void march_decoupled(const MarchMatrix& M, std::span<const MarchShift<double>> real_shifts,
                     std::span<const MarchShift<std::complex<double>>> complex_shifts, std::span<double> end,
                     std::size_t rows, std::size_t m, std::size_t count, bool concurrent);

}  // namespace tavik
