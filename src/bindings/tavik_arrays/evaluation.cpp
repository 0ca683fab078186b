// Evaluation kernels of LegendreSpace: convert, release the lock, call the
// core, translate its errors.
//
// The Python layer hands over arrays it has already validated and shaped
// (float64, C-contiguous, aligned, non-overlapping). Here only what the
// core cannot see is checked: alignment, and that the output shares no
// memory with an input (the core reads inputs while it writes). The core
// checks every size its accesses depend on and the mesh (n_t >= 1, and
// equal to a mesh of nodes' own), so no
// call from Python can make it read or write outside an array.
#include <cstdint>
#include <span>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "bases/legendre_field.hpp"
#include "formulas/graded_mesh.hpp"

namespace nb = nanobind;

namespace {

template <class T, std::size_t N>
using Array = nb::ndarray<T, nb::ndim<N>, nb::c_contig, nb::device::cpu, nb::numpy>;

template <class T>
std::span<T> elements(T* data, std::size_t size) {
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) != 0) {
        throw nb::value_error(tavik::messages::kMisalignedArray);
    }
    return {data, size};
}

template <class A, class B>
bool overlap(std::span<A> a, std::span<B> b) {
    const auto* a0 = reinterpret_cast<const unsigned char*>(a.data());
    const auto* b0 = reinterpret_cast<const unsigned char*>(b.data());
    return !a.empty() && !b.empty() && a0 < b0 + b.size_bytes() && b0 < a0 + a.size_bytes();
}

void require_apart(bool apart) {
    if (!apart) throw nb::value_error(tavik::messages::kOutputOverlaps);
}

tavik::FieldQuantity quantity_of(bool derivative) {
    return derivative ? tavik::FieldQuantity::derivative : tavik::FieldQuantity::value;
}

tavik::NodeSide side_of(bool left) { return left ? tavik::NodeSide::left : tavik::NodeSide::right; }

// A mesh of nodes: its nodes copied and its location table built. The
// Python layer validated the values (finite, strictly increasing, steps it
// accepts); any values keep the core's accesses in range.
void init_graded_mesh(tavik::GradedMesh* self, Array<const double, 1> nodes) {
    const auto t = elements(nodes.data(), nodes.size());
    nb::gil_scoped_release unlocked;
    new (self) tavik::GradedMesh(t);
}

void evaluate(std::uint64_t degree, std::uint64_t n_t, double T, Array<const double, 3> coefficients,
              Array<const double, 1> times, Array<double, 2> out, bool derivative, bool left, bool periodic,
              const tavik::GradedMesh* mesh) {
    const auto c = elements(coefficients.data(), coefficients.size());
    const auto t = elements(times.data(), times.size());
    const auto o = elements(out.data(), out.size());
    require_apart(!overlap(o, c) && !overlap(o, t));
    const tavik::FieldSpace space{degree, n_t, T, mesh};
    nb::gil_scoped_release unlocked;
    tavik::evaluate_field_into(space, c, coefficients.shape(2), t, quantity_of(derivative), side_of(left), periodic,
                               o);
}

template <class Index>
void basis_rows(std::uint64_t degree, std::uint64_t n_t, double T, Array<const double, 1> times,
                Array<double, 2> values, Array<Index, 2> columns, bool derivative, bool left, bool periodic,
                const tavik::GradedMesh* mesh) {
    const auto t = elements(times.data(), times.size());
    const auto v = elements(values.data(), values.size());
    const auto col = elements(columns.data(), columns.size());
    require_apart(!overlap(v, t) && !overlap(col, t) && !overlap(v, col));
    const tavik::FieldSpace space{degree, n_t, T, mesh};
    nb::gil_scoped_release unlocked;
    tavik::basis_rows_into(space, t, quantity_of(derivative), side_of(left), periodic, v, col);
}

}  // namespace

void bind_evaluation(nb::module_& m) {
    // A core precondition that fails (sizes, an empty mesh, a matrix no
    // array can hold) is an argument error of this private interface, not a
    // crash; the Python layer refuses such arguments first, by name.
    nb::register_exception_translator([](const std::exception_ptr& error, void*) {
        try {
            std::rethrow_exception(error);
        } catch (const tavik::FatalError& fatal) {
            PyErr_SetString(PyExc_ValueError, fatal.what());
        }
    });

    nb::class_<tavik::GradedMesh>(m, "GradedMesh",
                                  "The nodes of a mesh (copied) and the table that locates times on it.")
        .def("__init__", &init_graded_mesh, nb::arg("nodes").noconvert())
        .def_prop_ro("n_t", &tavik::GradedMesh::n_t, "Number of intervals (nodes - 1).");

    m.def("evaluate", &evaluate, nb::arg("degree"), nb::arg("n_t"), nb::arg("T"),
          nb::arg("coefficients").noconvert(), nb::arg("times").noconvert(), nb::arg("out").noconvert(),
          nb::kw_only(), nb::arg("derivative"), nb::arg("left"), nb::arg("periodic"),
          nb::arg("mesh").none() = nb::none(),
          "Field (n_t, degree + 1, m) at 1-D times into out (times, m); with mesh, on that mesh of nodes "
          "(n_t must be its own; T is unused).");
    m.def("basis_rows", &basis_rows<std::int64_t>, nb::arg("degree"), nb::arg("n_t"), nb::arg("T"),
          nb::arg("times").noconvert(), nb::arg("values").noconvert(), nb::arg("columns").noconvert(),
          nb::kw_only(), nb::arg("derivative"), nb::arg("left"), nb::arg("periodic"),
          nb::arg("mesh").none() = nb::none(),
          "Non-zero basis functions and their columns at 1-D times, rows (times, degree + 1).");
    m.def("basis_rows", &basis_rows<std::int32_t>, nb::arg("degree"), nb::arg("n_t"), nb::arg("T"),
          nb::arg("times").noconvert(), nb::arg("values").noconvert(), nb::arg("columns").noconvert(),
          nb::kw_only(), nb::arg("derivative"), nb::arg("left"), nb::arg("periodic"),
          nb::arg("mesh").none() = nb::none());
}
