// The matrices of the continuous Lagrange space in the array interface's
// layouts, within 1e-12 of their exact values at every accepted degree.
//
// Conventions: the Lagrange space of degree d on n_t intervals numbers its
// nodes as LagrangeBasis does (local node j of interval c is node c d + j,
// modulo n_dofs when periodic); the Legendre space orders its coefficients
// in C order (interval c, Legendre degree k) -> row c (d + 1) + k. Results
// are canonical CSR arrays (csr_arrays.hpp) without explicit zeros.
// Each matrix has its own degree limit, below.
#pragma once

#include <cstdint>
#include <vector>

#include "sparse/csr_arrays.hpp"

namespace tavik {

// Largest degrees at which these matrices stay within 1e-12 of their exact
// values, measured against exact rational arithmetic on meshes of up to
// 10^5 intervals, periodic or not (tools/lagrange_degree_accuracy.py,
// figures in docs/arrays_dg.md): every prolongation row within 1e-12 in
// l1 (1.8e-13 at degree 14, first above at 17); every row of the local
// Lagrange-to-Legendre matrix within 1e-12 of that row's l1 norm (2.1e-13
// at degree 45, first above at 49; normwise the projection stays near
// 1e-16 far beyond, but its rows of high Legendre index do not). Above
// them a call fails with kLagrangeDegreeLimit or
// kLagrangeToLegendreDegreeLimit.
inline constexpr std::uint64_t max_exact_prolongation_degree = 14;
inline constexpr std::uint64_t max_exact_lagrange_to_legendre_degree = 45;

// The shapes of the two matrices below: (lagrange_dofs of nt_fine) x
// (lagrange_dofs of nt_coarse) with at most d + 1 entries per row for the
// prolongation, (n_t (d + 1)) x (lagrange_dofs of n_t) with at most d + 1
// entries per row for the Lagrange-to-Legendre matrix. Any arguments (counts
// saturate, csr_arrays.hpp); O(1).
CsrShape exact_prolongation_shape(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine,
                                  bool periodic) noexcept;
CsrShape lagrange_to_legendre_shape(std::uint64_t degree, std::uint64_t n_t, bool periodic) noexcept;

// Prolongation from the Lagrange space on nt_coarse intervals to the one of
// the same degree and periodicity on nt_fine intervals (any two counts).
// Fine node w lies at coarse node position w nt_coarse / nt_fine, kept as
// an exact fraction in integers: a fine node on a coarse node gives the
// single entry 1.0; any other row holds the d + 1 coarse basis functions of
// its interval (a point on an interval end belongs to the interval on its
// right, the last end to the last interval), each from the product form
// l_k(y) = prod_(m != k) (y - m) / (k - m) with every y - m an exact integer
// over nt_fine, so within (2d + 3) eps relative of its exact value. A
// periodic single coarse interval adds its two end functions into column 0
// through the closed form of their sum, without cancellation.
// Shape: (nt_fine d (+ 1 unless periodic)) x (nt_coarse d (+ 1 unless
// periodic)). Preconditions (fatal otherwise), in this order: d >= 1
// (kLagrangeMatrixDegreeZero), d <= max_exact_prolongation_degree
// (kLagrangeDegreeLimit), nt_coarse >= 1 (kProlongationCoarse), nt_fine >= 1
// (kProlongationFine), the shape fits Index and one array
// (kCapacityOverflow). Cost O(rows d), no division per row.
template <class Index>
CsrArrays<Index> exact_lagrange_prolongation(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine,
                                             bool periodic);

// The local matrix L of degree d: L[k (d + 1) + j] is the coefficient of P_k
// in the Lagrange polynomial of reference node j (-1 + 2 j / d), computed by
// (d + 1)-point Gauss-Legendre projection, L(k, j) = (2k + 1) / 2 sum_q
// w_q l_j(x_q) P_k(x_q) (exact for these degree-2d integrands), in long
// double and rounded once; the symmetry L(k, d - j) = (-1)^k L(k, j) is
// imposed, so the entries that vanish by it are exact zeros.
// Preconditions (fatal otherwise): d >= 1 (kLagrangeMatrixDegreeZero),
// d <= max_exact_lagrange_to_legendre_degree (kLagrangeToLegendreDegreeLimit).
// Cost O(d^3).
std::vector<double> lagrange_to_legendre_local(std::uint64_t degree);

// The Lagrange-to-Legendre matrix: row c (d + 1) + k holds L(k, j) in the
// column of local node j of interval c (the two ends of a periodic single
// interval added, which only doubles or cancels exactly). Shape (n_t (d +
// 1)) x n_dofs. Preconditions: as above, then n_t >= 1 (kMeshNoIntervals)
// and the shape fits Index and one array (kCapacityOverflow). Cost
// O(n_t d^2).
template <class Index>
CsrArrays<Index> lagrange_to_legendre_csr(std::uint64_t degree, std::uint64_t n_t, bool periodic);

namespace lagrange_accuracy_internals {

// lagrange_to_legendre_local at any degree 1 <= d <= max_measured_degree
// (fatal kLagrangeMatrixDegreeZero or kMeasuredDegreeLimit otherwise), with
// no accuracy limit, for measuring where that limit belongs
// (max_measured_degree: lagrange_basis.hpp). O(d^3).
std::vector<double> lagrange_to_legendre_projection(std::uint64_t degree);

}  // namespace lagrange_accuracy_internals

}  // namespace tavik
