#include "sparse_matrix_tools/sparse_matrix.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "checked_size.hpp"
#include "fatal_error.hpp"

namespace tavik {

void CooMatrix::push(std::uint64_t row, std::uint64_t col, double value) {
    if (row >= nrows_ || col >= ncols_) {
        fatal("CooMatrix::push: entry (" + std::to_string(row) + ", " + std::to_string(col) +
              ") outside a " + std::to_string(nrows_) + " x " + std::to_string(ncols_) + " matrix");
    }
    row_indices_.push_back(row);
    col_indices_.push_back(col);
    values_.push_back(value);
}

void CooMatrix::reserve(std::uint64_t n) {
    checked_array_length<std::uint64_t>(n);
    row_indices_.reserve(n);
    col_indices_.reserve(n);
    values_.reserve(n);
}

Triplets CooMatrix::release_triplets() && noexcept {
    return Triplets{std::move(row_indices_), std::move(col_indices_), std::move(values_)};
}

CsrMatrix::CsrMatrix(std::uint64_t nrows, std::uint64_t ncols)
    : nrows_(nrows),
      ncols_(ncols),
      row_offsets_(checked_array_length<std::uint64_t>(checked_add(nrows, 1)), 0) {}

CsrMatrix::CsrMatrix(std::uint64_t nrows, std::uint64_t ncols, std::vector<std::uint64_t> row_offsets,
                     std::vector<std::uint64_t> col_indices, std::vector<double> values) noexcept
    : nrows_(nrows),
      ncols_(ncols),
      row_offsets_(std::move(row_offsets)),
      col_indices_(std::move(col_indices)),
      values_(std::move(values)) {}

CsrMatrix CsrMatrix::from_parts(std::uint64_t nrows, std::uint64_t ncols,
                                std::vector<std::uint64_t> row_offsets,
                                std::vector<std::uint64_t> col_indices, std::vector<double> values) {
    // nrows + 1 may wrap to 0 for nrows = 2^64 - 1; no array can be that long.
    if (nrows == UINT64_MAX || row_offsets.size() != nrows + 1) {
        fatal("invalid CSR matrix: row_offsets must have nrows + 1 elements");
    }
    if (values.size() != col_indices.size()) {
        fatal("invalid CSR matrix: values and col_indices differ in length");
    }
    if (row_offsets.front() != 0 || row_offsets.back() != col_indices.size()) {
        fatal("invalid CSR matrix: row_offsets must start at 0 and end at the entry count");
    }
    // Offsets first: only non-decreasing offsets ending at nnz keep every
    // row's range inside the entry arrays.
    for (std::uint64_t r = 0; r < nrows; ++r) {
        if (row_offsets[r + 1] < row_offsets[r]) {
            fatal("invalid CSR matrix: row_offsets decrease at row " + std::to_string(r));
        }
    }
    for (std::uint64_t r = 0; r < nrows; ++r) {
        const std::uint64_t begin = row_offsets[r];
        const std::uint64_t end = row_offsets[r + 1];
        for (std::uint64_t p = begin; p < end; ++p) {
            if (col_indices[p] >= ncols) {
                fatal("invalid CSR matrix: column index out of bounds in row " + std::to_string(r));
            }
            if (p > begin && col_indices[p] <= col_indices[p - 1]) {
                fatal("invalid CSR matrix: columns not strictly increasing in row " + std::to_string(r));
            }
        }
    }
    return CsrMatrix(nrows, ncols, std::move(row_offsets), std::move(col_indices), std::move(values));
}

CsrMatrix coo_to_csr(const CooMatrix& coo) {
    const std::uint64_t nrows = coo.nrows();
    const std::uint64_t nnz = coo.nnz();
    const std::vector<std::uint64_t>& rows = coo.row_indices();
    const std::vector<std::uint64_t>& cols = coo.col_indices();
    const std::vector<double>& vals = coo.values();

    // Bucket the entries by row with a counting pass rather than a global
    // sort, so the cost is linear in rows + entries. offsets[r + 1] counts
    // row r; the prefix sum turns offsets[r] into the start of row r.
    std::vector<std::uint64_t> offsets(checked_array_length<std::uint64_t>(checked_add(nrows, 1)), 0);
    for (std::uint64_t p = 0; p < nnz; ++p) ++offsets[rows[p] + 1];
    for (std::uint64_t r = 0; r < nrows; ++r) offsets[r + 1] += offsets[r];

    struct Entry {
        std::uint64_t col;
        double value;
    };
    std::vector<Entry> bucketed(nnz);
    // offsets[r] serves as the fill cursor of row r; afterwards it holds the
    // end of row r, i.e. the start of row r + 1, and is shifted back.
    for (std::uint64_t p = 0; p < nnz; ++p) bucketed[offsets[rows[p]]++] = Entry{cols[p], vals[p]};
    for (std::uint64_t r = nrows; r > 0; --r) offsets[r] = offsets[r - 1];
    offsets[0] = 0;

    // Sort each row by column and fold runs of equal columns into one entry.
    // Merging only shrinks, so the output never overtakes the input and the
    // row starts can be rewritten in place.
    std::vector<std::uint64_t> out_cols(nnz);
    std::vector<double> out_vals(nnz);
    std::uint64_t out = 0;
    std::uint64_t begin = 0;
    for (std::uint64_t r = 0; r < nrows; ++r) {
        const std::uint64_t end = offsets[r + 1];
        offsets[r] = out;
        std::sort(bucketed.begin() + static_cast<std::ptrdiff_t>(begin),
                  bucketed.begin() + static_cast<std::ptrdiff_t>(end),
                  [](const Entry& x, const Entry& y) { return x.col < y.col; });
        for (std::uint64_t p = begin; p < end; ++p) {
            if (p > begin && bucketed[p].col == out_cols[out - 1]) {
                out_vals[out - 1] += bucketed[p].value;
            } else {
                out_cols[out] = bucketed[p].col;
                out_vals[out] = bucketed[p].value;
                ++out;
            }
        }
        begin = end;
    }
    offsets[nrows] = out;
    out_cols.resize(out);
    out_vals.resize(out);
    out_cols.shrink_to_fit();
    out_vals.shrink_to_fit();
    return CsrMatrix(nrows, coo.ncols(), std::move(offsets), std::move(out_cols), std::move(out_vals));
}

CooMatrix csr_to_coo(const CsrMatrix& csr) {
    CooMatrix coo(csr.nrows(), csr.ncols());
    coo.reserve(csr.nnz());
    const std::vector<std::uint64_t>& offsets = csr.row_offsets();
    const std::vector<std::uint64_t>& cols = csr.col_indices();
    const std::vector<double>& vals = csr.values();
    for (std::uint64_t r = 0; r < csr.nrows(); ++r) {
        for (std::uint64_t p = offsets[r]; p < offsets[r + 1]; ++p) coo.push(r, cols[p], vals[p]);
    }
    return coo;
}

}  // namespace tavik
