// Sparse matrices of doubles: a coordinate accumulator and compressed rows.
//
// Every sparse matrix of the system is built by pushing entries into a
// CooMatrix and converting it into a CsrMatrix. The contract both types keep,
// and the reason they are written here rather than taken from a library:
// indices are unsigned 64-bit, duplicates are added, and an explicitly stored
// 0.0 (given or produced by adding duplicates) is an entry like any other and
// is never dropped.
#pragma once

#include <cstdint>
#include <vector>

namespace tavik {

class CsrBlockGrid;
class CsrMatrix;
struct Triplets;
CsrMatrix csr_block_from_ndarray(const CsrBlockGrid& blocks);
Triplets csr_to_triplets(CsrMatrix&& matrix);

// A sparse matrix as three parallel arrays of equal length, without its
// shape: entry k is (row_indices[k], col_indices[k], values[k]).
struct Triplets {
    std::vector<std::uint64_t> row_indices;
    std::vector<std::uint64_t> col_indices;
    std::vector<double> values;
};

// Coordinate accumulator for a matrix of fixed shape.
//
// Entries stay in insertion order; the same (row, column) may appear any
// number of times and zero values stay. The shape is fixed at creation and
// every push is checked against it, because an entry outside the shape is a
// defect of the caller that must not silently become a different matrix.
class CooMatrix {
public:
    CooMatrix(std::uint64_t nrows, std::uint64_t ncols) noexcept : nrows_(nrows), ncols_(ncols) {}

    // Appends (row, col, value). Requires row < nrows and col < ncols; a
    // violation is a fatal error. Amortised O(1).
    void push(std::uint64_t row, std::uint64_t col, double value) {
        if (row >= nrows_ || col >= ncols_) [[unlikely]] fail_push(row, col);
        row_indices_.push_back(row);
        col_indices_.push_back(col);
        values_.push_back(value);
    }

    // Pre-sizes the arrays for n entries; purely an allocation hint.
    void reserve(std::uint64_t n);

    std::uint64_t nrows() const noexcept { return nrows_; }
    std::uint64_t ncols() const noexcept { return ncols_; }
    std::uint64_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::uint64_t>& row_indices() const noexcept { return row_indices_; }
    const std::vector<std::uint64_t>& col_indices() const noexcept { return col_indices_; }
    const std::vector<double>& values() const noexcept { return values_; }

    // Hands the three arrays over in insertion order, leaving this empty.
    Triplets release_triplets() && noexcept;

private:
    [[noreturn, gnu::cold, gnu::noinline]] void fail_push(std::uint64_t row, std::uint64_t col) const;

    std::uint64_t nrows_;
    std::uint64_t ncols_;
    std::vector<std::uint64_t> row_indices_;
    std::vector<std::uint64_t> col_indices_;
    std::vector<double> values_;
};

// Compressed-sparse-row matrix of doubles.
//
// The entries of row r occupy positions row_offsets[r] .. row_offsets[r+1]-1
// of col_indices and values. Invariants, established by every way of making
// one: row_offsets has nrows + 1 elements, starts at 0, ends at nnz and never
// decreases; every column index is below ncols; within a row the columns
// strictly increase; stored zeros are kept. Immutable once built.
class CsrMatrix {
public:
    // An nrows x ncols matrix with no entries. O(nrows).
    CsrMatrix(std::uint64_t nrows, std::uint64_t ncols);

    // Adopts the three arrays after verifying every invariant; a violation
    // is a fatal error. O(nrows + nnz).
    static CsrMatrix from_parts(std::uint64_t nrows, std::uint64_t ncols,
                                std::vector<std::uint64_t> row_offsets,
                                std::vector<std::uint64_t> col_indices,
                                std::vector<double> values);

    std::uint64_t nrows() const noexcept { return nrows_; }
    std::uint64_t ncols() const noexcept { return ncols_; }
    std::uint64_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::uint64_t>& row_offsets() const noexcept { return row_offsets_; }
    const std::vector<std::uint64_t>& col_indices() const noexcept { return col_indices_; }
    const std::vector<double>& values() const noexcept { return values_; }

    // Structural equality: shape, offsets, columns and values (values by ==).
    friend bool operator==(const CsrMatrix&, const CsrMatrix&) = default;

private:
    CsrMatrix(std::uint64_t nrows, std::uint64_t ncols, std::vector<std::uint64_t> row_offsets,
              std::vector<std::uint64_t> col_indices, std::vector<double> values) noexcept;

    // The conversions that build or take apart the arrays directly; each
    // establishes the invariants by construction.
    friend CsrMatrix coo_to_csr(CooMatrix&& coo);
    friend CsrMatrix csr_block_from_ndarray(const CsrBlockGrid& blocks);
    friend Triplets csr_to_triplets(CsrMatrix&& matrix);

    std::uint64_t nrows_;
    std::uint64_t ncols_;
    std::vector<std::uint64_t> row_offsets_;
    std::vector<std::uint64_t> col_indices_;
    std::vector<double> values_;
};

// COO -> CSR. Inputs: an accumulator of any shape, consumed (its column and
// value arrays are reused when the entries arrive row by row). Output: the
// CSR matrix of the same shape whose rows hold the accumulator's entries
// ordered by column, entries with equal (row, column) replaced by their sum
// (in no promised order within a run), nothing dropped -- zero values and
// zero sums stay. Cost: O(nrows + nnz) when the entries were pushed row by
// row with ascending columns (the way every builder in this system pushes
// them); otherwise rows are bucketed by counting in O(nrows + nnz) and only
// the rows that are out of order are sorted. Fails with kCapacityOverflow if
// nrows + 1 offsets cannot be described.
CsrMatrix coo_to_csr(CooMatrix&& coo);

}  // namespace tavik
