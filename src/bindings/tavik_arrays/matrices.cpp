// Sparse matrices and quadrature of the array interface: call the core with
// the lock released, hand its arrays to numpy without copying.
//
// Each matrix comes back as (data, indices, indptr, (nrows, ncols)), the
// arguments of scipy.sparse.csr_array; indices are int32 when every index
// and count fits, int64 otherwise. The Python layer has validated the
// arguments; the core checks again what memory safety depends on, and its
// failures reach Python as ValueError (see evaluation.cpp).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings.hpp"
#include "formulas/gauss_legendre.hpp"
#include "bases/lagrange_basis.hpp"
#include "bases/lagrange_matrices_exact.hpp"
#include "operators/time_dg_operators.hpp"
#include "sparse/csr_arrays.hpp"

namespace nb = nanobind;

namespace {

// A 1-D numpy array that takes over the vector's storage.
template <class Vector>
nb::ndarray<nb::numpy, typename Vector::value_type, nb::ndim<1>> to_numpy(Vector&& values) {
    auto* owned = new Vector(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<Vector*>(p); });
    return {owned->data(), {owned->size()}, owner};
}

template <class Index>
nb::tuple to_python(tavik::CsrArrays<Index>&& m) {
    const auto shape = nb::make_tuple(m.nrows, m.ncols);
    return nb::make_tuple(to_numpy(std::move(m.data)), to_numpy(std::move(m.indices)), to_numpy(std::move(m.indptr)),
                          shape);
}

constexpr const char* too_many_entries_message =
    "the arguments give a matrix of {} rows and up to {} entries, more than one array can hold";

// Builds with 32-bit indices when the shape and the entry bound allow it.
// A bound beyond what one array can describe is an argument error (the
// counts are saturated, so 2^64 - 1 stands for anything larger).
template <class Build32, class Build64>
nb::tuple build(std::uint64_t nrows, std::uint64_t ncols, std::uint64_t max_nnz, Build32 build32, Build64 build64) {
    constexpr std::uint64_t max_elements = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(double);
    if (max_nnz > max_elements || nrows >= max_elements) {
        std::string message = too_many_entries_message;
        message.replace(message.find("{}"), 2, std::to_string(nrows));
        message.replace(message.find("{}"), 2, std::to_string(max_nnz));
        throw nb::value_error(message.c_str());
    }
    if (tavik::csr_index_fits<std::int32_t>(nrows, ncols, max_nnz)) {
        tavik::CsrArrays<std::int32_t> m;
        {
            nb::gil_scoped_release unlocked;
            m = build32();
        }
        return to_python(std::move(m));
    }
    tavik::CsrArrays<std::int64_t> m;
    {
        nb::gil_scoped_release unlocked;
        m = build64();
    }
    return to_python(std::move(m));
}

// Saturating products for the index-width decision only; the core checks
// the real sizes.
std::uint64_t product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::uint64_t lagrange_dofs(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    const std::uint64_t shared = product(degree, n_t);
    return periodic || shared == UINT64_MAX ? shared : shared + 1;
}

nb::tuple prolongation(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine, bool periodic) {
    const std::uint64_t rows = lagrange_dofs(degree, nt_fine, periodic);
    return build(
        rows, lagrange_dofs(degree, nt_coarse, periodic), product(rows, degree + 1),
        [&] { return tavik::exact_lagrange_prolongation<std::int32_t>(degree, nt_coarse, nt_fine, periodic); },
        [&] { return tavik::exact_lagrange_prolongation<std::int64_t>(degree, nt_coarse, nt_fine, periodic); });
}

nb::tuple lagrange_to_legendre(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    const std::uint64_t rows = product(n_t, degree + 1);
    return build(
        rows, lagrange_dofs(degree, n_t, periodic), product(rows, degree + 1),
        [&] { return tavik::lagrange_to_legendre_csr<std::int32_t>(degree, n_t, periodic); },
        [&] { return tavik::lagrange_to_legendre_csr<std::int64_t>(degree, n_t, periodic); });
}

nb::tuple mass(std::uint64_t degree, std::uint64_t n_t, double h) {
    const std::uint64_t n = product(n_t, degree + 1);
    return build(
        n, n, n, [&] { return tavik::legendre_mass_matrix<std::int32_t>(degree, n_t, h); },
        [&] { return tavik::legendre_mass_matrix<std::int64_t>(degree, n_t, h); });
}

