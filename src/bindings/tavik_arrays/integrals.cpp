// The reduction behind LegendreSpace's integrals and norms: convert, release
// the lock, call the core, translate its errors (bind_evaluation's
// translator turns a core FatalError into ValueError).
//
// The Python layer hands over validated, C-contiguous float64 arrays; the
// sizes, alignment and overlap that the core's accesses depend on are
// checked again here.
#include <cstdint>
#include <span>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings.hpp"
#include "bases/legendre_integrals.hpp"

namespace nb = nanobind;

namespace {

template <class T, std::size_t N>
using Array = nb::ndarray<T, nb::ndim<N>, nb::c_contig, nb::device::cpu, nb::numpy>;

void require(bool condition, const char* message) {
    if (!condition) throw nb::value_error(message);
}

template <class T>
std::span<T> elements(T* data, std::size_t size) {
    require(reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0, "arrays must be aligned to their element size");
    return {data, size};
}

template <class A, class B>
bool overlap(std::span<A> a, std::span<B> b) {
    const auto* a0 = reinterpret_cast<const unsigned char*>(a.data());
    const auto* b0 = reinterpret_cast<const unsigned char*>(b.data());
    return !a.empty() && !b.empty() && a0 < b0 + b.size_bytes() && b0 < a0 + a.size_bytes();
}

// values (rows, width, m), weights (1 or rows, width), out (m,).
void weighted_square_sums(Array<const double, 3> values, Array<const double, 2> weights, Array<double, 1> out) {
    const std::size_t rows = values.shape(0), width = values.shape(1), m = values.shape(2);
    require(weights.shape(1) == width && (weights.shape(0) == 1 || weights.shape(0) == rows),
            "weights must have shape (1 or rows, width)");
    require(out.shape(0) == m, "out must have shape (components,)");
    const auto v = elements(values.data(), values.size());
    const auto w = elements(weights.data(), weights.size());
    const auto o = elements(out.data(), out.size());
    require(!overlap(o, v) && !overlap(o, w), "the output array overlaps an input array");
    nb::gil_scoped_release unlocked;
    tavik::weighted_square_sums_into(v, rows, width, m, w, o);
}

// values (rows, width, m), weights (width - 1,), out (m,).
void derivative_square_sums(Array<const double, 3> values, Array<const double, 1> weights, Array<double, 1> out) {
    const std::size_t rows = values.shape(0), width = values.shape(1), m = values.shape(2);
    require(width >= 1 && weights.shape(0) == width - 1, "weights must have shape (width - 1,)");
    require(out.shape(0) == m, "out must have shape (components,)");
    const auto v = elements(values.data(), values.size());
    const auto w = elements(weights.data(), weights.size());
    const auto o = elements(out.data(), out.size());
    require(!overlap(o, v) && !overlap(o, w), "the output array overlaps an input array");
    nb::gil_scoped_release unlocked;
    tavik::derivative_square_sums_into(v, rows, width, m, w, o);
}

}  // namespace

void bind_integrals(nb::module_& m) {
    m.def("weighted_square_sums", &weighted_square_sums, nb::arg("values").noconvert(),
          nb::arg("weights").noconvert(), nb::arg("out").noconvert(),
          "Per component, the sum of weights[r or 0, k] * values[r, k, j] ** 2 over r and k, into out; "
          "the same bits for any number of worker threads.");
    m.def("derivative_square_sums", &derivative_square_sums, nb::arg("values").noconvert(),
          nb::arg("weights").noconvert(), nb::arg("out").noconvert(),
          "Per component, the sum over r and i of weights[i] * d_i ** 2, d the Legendre coefficients of the "
          "derivative of values[r, :, j], into out; the same bits for any number of worker threads.");
}
