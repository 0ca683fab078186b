// Sparse matrices and quadrature of the array interface: call the core with
// the lock released, hand its arrays to numpy without copying.
//
// Each matrix comes back as (data, indices, indptr, (nrows, ncols)), the
// arguments of scipy.sparse.csr_array, with the index width its core shape
// allows. The Python layer has validated the arguments; the core checks its
// preconditions again, and its failures reach Python as ValueError (see
// evaluation.cpp).
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings.hpp"
#include "formulas/gauss_legendre.hpp"
#include "bases/lagrange_basis.hpp"
#include "bases/lagrange_matrices_exact.hpp"
#include "bases/lagrange_on_nodes.hpp"
#include "messages.hpp"
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

// Builds with the index width the core's shape allows: 32 bits where every
// index and count fits, 64 otherwise. A shape beyond what one array can hold
// is the core's to refuse; the Python layer reports it first, by argument,
// from the same shape (the *_shape functions below).
template <class Build>
nb::tuple build(const tavik::CsrShape& shape, Build build) {
    if (shape.fits<std::int32_t>()) {
        tavik::CsrArrays<std::int32_t> m;
        {
            nb::gil_scoped_release unlocked;
            m = build(std::int32_t{});
        }
        return to_python(std::move(m));
    }
    tavik::CsrArrays<std::int64_t> m;
    {
        nb::gil_scoped_release unlocked;
        m = build(std::int64_t{});
    }
    return to_python(std::move(m));
}

// (nrows, ncols, max_nnz, index bits) of a matrix; counts saturate at
// 2^64 - 1, standing for any larger count.
nb::tuple to_python(const tavik::CsrShape& shape) {
    return nb::make_tuple(shape.nrows, shape.ncols, shape.max_nnz, shape.fits<std::int32_t>() ? 32 : 64);
}

nb::tuple prolongation(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine, bool periodic) {
    return build(tavik::exact_prolongation_shape(degree, nt_coarse, nt_fine, periodic), [&]<class Index>(Index) {
        return tavik::exact_lagrange_prolongation<Index>(degree, nt_coarse, nt_fine, periodic);
    });
}

nb::tuple lagrange_to_legendre(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    return build(tavik::lagrange_to_legendre_shape(degree, n_t, periodic), [&]<class Index>(Index) {
        return tavik::lagrange_to_legendre_csr<Index>(degree, n_t, periodic);
    });
}

nb::tuple mass(std::uint64_t degree, std::uint64_t n_t, double h) {
    return build(tavik::legendre_mass_shape(degree, n_t),
                 [&]<class Index>(Index) { return tavik::legendre_mass_matrix<Index>(degree, n_t, h); });
}

nb::tuple derivative(std::uint64_t degree, std::uint64_t n_t) {
    return build(tavik::legendre_derivative_shape(degree, n_t),
                 [&]<class Index>(Index) { return tavik::legendre_derivative_matrix<Index>(degree, n_t); });
}

nb::tuple jump(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    return build(tavik::legendre_jump_shape(degree, n_t),
                 [&]<class Index>(Index) { return tavik::legendre_jump_matrix<Index>(degree, n_t, periodic); });
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
// Degrees up to max_measured_degree, so that a call stays cheap.
nb::ndarray<nb::numpy, double, nb::ndim<1>> unlimited_lagrange_to_legendre(std::uint64_t degree, bool projection) {
    std::vector<double> L;
    {
        nb::gil_scoped_release unlocked;
        L = projection ? tavik::lagrange_accuracy_internals::lagrange_to_legendre_projection(degree)
                       : tavik::lagrange_accuracy_internals::vandermonde_lagrange_to_legendre(degree);
    }
    return to_numpy(std::move(L));
}

// The Lagrange space on a mesh of nodes. The Python layer hands over the
// validated nodes, the space's own points and the target points, each a
// float64 C-contiguous array; the core checks every size it reads by.
using Doubles = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu, nb::numpy>;

std::span<const double> doubles(const Doubles& array) {
    if (reinterpret_cast<std::uintptr_t>(array.data()) % alignof(double) != 0) {
        throw nb::value_error(tavik::messages::kMisalignedArray);
    }
    return {array.data(), array.size()};
}

nb::ndarray<nb::numpy, double, nb::ndim<1>> lagrange_points_on_nodes(std::uint64_t degree, Doubles nodes,
                                                                     bool periodic) {
    const auto t = doubles(nodes);
    std::vector<double> points;
    {
        nb::gil_scoped_release unlocked;
        points = tavik::lagrange_points_on_nodes(degree, t, periodic);
    }
    return to_numpy(std::move(points));
}

nb::tuple interpolation_to_points(std::uint64_t degree, Doubles nodes, Doubles points, Doubles targets,
                                  bool periodic) {
    const auto t = doubles(nodes);
    const auto p = doubles(points);
    const auto x = doubles(targets);
    return build(tavik::interpolation_to_points_shape(degree, x.size(), p.size()), [&]<class Index>(Index) {
        return tavik::lagrange_interpolation_to_points<Index>(degree, t, p, x, periodic);
    });
}

}  // namespace

