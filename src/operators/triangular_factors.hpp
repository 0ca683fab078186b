// The matrices the dG marcher reads: the factors of a shifted system and
// the mass matrix M.
//
// Both copy every array they are given (indices and values) and check the
// indices once, when made: nothing a caller does to its arrays afterwards,
// even from another thread while a march runs, can move an access out of
// bounds or change a result.
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
// with n the length of lower_inverse. Throws FatalError (messages.hpp,
// "factor: ...") unless the sizes agree, each row holds its diagonal where
// stated and only columns on its side, and both permutations are
// permutations. Cost O(n + entries), with a copy of everything.
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
    std::vector<S> lower_values_, upper_values_, lower_inverse_, upper_inverse_;
};

extern template class TriangularFactors<double>;
extern template class TriangularFactors<std::complex<double>>;

// The matrix M (n x n) of the march, CSR with int64 row pointers and int32
// columns, all copied. Throws FatalError ("M: ...") unless the pointers
// start at 0, never decrease and end at the entry count, and every column is
// below n. Cost O(n + entries).
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
    std::vector<double> values_;
};

}  // namespace tavik
