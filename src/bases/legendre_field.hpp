// Vector-valued piecewise Legendre expansions, evaluated at many times.
//
// Conventions (those of the array interface, tavik_arrays):
//  - A field with m components has its coefficients in C order
//    (n_t, degree + 1, m): the coefficient of interval c, Legendre degree k
//    and component j sits at flat index (c * (degree + 1) + k) * m + j.
//  - Results are C order (times, m): row i holds the m components at time i.
//  - Times are located by the node rule of node_rule.hpp: the uniform
//    mesh's location, except that a time within a few units in the last
//    place of a node is that node exactly, its left or right limit by the
//    side (xi = +1 of the interval before it, or xi = -1 of the one after),
//    and that a periodic mesh first reduces times modulo T.
//  - Values: S_j = sum_k P_k(xi) * coefficient(c, k, j), from -0.0 with k
//    increasing, exactly LegendreBasis::evaluate's operations per component;
//    a one-component field therefore gives evaluate's bits at every time the
//    node rule leaves where the plain location puts it (it runs the very
//    kernels of LegendreBasis's batches, reading the C order in place).
//  - Derivatives: (S'_j + S'_j) / h with S'_j the same sum over P_k'(xi) from
//    the division-free recurrence P'_(k+1) = P'_(k-1) + (2k + 1) P_k (no
//    guard constant), so they
//    differ from LegendreBasis::evaluate_derivative in the last digits away
//    from the interval ends.
//  - On a mesh of nodes (FieldSpace::mesh), times are located by the rule of
//    formulas/graded_mesh.hpp (the node rule carried over to unequal steps)
//    and derivatives divide by each interval's own step t_(c+1) - t_c in
//    place of h; the sums are the same operations.
//  - Every time is computed on its own: results do not depend on the worker
//    count or on how the batch is split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "formulas/graded_mesh.hpp"
#include "formulas/node_rule.hpp"
#include "kernels/kernels.hpp"

namespace tavik {

// The discontinuous space of the array interface: Legendre polynomials of
// `degree` on the n_t intervals of [0, T], or, with a mesh of nodes, on its
// n_t intervals [t_c, t_(c+1)] (T is then unused: the period of a periodic
// space is the last node). The mesh must outlive every call given it.
struct FieldSpace {
    std::uint64_t degree;
    std::uint64_t n_t;
    double T;
    const GradedMesh* mesh = nullptr;
};

// Field with `components` values per time at every time of `times`, into
// `out` (times.size() * components elements, C order (times, components)).
// Preconditions (fatal error otherwise): n_t >= 1; with a mesh of nodes,
// mesh->n_t() == n_t; coefficients.size() == n_t * (degree + 1) * components; out has the size
// above. out must not overlap the inputs, which is the caller's to ensure (the
// core cannot tell). Cost O(times * (degree + 1) * components), on the
// worker pool once the batch is large (see field_parallel_threshold); no
// allocation depends on the number of times, and every allocation (working
// memory for degrees above 15, per thread) is made on the calling thread
// before the batch starts, so an exhausted memory surfaces there as
// std::bad_alloc.
void evaluate_field_into(const FieldSpace& space, std::span<const double> coefficients, std::uint64_t components,
                         std::span<const double> times, FieldQuantity quantity, NodeSide side, bool periodic,
                         std::span<double> out);

// The degree + 1 basis functions that are non-zero at each time, row i of
// (times.size(), degree + 1) for time i: values[i][k] = P_k(xi), or
// (P_k'(xi) + P_k'(xi)) / h for derivatives (the interval's step for h on a
// mesh of nodes), and columns[i][k] =
// c * (degree + 1) + k, the C-order column of interval c and degree k.
// Preconditions (fatal error otherwise): n_t >= 1 (and equal to the mesh's,
// with a mesh of nodes); values and columns hold
// times.size() * (degree + 1) elements; with 32-bit columns,
// n_t * (degree + 1) fits in int32. Cost O(times * (degree + 1)); allocates
// as evaluate_field_into does.
void basis_rows_into(const FieldSpace& space, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, bool periodic, std::span<double> values, std::span<std::int64_t> columns);
void basis_rows_into(const FieldSpace& space, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, bool periodic, std::span<double> values, std::span<std::int32_t> columns);

// Number of times from which a batch of this shape runs on the worker pool:
// about 8192 coefficient products per batch, and never fewer than 2 times.
std::size_t field_parallel_threshold(std::uint64_t degree, std::uint64_t components) noexcept;

// The kernels are those of kernels/kernels.hpp, on the active instruction set.

}  // namespace tavik
