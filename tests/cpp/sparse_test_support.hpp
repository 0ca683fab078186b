// Helpers shared by the sparse-matrix and Lagrange tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "fatal_error.hpp"
#include "sparse_matrix_tools/sparse_matrix.hpp"

namespace tavik::test {

// Runs f and checks that it fails with exactly this message.
template <class F>
void expect_fatal(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "expected FatalError \"" << message << "\"";
    } catch (const FatalError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

using Entry = std::tuple<std::uint64_t, std::uint64_t, double>;

// Builds a CSR matrix by pushing the entries in the given order.
inline CsrMatrix csr_from_entries(std::uint64_t nrows, std::uint64_t ncols, const std::vector<Entry>& entries) {
    CooMatrix coo(nrows, ncols);
    for (const auto& [r, c, v] : entries) coo.push(r, c, v);
    return coo_to_csr(coo);
}

// Stored entries in row-major storage order.
inline std::vector<Entry> stored_entries(const CsrMatrix& m) {
    std::vector<Entry> out;
    for (std::uint64_t r = 0; r < m.nrows(); ++r) {
        for (std::uint64_t p = m.row_offsets()[r]; p < m.row_offsets()[r + 1]; ++p) {
            out.emplace_back(r, m.col_indices()[p], m.values()[p]);
        }
    }
    return out;
}

// y = M x.
inline std::vector<double> multiply(const CsrMatrix& m, const std::vector<double>& x) {
    std::vector<double> y(m.nrows(), 0.0);
    for (std::uint64_t r = 0; r < m.nrows(); ++r) {
        for (std::uint64_t p = m.row_offsets()[r]; p < m.row_offsets()[r + 1]; ++p) {
            y[r] += m.values()[p] * x[m.col_indices()[p]];
        }
    }
    return y;
}

}  // namespace tavik::test
