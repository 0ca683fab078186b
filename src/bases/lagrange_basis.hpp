// The continuous nodal (Lagrange) basis on the uniform time mesh, and the
// sparse matrices that lead out of it.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "checked_size.hpp"
#include "sparse/sparse_matrix.hpp"

namespace tavik {

// Node count of the Lagrange space of `degree` on n_t intervals: n_t degree
// nodes shared by neighbours, plus the closing node T unless periodic.
// Saturated (checked_size.hpp): a count beyond 64 bits is 2^64 - 1. O(1).
constexpr std::uint64_t lagrange_dofs(std::uint64_t degree, std::uint64_t n_t, bool periodic) noexcept {
    const std::uint64_t shared = saturating_mul(n_t, degree);
    return periodic ? shared : saturating_add(shared, 1);
}

// x_k = a + ((b - a) * k) / n for k = 0 ... n: the difference first, then the
// product with k, the quotient by n, the sum with a (k and n as doubles).
// Output: n + 1 doubles; x_0 is exactly a for finite a, b and n >= 1, x_n may
// miss b in the last bit. n = 0 yields the single value a + 0/0 (NaN).
// Fails with kCapacityOverflow if n + 1 values cannot be described. O(n).
std::vector<double> equidistant_points_on_interval(double a, double b, std::uint64_t n);

// Largest degrees of the two matrices. Equidistant interpolation amplifies
// rounding like its Lebesgue constant, about 2^degree, smoothly and without
// a threshold; these limits refuse only results that would be plainly
// wrong. Measured against exact rational arithmetic at the coordinates the
// rules locate (tools/lagrange_degree_accuracy.py, figures in
// docs/guide.md), on meshes of up to 10^5 intervals, periodic or not:
// - prolongation: every row's l1 error stays below 1e-6 (for nodal data of
//   size 1): 4.3e-8 at degree 21, first above at 24;
// - Lagrange-to-Legendre: the local matrix's max-row-sum error relative to
//   the exact matrix's max-row-sum norm stays below 1e-8: 2.7e-9 at degree
//   35, first above at 38.
inline constexpr std::uint64_t max_prolongation_degree = 21;
inline constexpr std::uint64_t max_lagrange_to_legendre_degree = 35;

// Everything get_prolongation_matrix_to refuses before it sizes anything,
// in its order: degree 0 (kProlongationDegree), nt_coarse 0
// (kProlongationCoarse), nt_fine 0 (kProlongationFine), degree above
// max_prolongation_degree (kLagrangeDegreeLimit). Callers that would build
// a large coarse basis first ask here. O(1); allocates only to throw.
void check_prolongation_request(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine);

// Everything get_transormation_matrix_to_legendre refuses before it sizes
// anything: degree 0 (kTransformationDegreeZero), then, only when there
// are intervals to fill, degree above max_lagrange_to_legendre_degree,
// reported as the numerical breakdown it stands for (kSingularVandermonde).
// O(1); allocates only to throw.
void check_transformation_request(std::uint64_t degree, std::uint64_t n_t);

// Continuous piecewise polynomials of one degree on the uniform mesh of
// [0, T] into n_t intervals, described by nodal values.
//
// Conventions:
// - Interval i is [a_i, b_i] with a_i = h * i, b_i = h + a_i, h = T / n_t:
//   the placement of the Legendre side, so both bases agree to the bit.
// - Each interval carries degree + 1 equidistant nodes including both ends;
//   local node k of interval i is global node i * degree + k, so neighbours
//   share their common end.
// - Non-periodic: n_dofs = n_t * degree + 1 and the last node is T as given.
//   Periodic: n_dofs = n_t * degree and global indices are taken modulo
//   n_dofs (the right end of the last interval is node 0).
// - On the reference interval [-1, 1] local node k sits at
//   xi_k = -1 + (2 * k) / degree, exactly -1 and 1 at the ends.
// - Coefficient vectors on this basis are indexed by global node.
// T itself is not kept: after construction only degree, n_t, periodic and
// the node count matter. Immutable, safe to read from several threads.
class LagrangeBasis {
public:
    // Builds the nodes of the basis.
    // Inputs: degree, interval count n_t, end time T (used as given, never
    // checked), periodic flag. Preconditions, checked for periodic bases
    // only and in this order: degree >= 1 (kPeriodicDegree), n_t >= 1
    // (kPeriodicIntervals); texts in messages.hpp. A non-periodic basis
    // accepts degree 0 or n_t 0; either way its only node is T. A node count that cannot be
    // described fails with kCapacityOverflow. Cost: O(n_dofs).
    static LagrangeBasis create(std::uint64_t degree, std::uint64_t n_t, double T, bool periodic);

