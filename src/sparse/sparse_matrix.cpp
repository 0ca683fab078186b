#include "sparse/sparse_matrix.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

void CooMatrix::fail_push(std::uint64_t row, std::uint64_t col) const {
    fatal(messages::coo_entry_outside(row, col, nrows_, ncols_));
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
        fatal(messages::kCsrOffsetCount);
    }
    if (values.size() != col_indices.size()) {
        fatal(messages::kCsrLengths);
    }
    if (row_offsets.front() != 0 || row_offsets.back() != col_indices.size()) {
        fatal(messages::kCsrOffsetEnds);
    }
    // Offsets first: only non-decreasing offsets ending at nnz keep every
    // row's range inside the entry arrays.
    for (std::uint64_t r = 0; r < nrows; ++r) {
        if (row_offsets[r + 1] < row_offsets[r]) {
            fatal(messages::kCsrOffsetsDecrease + std::to_string(r));
        }
    }
    for (std::uint64_t r = 0; r < nrows; ++r) {
        const std::uint64_t begin = row_offsets[r];
        const std::uint64_t end = row_offsets[r + 1];
        for (std::uint64_t p = begin; p < end; ++p) {
            if (col_indices[p] >= ncols) {
                fatal(messages::kCsrColumnOutOfBounds + std::to_string(r));
            }
            if (p > begin && col_indices[p] <= col_indices[p - 1]) {
                fatal(messages::kCsrColumnsUnsorted + std::to_string(r));
            }
        }
    }
    return CsrMatrix(nrows, ncols, std::move(row_offsets), std::move(col_indices), std::move(values));
}

namespace {

// Sorts entries [begin, end) of a row by column. Rows here are short (at
// most a few dozen entries), so insertion sort on the two parallel arrays is
// the fast choice; long rows go through std::sort on pairs.
void sort_row(std::vector<std::uint64_t>& cols, std::vector<double>& vals, std::uint64_t begin, std::uint64_t end) {
    constexpr std::uint64_t kInsertionLimit = 32;
    if (end - begin <= kInsertionLimit) {
        for (std::uint64_t p = begin + 1; p < end; ++p) {
            const std::uint64_t c = cols[p];
            const double v = vals[p];
            std::uint64_t q = p;
            for (; q > begin && cols[q - 1] > c; --q) {
                cols[q] = cols[q - 1];
                vals[q] = vals[q - 1];
            }
            cols[q] = c;
            vals[q] = v;
        }
        return;
    }
    struct Entry {
        std::uint64_t col;
        double value;
    };
    std::vector<Entry> row(end - begin);
    for (std::uint64_t p = begin; p < end; ++p) row[p - begin] = Entry{cols[p], vals[p]};
    std::sort(row.begin(), row.end(), [](const Entry& x, const Entry& y) { return x.col < y.col; });
    for (std::uint64_t p = begin; p < end; ++p) {
        cols[p] = row[p - begin].col;
        vals[p] = row[p - begin].value;
    }
}

// Frees the slack of an array that ended up much shorter than its capacity.
template <class T>
void trim(std::vector<T>& v) {
    if (v.capacity() - v.size() > v.size() / 4) v.shrink_to_fit();
}

// The shared tail of both conversions. On entry offsets[r + 1] counts the
// entries of row r, and cols/vals hold the entries in insertion order; if
// rows_ascending, that order already groups them by row. Buckets them by row
// if needed, then orders each row by column and folds runs of equal columns
// into their sum, leaving the CSR arrays in offsets, cols and vals. Merging
// only shrinks, so the output never overtakes the input and everything is
// rewritten in place. O(nrows + nnz) plus the sorting of rows that are out
// of order.
void finish_csr(std::uint64_t nrows, const std::vector<std::uint64_t>& rows, bool rows_ascending,
                std::vector<std::uint64_t>& offsets, std::vector<std::uint64_t>& cols, std::vector<double>& vals) {
    const std::uint64_t nnz = vals.size();
    for (std::uint64_t r = 0; r < nrows; ++r) offsets[r + 1] += offsets[r];

    if (!rows_ascending) {
        // Counting sort by row, keeping insertion order within a row.
        // offsets[r] serves as the fill cursor of row r; afterwards it holds
        // the end of row r, i.e. the start of row r + 1, and is shifted back.
        std::vector<std::uint64_t> by_row_cols(nnz);
        std::vector<double> by_row_vals(nnz);
        for (std::uint64_t p = 0; p < nnz; ++p) {
            const std::uint64_t q = offsets[rows[p]]++;
            by_row_cols[q] = cols[p];
            by_row_vals[q] = vals[p];
        }
        for (std::uint64_t r = nrows; r > 0; --r) offsets[r] = offsets[r - 1];
        offsets[0] = 0;
        cols = std::move(by_row_cols);
        vals = std::move(by_row_vals);
    }

    std::uint64_t out = 0;
    std::uint64_t begin = 0;
    for (std::uint64_t r = 0; r < nrows; ++r) {
        const std::uint64_t end = offsets[r + 1];
        offsets[r] = out;
        bool ordered = true;
        for (std::uint64_t p = begin + 1; p < end; ++p) {
            if (cols[p] <= cols[p - 1]) {
                ordered = false;
                break;
            }
        }
        if (ordered) {
            // Nothing to merge: the row only moves down if an earlier row shrank.
            if (out != begin) {
                for (std::uint64_t p = begin; p < end; ++p) {
                    cols[out + (p - begin)] = cols[p];
                    vals[out + (p - begin)] = vals[p];
                }
            }
            out += end - begin;
        } else {
            sort_row(cols, vals, begin, end);
            for (std::uint64_t p = begin; p < end; ++p) {
                if (p > begin && cols[p] == cols[out - 1]) {
                    vals[out - 1] += vals[p];
                } else {
                    cols[out] = cols[p];
                    vals[out] = vals[p];
                    ++out;
                }
            }
        }
        begin = end;
    }
    offsets[nrows] = out;
    cols.resize(out);
    vals.resize(out);
    trim(cols);
    trim(vals);
}

// Row counts in offsets[r + 1] (offsets[0] = 0), and whether the rows never
// decrease in insertion order.
bool count_rows(const std::vector<std::uint64_t>& rows, std::vector<std::uint64_t>& offsets) {
    bool ascending = true;
    std::uint64_t previous = 0;
    for (const std::uint64_t r : rows) {
        ++offsets[r + 1];
        ascending &= r >= previous;
        previous = r;
    }
    return ascending;
}

}  // namespace

CsrMatrix coo_to_csr(CooMatrix&& coo) {
    const std::uint64_t nrows = coo.nrows();
    const std::uint64_t ncols = coo.ncols();
    std::vector<std::uint64_t> offsets(checked_array_length<std::uint64_t>(checked_add(nrows, 1)), 0);
    Triplets t = std::move(coo).release_triplets();
    const bool ascending = count_rows(t.row_indices, offsets);
    if (ascending) {
        // The row indices are no longer needed; free them before the tail.
        std::vector<std::uint64_t>().swap(t.row_indices);
    }
    finish_csr(nrows, t.row_indices, ascending, offsets, t.col_indices, t.values);
    return CsrMatrix(nrows, ncols, std::move(offsets), std::move(t.col_indices), std::move(t.values));
}

}  // namespace tavik
