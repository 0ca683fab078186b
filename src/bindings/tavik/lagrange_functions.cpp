// Module functions on the continuous Lagrange basis: its nodal points, the
// coarse-to-fine prolongation matrix and the matrix into Legendre
// coefficients. Each call builds a LagrangeBasis, uses it and drops it.
//
// Periodic parameters are checked here, before any core call, and reported as
// ValueError; the non-periodic core preconditions surface as PanicException.
#include <Python.h>

#include <cstdint>
#include <utility>

#include "messages.hpp"
#include "bases/lagrange_basis.hpp"
#include "bindings/tavik/arguments.hpp"
#include "bindings/tavik/entry.hpp"
#include "bindings/tavik/results.hpp"
#include "sparse/csr_tools.hpp"

namespace tavik::py {

namespace {

// The matrix is consumed: its column and value arrays become the triplets'.
PyRef to_python(CsrMatrix&& matrix) {
    const Triplets t = csr_to_triplets(std::move(matrix));
    return triplets_to_tuple(t.row_indices, t.col_indices, t.values);
}

// `periodic` is converted only when given: an explicit None is refused.
bool periodic_flag(Arg periodic) { return periodic.given() && to_flag(periodic); }

constexpr Param kPeriodic{"periodic", "False"};

constexpr auto kPoints = function_signature("get_lagrange_points", {{"degree"}, {"n_t"}, {"T"}, kPeriodic});

PyRef get_lagrange_points(const BoundArgs<4>& bound) {
    const auto& [degree_arg, n_t_arg, T_arg, periodic_arg] = bound;
    const std::uint64_t degree = to_u64(degree_arg);
    const std::uint64_t n_t = to_u64(n_t_arg);
    const double T = to_double(T_arg);
    const bool periodic = periodic_flag(periodic_arg);
    if (periodic && degree == 0) raise_value_error(messages::kPeriodicDegree);
    if (periodic && n_t == 0) raise_value_error(messages::kPeriodicIntervals);
    const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, T, periodic);
    return from_doubles(basis.points());
}

constexpr auto kProlongation =
    function_signature("lagrange_prolongation_matrix", {{"nt_coarse"}, {"nt_fine"}, {"degree"}, kPeriodic});

PyRef lagrange_prolongation_matrix(const BoundArgs<4>& bound) {
    const auto& [nt_coarse_arg, nt_fine_arg, degree_arg, periodic_arg] = bound;
    const std::uint64_t nt_coarse = to_u64(nt_coarse_arg);
    const std::uint64_t nt_fine = to_u64(nt_fine_arg);
    const std::uint64_t degree = to_u64(degree_arg);
    const bool periodic = periodic_flag(periodic_arg);
    if (periodic && degree == 0) raise_value_error(messages::kPeriodicDegree);
    if (periodic && (nt_coarse == 0 || nt_fine == 0)) raise_value_error(messages::kPeriodicProlongation);
    // The core's own checks, asked before the coarse basis of n_t * degree
    // nodes is built, so that a refused degree costs nothing.
    check_prolongation_request(degree, nt_coarse, nt_fine);
    const LagrangeBasis coarse = LagrangeBasis::create(degree, nt_coarse, 1.0, periodic);
    return to_python(coarse.get_prolongation_matrix_to(nt_fine));
}

constexpr auto kTransformation =
    function_signature("lagrange_to_legendre_basis_transformation", {{"degree"}, {"n_t"}, kPeriodic});

PyRef lagrange_to_legendre_basis_transformation(const BoundArgs<3>& bound) {
    const auto& [degree_arg, n_t_arg, periodic_arg] = bound;
    const std::uint64_t degree = to_u64(degree_arg);
    const std::uint64_t n_t = to_u64(n_t_arg);
    const bool periodic = periodic_flag(periodic_arg);
    if (periodic && degree == 0) raise_value_error(messages::kPeriodicDegree);
    if (periodic && n_t == 0) raise_value_error(messages::kPeriodicIntervals);
    // The core's own checks, asked before the basis of n_t * degree nodes is
    // built, so that a refused degree costs nothing.
    check_transformation_request(degree, n_t);
    const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, 1.0, periodic);
    return to_python(basis.get_transormation_matrix_to_legendre());
}

PyMethodDef g_points_def = function_def<kPoints, get_lagrange_points>();
PyMethodDef g_prolongation_def = function_def<kProlongation, lagrange_prolongation_matrix>();
PyMethodDef g_transformation_def = function_def<kTransformation, lagrange_to_legendre_basis_transformation>();

}  // namespace

void register_get_lagrange_points(PyObject* module) { register_function(module, &g_points_def); }
void register_lagrange_prolongation_matrix(PyObject* module) { register_function(module, &g_prolongation_def); }
void register_lagrange_to_legendre_basis_transformation(PyObject* module) {
    register_function(module, &g_transformation_def);
}

}  // namespace tavik::py
