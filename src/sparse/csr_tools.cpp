#include "sparse/csr_tools.hpp"

#include <string>
#include <utility>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

namespace {

// The text of a failed equality assertion: the offending value as left, the
// reference value as right.
[[noreturn]] void fail_equality(const std::string& text, std::uint64_t left, std::uint64_t right) {
    fatal(messages::equality_assertion(text, left, right));
}

}  // namespace

CsrBlockGrid::CsrBlockGrid(std::uint64_t block_rows, std::uint64_t block_cols)
    : block_rows_(block_rows),
      block_cols_(block_cols),
      cells_(checked_array_length<const CsrMatrix*>(checked_mul(block_rows, block_cols)), nullptr) {}

void CsrBlockGrid::set(std::uint64_t i, std::uint64_t j, const CsrMatrix& block) {
    if (i >= block_rows_ || j >= block_cols_) fatal(messages::kBlockGridIndex);
    cells_[i * block_cols_ + j] = &block;
}

const CsrMatrix& CsrBlockGrid::at(std::uint64_t i, std::uint64_t j) const {
    if (i >= block_rows_ || j >= block_cols_) fatal(messages::kBlockGridIndex);
    const CsrMatrix* block = cells_[i * block_cols_ + j];
    if (block == nullptr) fatal(messages::block_cell_unset(i, j));
    return *block;
}

CsrMatrix csr_block_from_ndarray(const CsrBlockGrid& blocks) {
    const std::uint64_t R = blocks.block_rows();
    const std::uint64_t C = blocks.block_cols();
    if (R == 0 || C == 0) fatal(messages::kEmptyBlockGrid);

    // All heights are compared before any width, so a grid with both kinds
    // of mismatch always reports the height.
    std::vector<std::uint64_t> row_starts(checked_array_length<std::uint64_t>(checked_add(R, 1)));
    row_starts[0] = 0;
    for (std::uint64_t i = 0; i < R; ++i) {
        const std::uint64_t h = blocks.at(i, 0).nrows();
        for (std::uint64_t j = 1; j < C; ++j) {
            const std::uint64_t other = blocks.at(i, j).nrows();
            if (other != h) fail_equality(messages::kBlockRowHeight + std::to_string(i), other, h);
        }
        row_starts[i + 1] = h;
    }
    std::vector<std::uint64_t> col_starts(checked_array_length<std::uint64_t>(checked_add(C, 1)));
    col_starts[0] = 0;
    for (std::uint64_t j = 0; j < C; ++j) {
        const std::uint64_t w = blocks.at(0, j).ncols();
        for (std::uint64_t i = 1; i < R; ++i) {
            const std::uint64_t other = blocks.at(i, j).ncols();
            if (other != w) fail_equality(messages::kBlockColWidth + std::to_string(j), other, w);
        }
        col_starts[j + 1] = w;
    }
    // Blocks are independent values, so their sizes may add up past 2^64.
    for (std::uint64_t i = 0; i < R; ++i) row_starts[i + 1] = checked_add(row_starts[i], row_starts[i + 1]);
    for (std::uint64_t j = 0; j < C; ++j) col_starts[j + 1] = checked_add(col_starts[j], col_starts[j + 1]);

    std::uint64_t total_nnz = 0;
    for (std::uint64_t i = 0; i < R; ++i) {
        for (std::uint64_t j = 0; j < C; ++j) total_nnz = checked_add(total_nnz, blocks.at(i, j).nnz());
    }

    // Every block is a valid CSR matrix and block column j owns the column
    // range [col_starts[j], col_starts[j + 1]), so walking each result row
    // through the blocks of its block row left to right yields its entries
    // already ordered by column and without duplicates: the result is
    // written out directly, in linear time, with no accumulator to sort.
    const std::uint64_t nrows = row_starts[R];
    std::vector<std::uint64_t> offsets(checked_array_length<std::uint64_t>(checked_add(nrows, 1)));
    std::vector<std::uint64_t> cols(checked_array_length<std::uint64_t>(total_nnz));
    std::vector<double> vals(total_nnz);
    std::vector<const CsrMatrix*> row_blocks(C);
    std::uint64_t out = 0;
    offsets[0] = 0;
    for (std::uint64_t i = 0; i < R; ++i) {
        for (std::uint64_t j = 0; j < C; ++j) row_blocks[j] = &blocks.at(i, j);
        const std::uint64_t height = row_starts[i + 1] - row_starts[i];
        for (std::uint64_t r = 0; r < height; ++r) {
            for (std::uint64_t j = 0; j < C; ++j) {
                const CsrMatrix& block = *row_blocks[j];
                const std::uint64_t shift = col_starts[j];
                const std::uint64_t begin = block.row_offsets_[r];
                const std::uint64_t end = block.row_offsets_[r + 1];
                for (std::uint64_t p = begin; p < end; ++p, ++out) {
                    cols[out] = shift + block.col_indices_[p];
                    vals[out] = block.values_[p];
                }
            }
            offsets[row_starts[i] + r + 1] = out;
        }
    }
    return CsrMatrix(nrows, col_starts[C], std::move(offsets), std::move(cols), std::move(vals));
}

namespace {

// Row index of every stored entry, from the row offsets.
std::vector<std::uint64_t> expand_rows(const std::vector<std::uint64_t>& offsets, std::uint64_t nrows,
                                       std::uint64_t nnz) {
    std::vector<std::uint64_t> rows(nnz);
    for (std::uint64_t r = 0; r < nrows; ++r) {
        for (std::uint64_t p = offsets[r]; p < offsets[r + 1]; ++p) rows[p] = r;
    }
    return rows;
}

}  // namespace

Triplets csr_to_triplets(CsrMatrix&& matrix) {
    // Storage order is row-major with ascending columns already, so the
    // column and value arrays become the triplets' own.
    Triplets t{expand_rows(matrix.row_offsets_, matrix.nrows_, matrix.nnz()), std::move(matrix.col_indices_),
               std::move(matrix.values_)};
    // Leave a valid empty matrix behind.
    matrix.nrows_ = 0;
    matrix.ncols_ = 0;
    matrix.row_offsets_.assign(1, 0);
    matrix.col_indices_.clear();
    matrix.values_.clear();
    return t;
}

}  // namespace tavik