nb::tuple derivative(std::uint64_t degree, std::uint64_t n_t) {
    const std::uint64_t n = product(n_t, degree + 1);
    return build(
        n, n, product(n, degree + 1), [&] { return tavik::legendre_derivative_matrix<std::int32_t>(degree, n_t); },
        [&] { return tavik::legendre_derivative_matrix<std::int64_t>(degree, n_t); });
}

nb::tuple jump(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    const std::uint64_t n = product(n_t, degree + 1);
    return build(
        n, n, product(n, product(degree + 1, 2)),
        [&] { return tavik::legendre_jump_matrix<std::int32_t>(degree, n_t, periodic); },
        [&] { return tavik::legendre_jump_matrix<std::int64_t>(degree, n_t, periodic); });
}

nb::tuple gauss_legendre(std::uint64_t n) {
    tavik::GaussLegendreRule rule = tavik::gauss_legendre(n);
    return nb::make_tuple(to_numpy(std::move(rule.nodes)), to_numpy(std::move(rule.weights)));
}

nb::ndarray<nb::numpy, double, nb::ndim<1>> lagrange_points(std::uint64_t degree, std::uint64_t n_t, double T,
                                                             bool periodic) {
    std::vector<double> points = tavik::LagrangeBasis::create(degree, n_t, T, periodic).points();
    return to_numpy(std::move(points));
}

// The local Lagrange-to-Legendre matrices behind both interfaces, row-major
// (d + 1)^2 values, without their accuracy limits: only for measuring where
// those limits belong (tools/lagrange_degree_accuracy.py). projection picks
// this interface's Gauss projection, otherwise tavik's Vandermonde inverse.
// Degrees up to 256, so that a call stays cheap.
nb::ndarray<nb::numpy, double, nb::ndim<1>> unlimited_lagrange_to_legendre(std::uint64_t degree, bool projection) {
    if (degree == 0 || degree > 256) throw nb::value_error("degree must be in 1 ... 256");
    std::vector<double> L;
    {
        nb::gil_scoped_release unlocked;
        L = projection ? tavik::lagrange_accuracy_internals::lagrange_to_legendre_projection(degree)
                       : tavik::lagrange_accuracy_internals::vandermonde_lagrange_to_legendre(degree);
    }
    return to_numpy(std::move(L));
}

}  // namespace

void bind_matrices(nb::module_& m) {
    m.attr("max_prolongation_degree") = tavik::max_exact_prolongation_degree;
    m.attr("max_to_legendre_degree") = tavik::max_exact_lagrange_to_legendre_degree;
    m.attr("max_gauss_legendre_points") = tavik::max_gauss_legendre_points;
    m.def("prolongation", &prolongation, nb::arg("degree"), nb::arg("nt_coarse"), nb::arg("nt_fine"),
          nb::arg("periodic"), "Exact-structure Lagrange prolongation as CSR arrays.");
    m.def("lagrange_to_legendre", &lagrange_to_legendre, nb::arg("degree"), nb::arg("n_t"), nb::arg("periodic"),
          "Lagrange-to-Legendre matrix (C-order Legendre rows) as CSR arrays.");
    m.def("mass", &mass, nb::arg("degree"), nb::arg("n_t"), nb::arg("h"), "Legendre mass matrix as CSR arrays.");
    m.def("derivative", &derivative, nb::arg("degree"), nb::arg("n_t"),
          "Legendre derivative matrix (int phi_j' phi_i) as CSR arrays.");
    m.def("jump", &jump, nb::arg("degree"), nb::arg("n_t"), nb::arg("periodic"),
          "Upwind jump coupling of dG in time as CSR arrays.");
    m.def("gauss_legendre", &gauss_legendre, nb::arg("n"), "n-point Gauss-Legendre nodes and weights on [-1, 1].");
    m.def("unlimited_lagrange_to_legendre", &unlimited_lagrange_to_legendre, nb::arg("degree"), nb::arg("projection"),
          "Local Lagrange-to-Legendre matrix (row-major) without the degree limits, for the accuracy tool.");
    m.def("lagrange_points", &lagrange_points, nb::arg("degree"), nb::arg("n_t"), nb::arg("T"), nb::arg("periodic"),
          "Nodal points of the Lagrange basis, as tavik.get_lagrange_points.");
}
