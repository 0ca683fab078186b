// The conversions on their fast and slow paths: entries pushed row by row or
// in any order, rows already ordered or not, short rows and long ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "sparse/csr_tools.hpp"
#include "support.hpp"

namespace tavik {
namespace {

using namespace test;

// The expected CSR content of a list of pushes: per (row, column) the sum of
// its values. Values are small integers, so every summation order is exact.
std::vector<Entry> reference(const std::vector<Entry>& pushes) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, double> sums;
    for (const auto& [r, c, v] : pushes) sums[{r, c}] += v;
    std::vector<Entry> out;
    for (const auto& [rc, v] : sums) out.emplace_back(rc.first, rc.second, v);
    return out;
}

struct Case {
    const char* name;
    std::uint64_t nrows;
    std::uint64_t ncols;
    std::vector<Entry> pushes;
};

std::vector<Case> cases() {
    std::mt19937_64 rng(12345);
    std::vector<Case> out;
    const auto random_entries = [&](std::uint64_t nrows, std::uint64_t ncols, std::uint64_t n, bool rows_in_order) {
        std::vector<Entry> e;
        std::uniform_int_distribution<std::uint64_t> row(0, nrows - 1), col(0, ncols - 1);
        std::uniform_int_distribution<int> val(-3, 3);
        for (std::uint64_t p = 0; p < n; ++p) e.emplace_back(row(rng), col(rng), val(rng));
        if (rows_in_order) {
            std::stable_sort(e.begin(), e.end(),
                             [](const Entry& a, const Entry& b) { return std::get<0>(a) < std::get<0>(b); });
        }
        return e;
    };
    // Rows in order, columns ascending: the path every builder takes.
    std::vector<Entry> canonical;
    for (std::uint64_t r = 0; r < 50; ++r) {
        for (std::uint64_t c = r % 3; c < 40; c += 1 + r % 5) canonical.emplace_back(r, c, double(r + c) - 30.0);
    }
    out.push_back({"canonical", 60, 40, canonical});
    // Rows in order, but some rows unordered or with duplicates (the
    // periodic wrap), so later rows have to move down.
    out.push_back({"rows in order", 30, 7, random_entries(30, 7, 200, true)});
    out.push_back({"any order", 30, 7, random_entries(30, 7, 200, false)});
    // Long rows take the general sort.
    out.push_back({"long rows in order", 3, 500, random_entries(3, 500, 900, true)});
    out.push_back({"long rows any order", 3, 500, random_entries(3, 500, 900, false)});
    out.push_back({"one entry", 1, 1, {{0, 0, 0.0}}});
    out.push_back({"no entries", 4, 4, {}});
    return out;
}

TEST(CooToCsrPaths, AgreeWithTheReference) {
    for (const Case& c : cases()) {
        CooMatrix coo(c.nrows, c.ncols);
        for (const auto& [r, col, v] : c.pushes) coo.push(r, col, v);
        const CsrMatrix moved = coo_to_csr(std::move(coo));
        EXPECT_EQ(stored_entries(moved), reference(c.pushes)) << c.name;
        EXPECT_EQ(moved.nrows(), c.nrows);
        EXPECT_EQ(moved.ncols(), c.ncols);
        // A valid matrix in every respect.
        EXPECT_EQ(CsrMatrix::from_parts(moved.nrows(), moved.ncols(), moved.row_offsets(), moved.col_indices(),
                                        moved.values()),
                  moved)
            << c.name;
    }
}

TEST(CsrToTripletsPaths, GivesTheStoredEntriesAndLeavesAnEmptyMatrix) {
    for (const Case& c : cases()) {
        CooMatrix coo(c.nrows, c.ncols);
        for (const auto& [r, col, v] : c.pushes) coo.push(r, col, v);
        CsrMatrix m = coo_to_csr(std::move(coo));
        const Triplets moved = csr_to_triplets(std::move(m));
        std::vector<Entry> as_entries;
        for (std::size_t p = 0; p < moved.values.size(); ++p) {
            as_entries.emplace_back(moved.row_indices[p], moved.col_indices[p], moved.values[p]);
        }
        EXPECT_EQ(as_entries, reference(c.pushes)) << c.name;
        EXPECT_EQ(m, CsrMatrix(0, 0)) << c.name;  // NOLINT(bugprone-use-after-move): the documented state
    }
}

TEST(CsrBlockFromNdarrayPaths, GridOfRandomBlocksEqualsTheBlockwiseReference) {
    // A 2 x 3 grid of random blocks, one cell reused, checked entry by entry
    // against the blocks shifted to their offsets.
    std::mt19937_64 rng(7);
    const std::uint64_t heights[] = {4, 3};
    const std::uint64_t widths[] = {5, 1, 6};
    std::vector<CsrMatrix> blocks;
    for (std::uint64_t i = 0; i < 2; ++i) {
        for (std::uint64_t j = 0; j < 3; ++j) {
            CooMatrix coo(heights[i], widths[j]);
            std::uniform_int_distribution<std::uint64_t> row(0, heights[i] - 1), col(0, widths[j] - 1);
            for (int p = 0; p < 12; ++p) coo.push(row(rng), col(rng), double(p % 4));
            blocks.push_back(coo_to_csr(std::move(coo)));
        }
    }
    CsrBlockGrid grid(2, 3);
    std::vector<Entry> expected;
    const std::uint64_t row_start[] = {0, 4};
    const std::uint64_t col_start[] = {0, 5, 6};
    for (std::uint64_t i = 0; i < 2; ++i) {
        for (std::uint64_t j = 0; j < 3; ++j) {
            grid.set(i, j, blocks[i * 3 + j]);
            for (const auto& [r, c, v] : stored_entries(blocks[i * 3 + j])) {
                expected.emplace_back(row_start[i] + r, col_start[j] + c, v);
            }
        }
    }
    std::sort(expected.begin(), expected.end(), [](const Entry& a, const Entry& b) {
        return std::pair(std::get<0>(a), std::get<1>(a)) < std::pair(std::get<0>(b), std::get<1>(b));
    });
    const CsrMatrix m = csr_block_from_ndarray(grid);
    EXPECT_EQ(m.nrows(), 7u);
    EXPECT_EQ(m.ncols(), 12u);
    EXPECT_EQ(stored_entries(m), expected);
}

}  // namespace
}  // namespace tavik
