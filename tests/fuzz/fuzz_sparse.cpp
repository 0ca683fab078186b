// Fuzz target: the sparse matrix tools -- coordinate accumulation, the
// COO -> CSR conversion (ordered and unordered pushes, copying and moving),
// adopting CSR arrays, block assembly and the triplet export.
//
// Properties: an entry outside the shape is refused; the CSR form holds one
// entry per distinct position, the sum of what was pushed there (exactly,
// the values being small integers, or bit for bit when a position was
// pushed once), rows ascending and columns strictly ascending, zeros kept;
// copying and moving conversions agree; CSR -> COO -> CSR is the identity;
// CSR arrays are adopted exactly when they are valid; a block matrix is its
// blocks laid side by side, refused exactly when their sizes disagree.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "sparse/csr_tools.hpp"
#include "sparse/sparse_matrix.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

using Key = std::pair<std::uint64_t, std::uint64_t>;
using Reference = std::map<Key, std::vector<double>>;  // values in push order

// A row count: small, or one whose offsets array cannot exist.
std::uint64_t row_count(FuzzedDataProvider& in, std::uint64_t small) {
    if (in.ConsumeIntegralInRange<int>(0, 15) != 0) return in.ConsumeIntegralInRange<std::uint64_t>(0, small);
    static constexpr std::uint64_t kHuge[] = {UINT64_MAX, UINT64_MAX - 1, std::uint64_t{1} << 63,
                                              (std::uint64_t{1} << 61) + 1};
    return kHuge[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kHuge) - 1)];
}

double entry_value(FuzzedDataProvider& in, bool integers) {
    return integers ? static_cast<double>(in.ConsumeIntegralInRange<int>(-3, 3)) : any_double(in);
}

// Independent check of every CSR invariant.
bool valid_csr(std::uint64_t nrows, std::uint64_t ncols, const std::vector<std::uint64_t>& offsets,
               const std::vector<std::uint64_t>& cols, const std::vector<double>& values) {
    if (nrows == UINT64_MAX || offsets.size() != nrows + 1 || cols.size() != values.size()) return false;
    if (offsets.front() != 0 || offsets.back() != cols.size()) return false;
    for (std::uint64_t r = 0; r < nrows; ++r) {
        if (offsets[r + 1] < offsets[r]) return false;
    }
    for (std::uint64_t r = 0; r < nrows; ++r) {
        for (std::uint64_t p = offsets[r]; p < offsets[r + 1]; ++p) {
            if (cols[p] >= ncols || (p > offsets[r] && cols[p] <= cols[p - 1])) return false;
        }
    }
    return true;
}

// Equal shapes, structure and values, any NaN equal to any NaN.
bool same_matrix(const CsrMatrix& a, const CsrMatrix& b) {
    if (a.nrows() != b.nrows() || a.ncols() != b.ncols() || a.row_offsets() != b.row_offsets() ||
        a.col_indices() != b.col_indices() || a.values().size() != b.values().size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.values().size(); ++i) {
        if (!same(a.values()[i], b.values()[i])) return false;
    }
    return true;
}

// The matrix rebuilt from its triplets, the way a caller holding them would.
CsrMatrix through_triplets(const CsrMatrix& m) {
    const Triplets t = csr_to_triplets(CsrMatrix(m));
    CooMatrix coo(m.nrows(), m.ncols());
    for (std::size_t i = 0; i < t.values.size(); ++i) coo.push(t.row_indices[i], t.col_indices[i], t.values[i]);
    return coo_to_csr(std::move(coo));
}

void require_valid(const CsrMatrix& m) {
    FUZZ_REQUIRE(valid_csr(m.nrows(), m.ncols(), m.row_offsets(), m.col_indices(), m.values()));
}

// The matrix holds exactly the reference's positions, each with the sum of
// its pushed values.
void require_matches(const CsrMatrix& m, const Reference& ref, bool exact_sums) {
    require_valid(m);
    FUZZ_REQUIRE(m.nnz() == ref.size());
    const Triplets t = csr_to_triplets(CsrMatrix(m));
    FUZZ_REQUIRE(t.row_indices.size() == ref.size() && t.col_indices.size() == ref.size() &&
                 t.values.size() == ref.size());
    std::size_t i = 0;
    for (const auto& [key, pushed] : ref) {
        FUZZ_REQUIRE(t.row_indices[i] == key.first && t.col_indices[i] == key.second);
        if (pushed.size() == 1) {
            FUZZ_REQUIRE(same(t.values[i], pushed[0]));
        } else if (exact_sums) {
            double sum = 0.0;
            for (double v : pushed) sum += v;
            FUZZ_REQUIRE(t.values[i] == sum);
        }
        ++i;
    }
}

