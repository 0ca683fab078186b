// Matrices of the discontinuous Galerkin method in time on the Legendre
// space, in closed form.
//
// Conventions: degree d, n_t intervals of length h; basis function (c, k) is
// P_k of the local coordinate on interval c and zero elsewhere; row and
// column c (d + 1) + k (the C order of the array interface). Entry (row,
// column) = (test function, trial function). Canonical CSR arrays without
// explicit zeros (csr_arrays.hpp). Uses P_k(1) = 1, P_k(-1) = (-1)^k,
// int_{-1}^{1} P_k^2 = 2 / (2k + 1) and int_{-1}^{1} P_j' P_i = 2 for i < j
// with i + j odd, 0 otherwise.
#pragma once

#include <cstdint>

#include "sparse/csr_arrays.hpp"

namespace tavik {

// The shapes of the matrices below and of the basis matrix of m times (one
// row of degree + 1 basis functions per time, over the n_t (d + 1)
// columns of the space): square of side n_t (d + 1); at most n_t (d + 1)
// entries for the mass matrix, n_t ((d + 1)^2 / 4 + 1) for the derivative,
// 2 n_t (d + 1)^2 for the jump coupling (periodic or not), m (d + 1) for the
// basis matrix. Any arguments (counts saturate, csr_arrays.hpp); O(1).
CsrShape legendre_mass_shape(std::uint64_t degree, std::uint64_t n_t) noexcept;
CsrShape legendre_derivative_shape(std::uint64_t degree, std::uint64_t n_t) noexcept;
CsrShape legendre_jump_shape(std::uint64_t degree, std::uint64_t n_t) noexcept;
CsrShape legendre_basis_matrix_shape(std::uint64_t degree, std::uint64_t n_t, std::uint64_t times) noexcept;

// Mass matrix: diagonal, entry (c, k) = h / (2k + 1) (one rounding).
// Preconditions (fatal otherwise): n_t >= 1 (kMeshNoIntervals), the shape
// above fits Index and one array (kCapacityOverflow). Cost O(n_t d).
template <class Index>
CsrArrays<Index> legendre_mass_matrix(std::uint64_t degree, std::uint64_t n_t, double h);

// Derivative matrix: integral over each interval of phi_j' phi_i, which is
// independent of h: block diagonal, 2.0 at (i, j) for i < j, i + j odd.
// Preconditions as above. Cost O(n_t d^2).
template <class Index>
CsrArrays<Index> legendre_derivative_matrix(std::uint64_t degree, std::uint64_t n_t);

// Upwind jump coupling of dG in time: the bilinear form
//   sum over nodes t_c, c = 1 ... n_t - 1, of (u(t_c^+) - u(t_c^-)) v(t_c^+)
// plus u(0^+) v(0^+) at the first node, whose u(0^-) is the initial value
// (a right-hand side, not part of the matrix) or, periodic, u(T^-) of the
// last interval. Block (c, c) = (-1)^(i + j), block (c, c - 1) = -(-1)^i
// (c - 1 wrapping to n_t - 1 when periodic; with one periodic interval the
// two blocks add). Preconditions as above. Cost O(n_t d^2).
template <class Index>
CsrArrays<Index> legendre_jump_matrix(std::uint64_t degree, std::uint64_t n_t, bool periodic);

}  // namespace tavik
