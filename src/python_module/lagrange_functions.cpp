// Module functions on the continuous Lagrange basis: its nodal points, the
// coarse-to-fine prolongation matrix and the matrix into Legendre
// coefficients. Each call builds a LagrangeBasis, uses it and drops it.
//
// Periodic parameters are checked here, before any core call, and reported as
// ValueError; the non-periodic core preconditions surface as PanicException.
#include <Python.h>

#include <cstdint>
#include <utility>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "python_module/args.hpp"
#include "python_module/convert.hpp"
#include "python_module/errors.hpp"
#include "python_module/registry.hpp"
#include "sparse_matrix_tools/csr_tools.hpp"

namespace tavik::py {

namespace {

constexpr const char kPeriodicDegree[] = "Periodic Lagrange bases require polynomial degree at least 1";
constexpr const char kPeriodicIntervals[] = "Periodic Lagrange bases require at least one interval";
constexpr const char kPeriodicProlongation[] = "Periodic Lagrange prolongation requires positive interval counts";

// The matrix is consumed: its column and value arrays become the triplets'.
PyRef to_python(CsrMatrix&& matrix) {
    const Triplets t = csr_to_triplets(std::move(matrix));
    return triplets_to_tuple(t.row_indices, t.col_indices, t.values);
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---- get_lagrange_points(degree, n_t, T, periodic=False) ----

PyRef get_lagrange_points_impl(std::uint64_t degree, std::uint64_t n_t, double T, bool periodic) {
    if (periodic && degree == 0) raise_value_error(kPeriodicDegree);
    if (periodic && n_t == 0) raise_value_error(kPeriodicIntervals);
    const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, T, periodic);
    return from_doubles(basis.points());
}

constexpr const char* kPointsNames[] = {"degree", "n_t", "T", "periodic"};
constexpr Signature kPoints{"get_lagrange_points()", kPointsNames, 4, 3};

PyObject* py_get_lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<4>(kPoints, args, nargs, kwnames);
        const std::uint64_t degree = to_u64(a[0], "degree");
        const std::uint64_t n_t = to_u64(a[1], "n_t");
        const double T = to_double(a[2], "T");
        const bool periodic = a.given(3) && to_flag(a[3], "periodic");
        return get_lagrange_points_impl(degree, n_t, T, periodic);
    });
}

PyMethodDef g_points_def = {"get_lagrange_points", as_cfunction(py_get_lagrange_points), METH_FASTCALL | METH_KEYWORDS,
                            "get_lagrange_points(degree, n_t, T, periodic=False)\n--\n\n"};

// ---- lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False) ----

PyRef lagrange_prolongation_matrix_impl(std::uint64_t nt_coarse, std::uint64_t nt_fine, std::uint64_t degree,
                                        bool periodic) {
    if (periodic && degree == 0) raise_value_error(kPeriodicDegree);
    if (periodic && (nt_coarse == 0 || nt_fine == 0)) raise_value_error(kPeriodicProlongation);
    // The core refuses the degree too, but only after the coarse basis, of
    // n_t * degree nodes, has been built.
    check_lagrange_matrix_degree(degree);
    const LagrangeBasis coarse = LagrangeBasis::create(degree, nt_coarse, 1.0, periodic);
    return to_python(coarse.get_prolongation_matrix_to(nt_fine));
}

constexpr const char* kProlongationNames[] = {"nt_coarse", "nt_fine", "degree", "periodic"};
constexpr Signature kProlongation{"lagrange_prolongation_matrix()", kProlongationNames, 4, 3};

PyObject* py_lagrange_prolongation_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<4>(kProlongation, args, nargs, kwnames);
        const std::uint64_t nt_coarse = to_u64(a[0], "nt_coarse");
        const std::uint64_t nt_fine = to_u64(a[1], "nt_fine");
        const std::uint64_t degree = to_u64(a[2], "degree");
        const bool periodic = a.given(3) && to_flag(a[3], "periodic");
        return lagrange_prolongation_matrix_impl(nt_coarse, nt_fine, degree, periodic);
    });
}

PyMethodDef g_prolongation_def = {
    "lagrange_prolongation_matrix", as_cfunction(py_lagrange_prolongation_matrix), METH_FASTCALL | METH_KEYWORDS,
    "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False)\n--\n\n"};

// ---- lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False) ----

PyRef lagrange_to_legendre_impl(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    if (periodic && degree == 0) raise_value_error(kPeriodicDegree);
    if (periodic && n_t == 0) raise_value_error(kPeriodicIntervals);
    // Degree 0 keeps its own message from the core; too high a degree is
    // refused before the basis is built.
    check_lagrange_matrix_degree(degree);
    const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, 1.0, periodic);
    return to_python(basis.get_transormation_matrix_to_legendre());
}

constexpr const char* kTransformationNames[] = {"degree", "n_t", "periodic"};
constexpr Signature kTransformation{"lagrange_to_legendre_basis_transformation()", kTransformationNames, 3, 2};

PyObject* py_lagrange_to_legendre(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<3>(kTransformation, args, nargs, kwnames);
        const std::uint64_t degree = to_u64(a[0], "degree");
        const std::uint64_t n_t = to_u64(a[1], "n_t");
        const bool periodic = a.given(2) && to_flag(a[2], "periodic");
        return lagrange_to_legendre_impl(degree, n_t, periodic);
    });
}

PyMethodDef g_transformation_def = {
    "lagrange_to_legendre_basis_transformation", as_cfunction(py_lagrange_to_legendre), METH_FASTCALL | METH_KEYWORDS,
    "lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False)\n--\n\n"};

}  // namespace

void register_get_lagrange_points(PyObject* module) { register_function(module, &g_points_def); }
void register_lagrange_prolongation_matrix(PyObject* module) { register_function(module, &g_prolongation_def); }
void register_lagrange_to_legendre_basis_transformation(PyObject* module) {
    register_function(module, &g_transformation_def);
}

}  // namespace tavik::py