void fuzz_coo_to_csr(FuzzedDataProvider& in) {
    const std::uint64_t nrows = row_count(in, 40);
    const std::uint64_t ncols = any_count(in, 40);
    const bool integers = in.ConsumeBool();
    const bool ordered = in.ConsumeBool();
    struct Push {
        std::uint64_t row, col;
        double value;
    };
    std::vector<Push> pushes(in.ConsumeIntegralInRange<std::size_t>(0, 80));
    for (Push& p : pushes) {
        const bool outside = in.ConsumeIntegralInRange<int>(0, 31) == 0;
        p.row = outside ? nrows + in.ConsumeIntegralInRange<std::uint64_t>(0, 3)
                        : in.ConsumeIntegralInRange<std::uint64_t>(0, nrows == 0 ? 0 : std::min<std::uint64_t>(nrows - 1, 63));
        p.col = in.ConsumeIntegralInRange<std::uint64_t>(0, ncols == 0 ? 0 : std::min<std::uint64_t>(ncols - 1, 63));
        if (in.ConsumeIntegralInRange<int>(0, 31) == 0) p.col = ncols + in.ConsumeIntegralInRange<std::uint64_t>(0, 3);
        p.value = entry_value(in, integers);
    }
    if (ordered) {
        std::stable_sort(pushes.begin(), pushes.end(),
                         [](const Push& a, const Push& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });
    }
    CooMatrix coo(nrows, ncols);
    if (in.ConsumeBool() && !refused_count<std::uint64_t>(pushes.size())) coo.reserve(pushes.size());
    Reference ref;
    for (const Push& p : pushes) {
        const bool inside = p.row < nrows && p.col < ncols;
        FUZZ_REQUIRE(accepted([&] { coo.push(p.row, p.col, p.value); }) == inside);
        if (inside) ref[{p.row, p.col}].push_back(p.value);
    }
    FUZZ_REQUIRE(coo.nnz() == [&] {
        std::size_t n = 0;
        for (const auto& [key, pushed] : ref) n += pushed.size();
        return n;
    }());

    if (refused_count<std::uint64_t>(static_cast<unsigned __int128>(nrows) + 1)) {
        FUZZ_REQUIRE(!accepted([&] { (void)coo_to_csr(std::move(coo)); }));
        return;
    }
    const CsrMatrix csr = coo_to_csr(std::move(coo));
    FUZZ_REQUIRE(csr.nrows() == nrows && csr.ncols() == ncols);
    require_matches(csr, ref, integers);

    // CSR -> triplets -> CSR changes nothing; the export leaves an empty matrix.
    FUZZ_REQUIRE(same_matrix(through_triplets(csr), csr));
    CsrMatrix doomed = csr;
    (void)csr_to_triplets(std::move(doomed));
    FUZZ_REQUIRE(doomed.nrows() == 0 && doomed.ncols() == 0 && doomed.nnz() == 0 && doomed.row_offsets().size() == 1);
}

void fuzz_from_parts(FuzzedDataProvider& in) {
    const std::uint64_t nrows = row_count(in, 12);
    const std::uint64_t ncols = any_count(in, 12);
    const std::size_t nnz = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    std::size_t n_offsets = nrows < 64 ? static_cast<std::size_t>(nrows) + 1 : 2;
    n_offsets += static_cast<std::size_t>(in.ConsumeIntegralInRange<int>(0, 15) == 0 ? in.ConsumeIntegralInRange<int>(-1, 1) : 0);
    std::vector<std::uint64_t> offsets(n_offsets);
    // Mostly non-decreasing offsets from 0 to nnz, sometimes anything.
    const bool wild = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    for (std::size_t r = 0; r < offsets.size(); ++r) {
        offsets[r] = wild ? in.ConsumeIntegralInRange<std::uint64_t>(0, nnz + 2)
                          : in.ConsumeIntegralInRange<std::uint64_t>(r == 0 ? 0 : offsets[r - 1], nnz);
    }
    if (!wild && !offsets.empty()) {
        offsets.front() = 0;
        offsets.back() = nnz;
    }
    std::vector<std::uint64_t> cols(nnz);
    for (auto& c : cols) c = in.ConsumeIntegralInRange<std::uint64_t>(0, ncols < 16 ? ncols : 16);
    std::vector<double> values(nnz + (in.ConsumeIntegralInRange<int>(0, 15) == 0 ? 1 : 0));
    for (double& v : values) v = any_double(in);

    const bool expected = !offsets.empty() && valid_csr(nrows, ncols, offsets, cols, values);
    std::unique_ptr<CsrMatrix> adopted;
    const bool ok = accepted([&] { adopted = std::make_unique<CsrMatrix>(CsrMatrix::from_parts(nrows, ncols, offsets, cols, values)); });
    FUZZ_REQUIRE(ok == expected);
    if (!ok) return;
    require_valid(*adopted);
    const Triplets t = csr_to_triplets(CsrMatrix(*adopted));
    FUZZ_REQUIRE(t.col_indices == cols && t.values.size() == values.size());
    for (std::uint64_t r = 0; r < nrows; ++r) {
        for (std::uint64_t p = offsets[r]; p < offsets[r + 1]; ++p) FUZZ_REQUIRE(t.row_indices[p] == r);
    }
    FUZZ_REQUIRE(same_matrix(through_triplets(*adopted), *adopted));
}

