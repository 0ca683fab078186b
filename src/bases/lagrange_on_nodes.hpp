// The continuous Lagrange space on a mesh of nodes t_0 < t_1 < ... < t_n:
// its nodal points, and its interpolation onto any points of [t_0, t_n]
// (the prolongation onto another mesh), each point located among the nodes
// by comparison.
//
// Conventions: those of lagrange_matrices_exact.hpp (local node j of
// interval c is global node c d + j, modulo n_dofs when periodic), with
// interval c = [t_c, t_(c+1)] and its d + 1 nodes equidistant on it. The
// node values are used as given; the caller has validated them (finite,
// strictly increasing, steps representable). Results are canonical CSR
// arrays without explicit zeros.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sparse/csr_arrays.hpp"

namespace tavik {

// The nodal points of degree d on the mesh `nodes` (n + 1 values, n >= 1):
// local node j of interval c at t_c + ((t_(c+1) - t_c) j) / d (the uniform
// mesh's order of operations with a = t_c, b = t_(c+1)), so global node c d
// is exactly t_c; then t_n itself unless periodic. n d (+ 1 unless periodic)
// values. Preconditions (fatal otherwise), in this order: d >= 1
// (kLagrangeMatrixDegreeZero), at least two nodes (kMeshNoIntervals), a
// point count one array can hold (kCapacityOverflow). O(n d).
std::vector<double> lagrange_points_on_nodes(std::uint64_t degree, std::span<const double> nodes, bool periodic);

// The shape of the interpolation below: one row per point, the space's
// n_dofs columns, at most d + 1 entries per row. Counts saturate. O(1).
CsrShape interpolation_to_points_shape(std::uint64_t degree, std::uint64_t n_points, std::uint64_t n_dofs) noexcept;

// Interpolation from the Lagrange space of degree d on the mesh `nodes` onto
// the points `targets`: entry (w, k) is basis function k at targets[w], so
// the matrix maps nodal values to the function's values there.
// Inputs: `points`, the space's n_dofs nodal points (lagrange_points_on_nodes,
// or a uniform space's own); targets in any order (sorted ones cost one walk
// along the mesh, others a binary search each), meant to lie in [t_0, t_n].
// Location: interval c is the number of inner nodes t_1 ... t_(n-1) that are
// <= x (a point on an interval end belongs to the interval on its right, t_n
// to the last). A point equal to one of the interval's nodal points gives
// the single entry 1.0 in that point's column. Otherwise, with the local
// position y = ((x - t_c) d) / (t_(c+1) - t_c) in node units, a y that is an
// integer m gives the single entry 1.0 of node m, and any other y the d + 1
// values l_k(y) = prod_(m != k) (y - m) / (k - m). y and the products are
// formed in long double and each value rounded once, so a row stays within
// 1e-12 in l1 of the exact values at x up to max_exact_prolongation_degree
// (1.5e-14 at degree 14 against exact rationals; in double, the rounding of
// y alone gave 1e-12 there). The two ends of a periodic single interval
// share column 0 and are added.
// Preconditions (fatal otherwise), in this order: 1 <= d <=
// max_exact_prolongation_degree (kLagrangeMatrixDegreeZero,
// kLagrangeDegreeLimit), at least two nodes (kMeshNoIntervals), points.size()
// = n d (+ 1 unless periodic) (kNodalPointCount), the shape fits Index and
// one array (kCapacityOverflow). Cost O(targets d + n), no allocation per row.
template <class Index>
CsrArrays<Index> lagrange_interpolation_to_points(std::uint64_t degree, std::span<const double> nodes,
                                                  std::span<const double> points, std::span<const double> targets,
                                                  bool periodic);

}  // namespace tavik
