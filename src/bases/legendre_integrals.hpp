// Reductions over piecewise expansions in time: weighted sums of squares per
// component, the kernel behind the integrals and norms of tavik_arrays.
//
// Conventions (those of legendre_field.hpp): an array of `rows` rows of
// `width` entries of `components` values each is C order (rows, width,
// components). Rows are intervals (or subintervals), entries Legendre
// degrees or quadrature points.
#pragma once

#include <cstdint>
#include <span>

namespace tavik {

// For every component j:
//   out[j] = sum over rows r and entries k of weights[r', k] * (x * x),
//   x = values[(r * width + k) * components + j],
// with r' = r when weights has rows * width entries and r' = 0 when it has
// width (one row of weights for every row).
// Order, fixed by the shape alone so that the bits never depend on the
// number of worker threads: the rows are cut into consecutive chunks of
// integral_chunk_rows(width, components) rows (the last one shorter); each
// chunk sums its terms from +0.0 in increasing (r, k); then out[j] is the
// first chunk's sum plus the others' in chunk order. With fewer than 4
// components a chunk's sum is instead ((s_0 + s_1) + s_2) + s_3, s_l the sum
// from +0.0, in increasing (r, k), of the rows first + l, first + l + 4, ...
// of the chunk (four chains of additions that the processor overlaps).
// Preconditions (fatal error otherwise): values.size() == rows * width *
// components; weights.size() is width or rows * width; out.size() ==
// components. out must not overlap the inputs (the caller's to ensure).
// Cost: one pass over values plus one over (chunks, components) partial
// sums, which the calling thread allocates before any chunk starts; the
// chunks run on the worker pool once the array is large.
void weighted_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                               std::uint64_t components, std::span<const double> weights, std::span<double> out);

// For every component j, the weighted squares of the Legendre coefficients
// of the derivative (with respect to the local coordinate) of each row:
//   out[j] = sum over rows r and i = width - 2 down to 0 of
//            weights[i] * (d_i * d_i),  d_i = (2i + 1) * T_(i+1),
//   T_k = x_k + T_(k+2) (T_k = x_k for k + 2 >= width),
//   x_k = values[(r * width + k) * components + j],
// the terms added in increasing r and decreasing i (so P_k' = sum of
// (2i + 1) P_i over i < k with k - i odd, one pass without a matrix; x_0
// is not read). Chunks, their order (with fewer than 4 components, the four
// interleaved sums) and allocation as for weighted_square_sums_into, plus 2
// * components doubles of working memory per thread. Preconditions (fatal
// error otherwise): width >= 1; values.size() == rows * width * components;
// weights.size() == width - 1; out.size() == components. Cost: about one
// pass over values.
void derivative_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                                 std::uint64_t components, std::span<const double> weights, std::span<double> out);

// Rows per chunk of the reductions: about 65536 values per chunk,
// at least one row.
std::uint64_t integral_chunk_rows(std::uint64_t width, std::uint64_t components) noexcept;

}  // namespace tavik