void fuzz_blocks(FuzzedDataProvider& in) {
    const std::uint64_t R = in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    const std::uint64_t C = in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    // Heights per block row and widths per block column, then occasionally
    // one block of another size.
    std::vector<std::uint64_t> heights(R), widths(C);
    for (auto& h : heights) h = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
    for (auto& w : widths) w = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
    std::vector<CsrMatrix> blocks;
    blocks.reserve(R * C);
    std::vector<Reference> refs;
    bool consistent = R > 0 && C > 0;
    bool all_set = true;
    CsrBlockGrid grid(R, C);
    for (std::uint64_t i = 0; i < R; ++i) {
        for (std::uint64_t j = 0; j < C; ++j) {
            std::uint64_t h = heights[i], w = widths[j];
            if (in.ConsumeIntegralInRange<int>(0, 23) == 0) {
                h = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
                w = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
                // Only differences from the first block of the row or column count.
                if ((j > 0 && h != heights[i]) || (i > 0 && w != widths[j])) consistent = false;
                if (j == 0) heights[i] = h;
                if (i == 0) widths[j] = w;
            }
            CooMatrix coo(h, w);
            Reference ref;
            const std::size_t n = (h == 0 || w == 0) ? 0 : in.ConsumeIntegralInRange<std::size_t>(0, 6);
            for (std::size_t e = 0; e < n; ++e) {
                const std::uint64_t r = in.ConsumeIntegralInRange<std::uint64_t>(0, h - 1);
                const std::uint64_t c = in.ConsumeIntegralInRange<std::uint64_t>(0, w - 1);
                const double v = entry_value(in, true);
                coo.push(r, c, v);
                ref[{r, c}].push_back(v);
            }
            blocks.push_back(coo_to_csr(std::move(coo)));
            refs.push_back(std::move(ref));
            if (in.ConsumeIntegralInRange<int>(0, 31) == 0) {
                all_set = false;
            } else {
                grid.set(i, j, blocks.back());
            }
        }
    }
    FUZZ_REQUIRE(!accepted([&] { grid.set(R, 0, blocks.empty() ? CsrMatrix(0, 0) : blocks[0]); }));
    std::unique_ptr<CsrMatrix> assembled;
    const bool ok = accepted([&] { assembled = std::make_unique<CsrMatrix>(csr_block_from_ndarray(grid)); });
    FUZZ_REQUIRE(ok == (consistent && all_set));
    if (!ok) return;

    // The reference: every block's entries shifted by the sizes before it.
    Reference whole;
    std::uint64_t row0 = 0;
    for (std::uint64_t i = 0; i < R; ++i) {
        std::uint64_t col0 = 0;
        for (std::uint64_t j = 0; j < C; ++j) {
            for (const auto& [key, pushed] : refs[i * C + j]) whole[{row0 + key.first, col0 + key.second}] = pushed;
            col0 += widths[j];
        }
        row0 += heights[i];
    }
    std::uint64_t total_cols = 0;
    for (auto w : widths) total_cols += w;
    FUZZ_REQUIRE(assembled->nrows() == row0 && assembled->ncols() == total_cols);
    require_matches(*assembled, whole, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: fuzz_coo_to_csr(in); break;
        case 1: fuzz_from_parts(in); break;
        default: fuzz_blocks(in); break;
    }
    return 0;
}
