#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "sparse/csr_tools.hpp"
#include "sparse/sparse_matrix.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using namespace test;

TEST(CooToCsr, SortsRowsSumsDuplicatesAndKeepsZeroSums) {
    CooMatrix coo(1, 3);
    coo.push(0, 2, 1.0);
    coo.push(0, 0, 5.0);
    coo.push(0, 2, -1.0);
    const CsrMatrix m = coo_to_csr(std::move(coo));
    EXPECT_EQ(m.nrows(), 1u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(m.row_offsets(), (U{0, 2}));
    EXPECT_EQ(m.col_indices(), (U{0, 2}));
    EXPECT_EQ(m.values(), (D{5.0, 0.0}));
}

TEST(CooToCsr, BucketsRowsPushedInAnyOrderAndKeepsGivenZerosAndEmptyRows) {
    const CsrMatrix m = csr_from_entries(
        5, 4, {{3, 1, 2.0}, {0, 3, 0.0}, {3, 0, 1.0}, {0, 1, 7.0}, {3, 1, 0.5}, {1, 2, -0.0}});
    EXPECT_EQ(m.row_offsets(), (U{0, 2, 3, 3, 5, 5}));
    EXPECT_EQ(m.col_indices(), (U{1, 3, 2, 0, 1}));
    EXPECT_EQ(m.values(), (D{7.0, 0.0, -0.0, 1.0, 2.5}));
}

TEST(CooToCsr, EmptyShapes) {
    const CsrMatrix no_rows = coo_to_csr(CooMatrix(0, 7));
    EXPECT_EQ(no_rows.row_offsets(), (U{0}));
    EXPECT_EQ(no_rows.nnz(), 0u);
    const CsrMatrix no_cols = coo_to_csr(CooMatrix(3, 0));
    EXPECT_EQ(no_cols.row_offsets(), (U{0, 0, 0, 0}));
    EXPECT_EQ(no_cols.ncols(), 0u);
}

TEST(CooToCsr, RefusesARowCountWhoseOffsetsCannotBeDescribed) {
    expect_fatal([] { coo_to_csr(CooMatrix(u64_max, 1)); }, messages::kCapacityOverflow);
    expect_fatal([] { coo_to_csr(CooMatrix(u64_max / 2, 1)); }, messages::kCapacityOverflow);
    expect_fatal([] { CsrMatrix(u64_max, 1); }, messages::kCapacityOverflow);
}

TEST(CooMatrix, PushOutsideTheShapeIsFatalAndAddsNothing) {
    CooMatrix coo(2, 3);
    EXPECT_THROW(coo.push(2, 0, 1.0), FatalError);
    EXPECT_THROW(coo.push(0, 3, 1.0), FatalError);
    EXPECT_THROW(coo.push(u64_max, u64_max, 1.0), FatalError);
    EXPECT_EQ(coo.nnz(), 0u);
    coo.push(1, 2, 1.0);
    EXPECT_EQ(coo.nnz(), 1u);
}

TEST(CsrMatrix, FromPartsAcceptsValidArraysAndRejectsEveryBrokenInvariant) {
    const CsrMatrix ok = CsrMatrix::from_parts(2, 3, {0, 1, 3}, {2, 0, 1}, {0.0, 1.0, 2.0});
    EXPECT_EQ(stored_entries(ok), (std::vector<Entry>{{0, 2, 0.0}, {1, 0, 1.0}, {1, 1, 2.0}}));

    EXPECT_THROW(CsrMatrix::from_parts(2, 3, {0, 1}, {0}, {1.0}), FatalError);            // offsets length
    EXPECT_THROW(CsrMatrix::from_parts(1, 3, {1, 1}, {0}, {1.0}), FatalError);            // first offset
    EXPECT_THROW(CsrMatrix::from_parts(1, 3, {0, 2}, {0}, {1.0}), FatalError);            // last offset
    EXPECT_THROW(CsrMatrix::from_parts(2, 3, {0, 2, 1}, {0}, {1.0}), FatalError);         // decreasing
    EXPECT_THROW(CsrMatrix::from_parts(1, 3, {0, 1}, {3}, {1.0}), FatalError);            // column bound
    EXPECT_THROW(CsrMatrix::from_parts(1, 3, {0, 2}, {1, 1}, {1.0, 2.0}), FatalError);    // duplicate
    EXPECT_THROW(CsrMatrix::from_parts(1, 3, {0, 2}, {2, 1}, {1.0, 2.0}), FatalError);    // unsorted
    EXPECT_THROW(CsrMatrix::from_parts(1, 3, {0, 1}, {0}, {1.0, 2.0}), FatalError);       // values length
    EXPECT_THROW(CsrMatrix::from_parts(u64_max, 3, {0}, {}, {}), FatalError);
}

TEST(CsrToTriplets, RowMajorWithStoredZerosAndEmptyForNoEntries) {
    const CsrMatrix m = csr_from_entries(3, 3, {{2, 1, 4.0}, {0, 2, 0.0}, {0, 0, 1.0}, {2, 0, -2.0}});
    const Triplets t = csr_to_triplets(CsrMatrix(m));
    EXPECT_EQ(t.row_indices, (U{0, 0, 2, 2}));
    EXPECT_EQ(t.col_indices, (U{0, 2, 0, 1}));
    EXPECT_EQ(t.values, (D{1.0, 0.0, -2.0, 4.0}));

    for (const CsrMatrix& empty : {CsrMatrix(0, 0), CsrMatrix(4, 9), CsrMatrix(2, 0)}) {
        const Triplets e = csr_to_triplets(CsrMatrix(empty));
        EXPECT_TRUE(e.row_indices.empty() && e.col_indices.empty() && e.values.empty());
    }
}

// A 2 x 3 block with a stored zero, used by the assembly tests.
CsrMatrix block_2x3() { return csr_from_entries(2, 3, {{0, 0, 1.0}, {0, 2, 0.0}, {1, 1, 2.0}}); }

TEST(CsrBlockFromNdarray, OneByOneGridEqualsItsBlock) {
    const CsrMatrix b = block_2x3();
    CsrBlockGrid grid(1, 1);
    grid.set(0, 0, b);
    EXPECT_EQ(csr_block_from_ndarray(grid), b);
}

TEST(CsrBlockFromNdarray, StacksVertically) {
    const CsrMatrix top = block_2x3();
    const CsrMatrix bottom = csr_from_entries(1, 3, {{0, 1, 5.0}, {0, 2, 0.0}});
    CsrBlockGrid grid(2, 1);
    grid.set(0, 0, top);
    grid.set(1, 0, bottom);
    const CsrMatrix m = csr_block_from_ndarray(grid);
    EXPECT_EQ(m.nrows(), 3u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(stored_entries(m),
              (std::vector<Entry>{{0, 0, 1.0}, {0, 2, 0.0}, {1, 1, 2.0}, {2, 1, 5.0}, {2, 2, 0.0}}));
}

TEST(CsrBlockFromNdarray, PlacesSideBySideWithShiftedColumns) {
    const CsrMatrix left = csr_from_entries(2, 1, {{0, 0, 1.0}, {1, 0, 0.0}});
    const CsrMatrix right = csr_from_entries(2, 2, {{0, 0, 3.0}, {1, 1, 4.0}});
    CsrBlockGrid grid(1, 2);
    grid.set(0, 0, left);
    grid.set(0, 1, right);
    const CsrMatrix m = csr_block_from_ndarray(grid);
    EXPECT_EQ(m.nrows(), 2u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(stored_entries(m), (std::vector<Entry>{{0, 0, 1.0}, {0, 1, 3.0}, {1, 0, 0.0}, {1, 2, 4.0}}));
}

TEST(CsrBlockFromNdarray, ZeroRowAndZeroColumnBlocksCountTheirSize) {
    // Block rows: [2x3, 2x0], [0x3, 0x0], and the first row's matrices again
    // (cells may share a matrix).
    const CsrMatrix a = block_2x3();
    const CsrMatrix tall_empty(2, 0);
    const CsrMatrix flat(0, 3);
    const CsrMatrix nothing(0, 0);
    CsrBlockGrid grid(3, 2);
    grid.set(0, 0, a);
    grid.set(0, 1, tall_empty);
    grid.set(1, 0, flat);
    grid.set(1, 1, nothing);
    grid.set(2, 0, a);
    grid.set(2, 1, tall_empty);
    const CsrMatrix m = csr_block_from_ndarray(grid);
    EXPECT_EQ(m.nrows(), 4u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(m.row_offsets(), (U{0, 2, 3, 5, 6}));
    EXPECT_EQ(stored_entries(m), (std::vector<Entry>{{0, 0, 1.0}, {0, 2, 0.0}, {1, 1, 2.0},
                                                     {2, 0, 1.0}, {2, 2, 0.0}, {3, 1, 2.0}}));
}

TEST(CsrBlockFromNdarray, EmptyGridFailsBeforeLookingAtBlocks) {
    expect_fatal([] { csr_block_from_ndarray(CsrBlockGrid(0, 3)); }, messages::kEmptyBlockGrid);
    expect_fatal([] { csr_block_from_ndarray(CsrBlockGrid(3, 0)); }, messages::kEmptyBlockGrid);
    expect_fatal([] { csr_block_from_ndarray(CsrBlockGrid(0, 0)); }, messages::kEmptyBlockGrid);
}

TEST(CsrBlockFromNdarray, ReportsHeightsBeforeWidthsAndTheLowestBlockRowFirst) {
    const CsrMatrix r3c2(3, 2), r2c2(2, 2), r2c5(2, 5), r1c5(1, 5);
    // Row 1 has a height mismatch (left 2, right 3); row 2 has one too; and
    // column 1 has a width mismatch. The height of row 1 is reported.
    CsrBlockGrid grid(3, 2);
    grid.set(0, 0, r3c2);
    grid.set(0, 1, r3c2);
    grid.set(1, 0, r3c2);
    grid.set(1, 1, r2c5);
    grid.set(2, 0, r2c2);
    grid.set(2, 1, r1c5);
    expect_fatal([&] { csr_block_from_ndarray(grid); },
                 "assertion `left == right` failed: inconsistent block-row height at row 1\n  left: 2\n right: 3");

    CsrBlockGrid widths(2, 2);
    widths.set(0, 0, r2c2);
    widths.set(0, 1, r2c5);
    widths.set(1, 0, r2c2);
    widths.set(1, 1, r2c2);
    expect_fatal([&] { csr_block_from_ndarray(widths); },
                 "assertion `left == right` failed: inconsistent block-col width at col 1\n  left: 2\n right: 5");
}

TEST(CsrBlockGrid, RefusesUnsetCellsAndUndescribableGrids) {
    const CsrMatrix b(1, 1);
    CsrBlockGrid grid(2, 1);
    grid.set(0, 0, b);
    EXPECT_THROW(csr_block_from_ndarray(grid), FatalError);
    EXPECT_THROW(grid.set(2, 0, b), FatalError);
    expect_fatal([] { CsrBlockGrid(u64_max, 2); }, messages::kCapacityOverflow);
}

}  // namespace
}  // namespace tavik
