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
// first chunk's sum plus the others' in chunk order.
// Preconditions (fatal error otherwise): values.size() == rows * width *
// components; weights.size() is width or rows * width; out.size() ==
// components. out must not overlap the inputs (the caller's to ensure).
// Cost: one pass over values plus one over (chunks, components) partial
// sums, which the calling thread allocates before any chunk starts; the
// chunks run on the worker pool once the array is large.
void weighted_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                               std::uint64_t components, std::span<const double> weights, std::span<double> out);

// For every component j, the quadratic form of each (row, component) pair:
//   out[j] = sum over rows r of sum_k x_k * (sum_l form[k * width + l] * x_l),
//   x_k = values[(r * width + k) * components + j],
// the inner sum from +0.0 with l increasing, the outer terms added in
// increasing (r, k). Chunks, their order, preconditions (form.size() ==
// width * width in place of the weights) and allocation as for
// weighted_square_sums_into; cost width times that of one pass.
void quadratic_form_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                              std::uint64_t components, std::span<const double> form, std::span<double> out);

// Rows per chunk of both reductions: about 65536 values per chunk,
// at least one row.
std::uint64_t integral_chunk_rows(std::uint64_t width, std::uint64_t components) noexcept;

}  // namespace tavik