    // The nodes in global order; n_dofs of them.
    const std::vector<double>& points() const noexcept { return points_; }
    std::uint64_t degree() const noexcept { return degree_; }
    std::uint64_t n_t() const noexcept { return n_t_; }
    bool periodic() const noexcept { return periodic_; }
    std::uint64_t n_dofs() const noexcept { return points_.size(); }

    // Global indices of the degree + 1 local nodes of interval i, local node
    // order; entry k is i * degree + k, reduced modulo n_dofs when periodic.
    // Requires i < n_t (fatal otherwise). O(degree).
    std::vector<std::uint64_t> get_dofs_for_interval(std::uint64_t i) const;

    // Prolongation onto the same kind of basis on nt_fine intervals of the
    // same time span: row w belongs to fine node w, column c to coarse node
    // c, and entry (w, c) is coarse basis function c at fine node w, so the
    // matrix maps coarse nodal values to the interpolant's fine nodal values.
    // Shape: (nt_fine * degree + 1, or nt_fine * degree when periodic) x
    // n_dofs. Exact 0.0 values are not stored; any other value is, however
    // small. A fine node within 1e-14 (reference units) of a coarse node gives
    // the single entry 1.0. nt_fine need not refine n_t.
    // Preconditions: those of check_prolongation_request, in its order.
    // Cost: O(degree^2) once, then O(degree) per row without allocation.
    CsrMatrix get_prolongation_matrix_to(std::uint64_t nt_fine) const;

    // The rows of the Lagrange-to-Legendre transformation for Legendre index
    // k: an n_t x n_dofs matrix whose row i holds L(k, j) in the column of
    // local node j of interval i, every value stored, zeros included
    // (duplicate columns, which only a periodic single interval has, are
    // added). L is the inverse of V(j, k) = P_k(xi_j): fixed tables for
    // degree 1 and 2, an LU inversion for degree >= 3.
    // Failures (texts in messages.hpp), in this order: those of
    // check_transformation_request; V reported singular (kSingularVandermonde);
    // k > degree (kRowOutOfBounds); n_t * (degree + 1) entries that cannot be
    // described (kCapacityOverflow). Without intervals no L is needed: the
    // result is an empty 0 x n_dofs matrix at any degree >= 1.
    // Cost: O(degree^3) for L when degree >= 3 and n_t >= 1, then
    // O(n_t * degree).
    CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::uint64_t k) const;

    // The blocks of all Legendre indices 0 ... degree stacked vertically:
    // (degree + 1) * n_t rows x n_dofs columns, row k * n_t + i being the
    // coefficient of P_k on interval i -- the layout of Legendre coefficient
    // vectors. Same failures as above, k never out of range; without
    // intervals the 0 x n_dofs matrix, whatever the degree.
    // Cost: one L, then O(n_t * degree^2).
    // The misspelt name is the one callers know; keep it.
    CsrMatrix get_transormation_matrix_to_legendre() const;

private:
    LagrangeBasis(std::vector<double> points, std::uint64_t degree, std::uint64_t n_t, bool periodic) noexcept
        : points_(std::move(points)), degree_(degree), n_t_(n_t), periodic_(periodic) {}

    // Global index of local node k of interval i; requires i < n_t, k <= degree.
    std::uint64_t global_dof(std::uint64_t i, std::uint64_t k) const noexcept {
        const std::uint64_t g = i * degree_ + k;
        return periodic_ ? g % points_.size() : g;
    }

    // Block of Legendre index k from the local matrix L (row-major,
    // (degree + 1)^2 values); requires k <= degree.
    CsrMatrix legendre_block(const std::vector<double>& L, std::uint64_t k) const;

    std::vector<double> points_;
    std::uint64_t degree_;
    std::uint64_t n_t_;
    bool periodic_;
};

namespace lagrange_accuracy_internals {

// Largest degree of the matrices without accuracy limits, which only
// measure where those limits belong: far beyond them, and a call stays cheap.
inline constexpr std::uint64_t max_measured_degree = 256;

// The local Lagrange-to-Legendre matrix L of get_transormation_matrix_to_legendre
// (row-major, row k = Legendre index, column j = local node) at any degree
// 1 <= d <= max_measured_degree with no accuracy limit (fatal
// kTransformationDegreeZero or kMeasuredDegreeLimit otherwise), for
// measuring where that limit belongs. Fails with kSingularVandermonde when
// the inversion reports V singular. O(d^3).
std::vector<double> vandermonde_lagrange_to_legendre(std::uint64_t d);

}  // namespace lagrange_accuracy_internals

}  // namespace tavik
