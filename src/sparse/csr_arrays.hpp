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
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "checked_size.hpp"

namespace tavik {

// Asks for transparent huge pages on a large block, as numpy does for its
// arrays: a matrix of millions of entries is written once into fresh
// memory, and faulting it in 4 KiB pages costs more than computing it.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// Leaves new elements uninitialised on resize: the builders below size
// their arrays for the largest possible matrix and write every element they
// keep, so zero-filling first would only cost time. Large blocks get huge
// pages (advise_huge_pages).
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        advise_huge_pages(p, n * sizeof(T));
        return p;
    }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using RawVector = std::vector<T, UninitialisedAllocator<T>>;

template <class Index>
struct CsrArrays {
    std::uint64_t nrows = 0;
    std::uint64_t ncols = 0;
    RawVector<Index> indptr;
    RawVector<Index> indices;
    RawVector<double> data;
};

// A matrix's shape before it is built: rows, columns and an upper bound on
// its stored entries, each saturated (checked_size.hpp), so that a shape
// can be stated for any arguments. Each matrix of the core exports its
// shape; the builder sizes its arrays from it, and callers choose the index
// width by it (fits), so both decide from the same counts.
struct CsrShape {
    std::uint64_t nrows = 0;
    std::uint64_t ncols = 0;
    std::uint64_t max_nnz = 0;

    // Whether every index and count of the matrix fits Index; a saturated
    // count fits none.
    template <class Index>
    constexpr bool fits() const noexcept {
        constexpr auto top = static_cast<std::uint64_t>(std::numeric_limits<Index>::max());
        return nrows <= top && ncols <= top && max_nnz <= top;
    }
};

template <class Index>
class CsrRowBuilder {
public:
    // Preconditions: shape.fits<Index>() and arrays of shape.max_nnz
    // doubles and shape.nrows + 1 indices describable, checked (fatal
    // kCapacityOverflow); max_nnz bounds the entries that will be added.
    // The arrays are sized for max_nnz at once, so that a matrix too large
    // for memory fails before any work.
    explicit CsrRowBuilder(const CsrShape& shape) {
        if (!shape.fits<Index>()) fatal(messages::kCapacityOverflow);
        // Counts that fit Index may still be more than one array can hold.
        checked_array_length<double>(shape.max_nnz);
        out_.nrows = shape.nrows;
        out_.ncols = shape.ncols;
        out_.indptr.resize(checked_array_length<Index>(checked_add(shape.nrows, 1)));
        out_.indptr[0] = 0;
        out_.indices.resize(shape.max_nnz);
        out_.data.resize(shape.max_nnz);
        columns_ = out_.indices.data();
        values_ = out_.data.data();
    }

    // Requires fewer than max_nnz entries added so far.
    void add(std::uint64_t column, double value) noexcept {
        columns_[end_] = static_cast<Index>(column);
        values_[end_] = value;
        ++end_;
    }

    // Closes the current row: sorted by column, duplicates added (in the
    // order they were added), exact zeros dropped. A row that arrives
    // sorted, distinct and without zeros costs one pass.
    void end_row() {
        bool canonical = true;
        for (std::uint64_t p = begin_; p < end_; ++p) {
            if (values_[p] == 0.0 || (p > begin_ && columns_[p - 1] >= columns_[p])) {
                canonical = false;
                break;
            }
        }
        if (!canonical) fix_row();
        out_.indptr[++row_] = static_cast<Index>(end_);
        begin_ = end_;
    }

    // Requires every row ended. Storage sized for max_nnz is given back
    // when more than a quarter of it went unused.
    CsrArrays<Index> finish() && {
        const bool wasteful = end_ < out_.indices.size() - out_.indices.size() / 4;
        out_.indices.resize(end_);
        out_.data.resize(end_);
        if (wasteful) {
            out_.indices.shrink_to_fit();
            out_.data.shrink_to_fit();
        }
        return std::move(out_);
    }

private:
    void fix_row() {
        row_buffer_.clear();
        for (std::uint64_t p = begin_; p < end_; ++p) row_buffer_.emplace_back(columns_[p], values_[p]);
        std::stable_sort(row_buffer_.begin(), row_buffer_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        end_ = begin_;
        for (std::size_t p = 0; p < row_buffer_.size();) {
            const Index column = row_buffer_[p].first;
            double sum = row_buffer_[p].second;
            for (++p; p < row_buffer_.size() && row_buffer_[p].first == column; ++p) sum = sum + row_buffer_[p].second;
            if (sum != 0.0) add(static_cast<std::uint64_t>(column), sum);
        }
    }

    CsrArrays<Index> out_;
    Index* columns_ = nullptr;
    double* values_ = nullptr;
    std::uint64_t begin_ = 0;  // first entry of the current row
    std::uint64_t end_ = 0;    // one past its last entry
    std::uint64_t row_ = 0;
    std::vector<std::pair<Index, double>> row_buffer_;
};

}  // namespace tavik
