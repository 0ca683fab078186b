// Compressed-sparse-row arrays in the form scipy.sparse.csr_array takes them
// (indptr, indices, data), with signed 32- or 64-bit indices.
//
// Conventions: indptr has nrows + 1 entries from 0 to nnz; within a row the
// column indices are strictly increasing (canonical format: sorted, no
// duplicates); explicit zeros are never stored. Built row by row through
// CsrRowBuilder, which sorts a row only when it arrives out of order, adds
// duplicate columns and drops exact zeros.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "checked_size.hpp"

namespace tavik {

template <class Index>
struct CsrArrays {
    std::uint64_t nrows = 0;
    std::uint64_t ncols = 0;
    std::vector<Index> indptr;
    std::vector<Index> indices;
    std::vector<double> data;
};

// Whether a matrix of this shape and at most max_nnz entries can use Index.
template <class Index>
constexpr bool csr_index_fits(std::uint64_t nrows, std::uint64_t ncols, std::uint64_t max_nnz) noexcept {
    constexpr auto top = static_cast<std::uint64_t>(std::numeric_limits<Index>::max());
    return nrows <= top && ncols <= top && max_nnz <= top;
}

template <class Index>
class CsrRowBuilder {
public:
    // Preconditions: csr_index_fits<Index>(nrows, ncols, max_nnz), checked
    // ("capacity overflow"); max_nnz bounds the entries that will be added,
    // and is reserved at once so that a matrix too large for memory fails
    // before any work.
    CsrRowBuilder(std::uint64_t nrows, std::uint64_t ncols, std::uint64_t max_nnz) {
        if (!csr_index_fits<Index>(nrows, ncols, max_nnz)) fatal(capacity_overflow_message);
        out_.nrows = nrows;
        out_.ncols = ncols;
        out_.indptr.reserve(checked_add(nrows, 1));
        out_.indptr.push_back(0);
        out_.indices.reserve(max_nnz);
        out_.data.reserve(max_nnz);
    }

    void add(std::uint64_t column, double value) { row_.emplace_back(static_cast<Index>(column), value); }

    // Closes the current row: sorted by column, duplicates added (in the
    // order they were added), exact zeros dropped.
    void end_row() {
        const auto by_column = [](const auto& a, const auto& b) { return a.first < b.first; };
        if (!std::is_sorted(row_.begin(), row_.end(), by_column)) std::stable_sort(row_.begin(), row_.end(), by_column);
        for (std::size_t p = 0; p < row_.size();) {
            const Index column = row_[p].first;
            double sum = row_[p].second;
            for (++p; p < row_.size() && row_[p].first == column; ++p) sum = sum + row_[p].second;
            if (sum != 0.0) {
                out_.indices.push_back(column);
                out_.data.push_back(sum);
            }
        }
        row_.clear();
        out_.indptr.push_back(static_cast<Index>(out_.indices.size()));
    }

    CsrArrays<Index> finish() && { return std::move(out_); }

private:
    CsrArrays<Index> out_;
    std::vector<std::pair<Index, double>> row_;
};

}  // namespace tavik
