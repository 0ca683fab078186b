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

// For every component j, the weighted squares of a linear map of each row:
//   out[j] = sum over rows r and i < weights.size() of weights[i] * (d_i * d_i),
//   d_i = sum over k with map[i * width + k] != 0 of map[i * width + k] * x_k,
//   x_k = values[(r * width + k) * components + j],
// d_i from its first term with k increasing (a row of the map without
// non-zero entries adds nothing; entries that are zero are skipped, so a
// value no entry uses never reaches the result), the terms added in
// increasing (r, i). Chunks, their order (with fewer than 4 components,
// the four interleaved sums) and allocation as for
// weighted_square_sums_into (plus components doubles of working memory per
// thread, the non-zero entries copied on the calling thread).
// Preconditions (fatal error otherwise): values.size() == rows * width *
// components; map.size() == weights.size() * width; out.size() ==
// components. Cost: one pass over values per non-zero entry and per row of
// the map, within a chunk's cache-sized rows.
void mapped_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                             std::uint64_t components, std::span<const double> map, std::span<const double> weights,
                             std::span<double> out);

// Rows per chunk of both reductions: about 65536 values per chunk,
// at least one row.
std::uint64_t integral_chunk_rows(std::uint64_t width, std::uint64_t components) noexcept;

}  // namespace tavik