void bind_matrices(nb::module_& m) {
    m.attr("max_prolongation_degree") = tavik::max_exact_prolongation_degree;
    m.attr("max_to_legendre_degree") = tavik::max_exact_lagrange_to_legendre_degree;
    m.attr("max_gauss_legendre_points") = tavik::max_gauss_legendre_points;
    m.def("prolongation", &prolongation, nb::arg("degree"), nb::arg("nt_coarse"), nb::arg("nt_fine"), nb::kw_only(),
          nb::arg("periodic"), "Exact-structure Lagrange prolongation as CSR arrays.");
    m.def("lagrange_to_legendre", &lagrange_to_legendre, nb::arg("degree"), nb::arg("n_t"), nb::kw_only(),
          nb::arg("periodic"), "Lagrange-to-Legendre matrix (C-order Legendre rows) as CSR arrays.");
    m.def("mass", &mass, nb::arg("degree"), nb::arg("n_t"), nb::arg("h"), "Legendre mass matrix as CSR arrays.");
    m.def("derivative", &derivative, nb::arg("degree"), nb::arg("n_t"),
          "Legendre derivative matrix (int phi_j' phi_i) as CSR arrays.");
    m.def("jump", &jump, nb::arg("degree"), nb::arg("n_t"), nb::kw_only(), nb::arg("periodic"),
          "Upwind jump coupling of dG in time as CSR arrays.");

    m.def(
        "prolongation_shape",
        [](std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine, bool periodic) {
            return to_python(tavik::exact_prolongation_shape(degree, nt_coarse, nt_fine, periodic));
        },
        nb::arg("degree"), nb::arg("nt_coarse"), nb::arg("nt_fine"), nb::kw_only(), nb::arg("periodic"),
        "(nrows, ncols, max_nnz, index bits) of prolongation, counts saturated at 2**64 - 1.");
    m.def(
        "lagrange_to_legendre_shape",
        [](std::uint64_t degree, std::uint64_t n_t, bool periodic) {
            return to_python(tavik::lagrange_to_legendre_shape(degree, n_t, periodic));
        },
        nb::arg("degree"), nb::arg("n_t"), nb::kw_only(), nb::arg("periodic"), "The same for lagrange_to_legendre.");
    m.def(
        "mass_shape",
        [](std::uint64_t degree, std::uint64_t n_t) { return to_python(tavik::legendre_mass_shape(degree, n_t)); },
        nb::arg("degree"), nb::arg("n_t"), "The same for mass.");
    m.def(
        "derivative_shape",
        [](std::uint64_t degree, std::uint64_t n_t) {
            return to_python(tavik::legendre_derivative_shape(degree, n_t));
        },
        nb::arg("degree"), nb::arg("n_t"), "The same for derivative.");
    m.def(
        "jump_shape",
        [](std::uint64_t degree, std::uint64_t n_t) { return to_python(tavik::legendre_jump_shape(degree, n_t)); },
        nb::arg("degree"), nb::arg("n_t"), "The same for jump (periodic or not).");
    m.def(
        "basis_matrix_shape",
        [](std::uint64_t degree, std::uint64_t n_t, std::uint64_t times) {
            return to_python(tavik::legendre_basis_matrix_shape(degree, n_t, times));
        },
        nb::arg("degree"), nb::arg("n_t"), nb::arg("times"),
        "The same for the basis matrix of that many times (basis_rows).");

    m.def("gauss_legendre", &gauss_legendre, nb::arg("n"), "n-point Gauss-Legendre nodes and weights on [-1, 1].");
    m.def("unlimited_lagrange_to_legendre", &unlimited_lagrange_to_legendre, nb::arg("degree"), nb::kw_only(),
          nb::arg("projection"),
          "Local Lagrange-to-Legendre matrix (row-major) without the degree limits, for the accuracy tool.");
    m.def("lagrange_points", &lagrange_points, nb::arg("degree"), nb::arg("n_t"), nb::arg("T"), nb::kw_only(),
          nb::arg("periodic"), "Nodal points of the Lagrange basis, as tavik.get_lagrange_points.");
    m.def("lagrange_points_on_nodes", &lagrange_points_on_nodes, nb::arg("degree"), nb::arg("nodes").noconvert(),
          nb::kw_only(), nb::arg("periodic"), "Nodal points of the Lagrange space on a mesh of nodes.");
    m.def("interpolation_to_points", &interpolation_to_points, nb::arg("degree"), nb::arg("nodes").noconvert(),
          nb::arg("points").noconvert(), nb::arg("targets").noconvert(), nb::kw_only(), nb::arg("periodic"),
          "Lagrange interpolation from a mesh of nodes onto points, as CSR arrays.");
    m.def(
        "interpolation_to_points_shape",
        [](std::uint64_t degree, std::uint64_t n_points, std::uint64_t n_dofs) {
            return to_python(tavik::interpolation_to_points_shape(degree, n_points, n_dofs));
        },
        nb::arg("degree"), nb::arg("n_points"), nb::arg("n_dofs"), "The same for interpolation_to_points.");
}
