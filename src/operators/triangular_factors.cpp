#include "operators/triangular_factors.hpp"

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "operators/march_arithmetic.hpp"

namespace tavik {

namespace {

using march_arithmetic::mul;

void require(bool condition, const char* message) {
    if (!condition) fatal(message);
}

template <class T>
std::vector<T> copied(std::span<const T> values) {
    return std::vector<T>(values.begin(), values.end());
}

// Row j's entries lie in [rows[j], rows[j + 1]), the diagonal first (upper)
// or last (lower), the other columns on the diagonal's side within 0 .. n-1.
void check_triangular(const std::vector<std::int64_t>& rows, const std::vector<std::int32_t>& columns,
                      std::size_t n, bool lower) {
    require(rows.size() == n + 1 && rows[0] == 0 && static_cast<std::size_t>(rows[n]) == columns.size(),
            messages::kFactorRows);
    for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t a = rows[j], b = rows[j + 1];
        require(a < b && b <= rows[n], messages::kFactorNoDiagonal);
        for (std::int64_t p = a; p < b; ++p) {
            const std::int32_t i = columns[p];
            const bool diagonal = lower ? p == b - 1 : p == a;
            require(diagonal ? i == static_cast<std::int32_t>(j)
                             : (lower ? i >= 0 && i < static_cast<std::int32_t>(j)
                                      : i > static_cast<std::int32_t>(j) && static_cast<std::size_t>(i) < n),
                    messages::kFactorNotTriangular);
        }
    }
}

void check_permutation(const std::vector<std::int32_t>& perm, std::size_t n) {
    require(perm.size() == n, messages::kFactorPermutationSize);
    std::vector<char> seen(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t v = perm[i];
        require(v >= 0 && static_cast<std::size_t>(v) < n && !seen[v], messages::kFactorNotPermutation);
        seen[v] = 1;
    }
}

// Row i of a triangular substitution, by gathering: z[i] = d (z[i] - the
// entries [first, last) times z at their columns), each column k summed in
// registers, two partial sums to shorten the chain of additions.
template <class S>
inline void substitute_row(S* z, std::size_t m, std::size_t i, const std::int32_t* columns, const S* values,
                           std::int64_t first, std::int64_t last, S d) {
    for (std::size_t k = 0; k < m; ++k) {
        S even{}, odd{};
        std::int64_t p = first;
        for (; p + 1 < last; p += 2) {
            even += mul(values[p], z[static_cast<std::size_t>(columns[p]) * m + k]);
            odd += mul(values[p + 1], z[static_cast<std::size_t>(columns[p + 1]) * m + k]);
        }
        if (p < last) even += mul(values[p], z[static_cast<std::size_t>(columns[p]) * m + k]);
        z[i * m + k] = mul(d, z[i * m + k] - (even + odd));
    }
}

}  // namespace

template <class S>
TriangularFactors<S>::TriangularFactors(std::span<const std::int64_t> lower_rows,
                                        std::span<const std::int32_t> lower_columns, std::span<const S> lower_values,
                                        std::span<const std::int64_t> upper_rows,
                                        std::span<const std::int32_t> upper_columns, std::span<const S> upper_values,
                                        std::span<const S> lower_inverse, std::span<const S> upper_inverse,
                                        std::span<const std::int32_t> in_perm, std::span<const std::int32_t> out_perm)
    : n_(lower_inverse.size()), lower_rows_(copied(lower_rows)), upper_rows_(copied(upper_rows)),
      lower_columns_(copied(lower_columns)), upper_columns_(copied(upper_columns)), in_perm_(copied(in_perm)),
      out_perm_(copied(out_perm)), lower_values_(copied(lower_values)), upper_values_(copied(upper_values)),
      lower_inverse_(copied(lower_inverse)), upper_inverse_(copied(upper_inverse)) {
    require(lower_columns_.size() == lower_values_.size() && upper_columns_.size() == upper_values_.size() &&
                upper_inverse_.size() == n_,
            messages::kFactorSizes);
    check_triangular(lower_rows_, lower_columns_, n_, true);
    check_triangular(upper_rows_, upper_columns_, n_, false);
    check_permutation(in_perm_, n_);
    check_permutation(out_perm_, n_);
}

template <class S>
void TriangularFactors<S>::solve(S* z, std::size_t m) const {
    const std::int64_t* Lp = lower_rows_.data();
    const std::int64_t* Up = upper_rows_.data();
    // Lo: the diagonal last in each row, applied as its inverse.
    for (std::size_t i = 0; i < n_; ++i) {
        substitute_row(z, m, i, lower_columns_.data(), lower_values_.data(), Lp[i], Lp[i + 1] - 1, lower_inverse_[i]);
    }
    // Up: the diagonal first in each row, rows from the last.
    for (std::size_t i = n_; i-- > 0;) {
        substitute_row(z, m, i, upper_columns_.data(), upper_values_.data(), Up[i] + 1, Up[i + 1], upper_inverse_[i]);
    }
}

template class TriangularFactors<double>;
template class TriangularFactors<std::complex<double>>;

MarchMatrix::MarchMatrix(std::span<const std::int64_t> rows, std::span<const std::int32_t> columns,
                         std::span<const double> values)
    : rows_(copied(rows)), columns_(copied(columns)), values_(copied(values)) {
    require(!rows_.empty() && rows_[0] == 0 && rows_.back() >= 0 &&
                static_cast<std::size_t>(rows_.back()) == columns_.size() && columns_.size() == values_.size(),
            messages::kMarchRows);
    const std::size_t n = rows_.size() - 1;
    for (std::size_t r = 0; r < n; ++r) require(rows_[r] <= rows_[r + 1], messages::kMarchRowsDecrease);
    for (const std::int32_t column : columns_) {
        require(column >= 0 && static_cast<std::size_t>(column) < n, messages::kMarchColumn);
    }
}

void MarchMatrix::multiply(const double* x, double* out, std::size_t m) const {
    const std::size_t n = size();
    for (std::size_t r = 0; r < n; ++r) {
        double* row = out + r * m;
        for (std::size_t k = 0; k < m; ++k) row[k] = 0.0;
        for (std::int64_t p = rows_[r]; p < rows_[r + 1]; ++p) {
            const double* source = x + static_cast<std::size_t>(columns_[p]) * m;
            for (std::size_t k = 0; k < m; ++k) row[k] += values_[p] * source[k];
        }
    }
}

}  // namespace tavik
