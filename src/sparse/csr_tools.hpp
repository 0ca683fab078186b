// Assembling one CSR matrix from a grid of blocks, and exporting a CSR
// matrix as triplets for the Python side.
#pragma once

#include <cstdint>
#include <vector>

#include "sparse/sparse_matrix.hpp"

namespace tavik {

// A dense grid of block_rows x block_cols references to CSR matrices owned
// elsewhere (the same matrix may sit in several cells). The grid only points
// at the blocks: they must outlive it. Every cell must be set before the
// grid is assembled; reading an unset cell is a fatal error.
class CsrBlockGrid {
public:
    // Fails with kCapacityOverflow if block_rows * block_cols cells cannot
    // be described.
    CsrBlockGrid(std::uint64_t block_rows, std::uint64_t block_cols);

    std::uint64_t block_rows() const noexcept { return block_rows_; }
    std::uint64_t block_cols() const noexcept { return block_cols_; }

    // Cells are addressed as (block row i, block column j), both from 0.
    void set(std::uint64_t i, std::uint64_t j, const CsrMatrix& block);
    const CsrMatrix& at(std::uint64_t i, std::uint64_t j) const;

private:
    std::uint64_t block_rows_;
    std::uint64_t block_cols_;
    std::vector<const CsrMatrix*> cells_;  // row-major
};

// Assembles the block matrix whose (i, j) block is blocks.at(i, j).
//
// Inputs: a grid of R x C blocks. Output: a new matrix of sum(h_i) rows and
// sum(w_j) columns, where h_i is the height of block (i, 0) and w_j the width
// of block (0, j); block (i, j) starts at row h_0 + ... + h_(i-1) and column
// w_0 + ... + w_(j-1). Every stored entry of every block is copied, zeros
// included; blocks do not overlap, so nothing is summed.
// Checks, in this order, the first failure ending the call: R = 0 or C = 0
// ("empty block grid"); every block of block row i as high as block (i, 0),
// rows ascending; only then every block of block column j as wide as block
// (0, j), columns ascending. A mismatch is reported as an equality assertion
// naming the offending block's value as left and the reference as right.
// Cost: O(R * C + rows * C + entries). The name (there is no ndarray here)
// is the one callers know; keep it.
CsrMatrix csr_block_from_ndarray(const CsrBlockGrid& blocks);

// Exports every stored entry, explicit zeros included, in row-major order:
// rows ascending, columns ascending within a row. The shape is not part of
// the result. The matrix is consumed: its column and value arrays become the
// triplets' without a copy, leaving an empty 0 x 0 matrix. O(nrows + nnz).
Triplets csr_to_triplets(CsrMatrix&& matrix);

}  // namespace tavik
