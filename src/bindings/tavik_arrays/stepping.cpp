// The decoupled dG(q) stepper's native marcher for tavik_arrays: factor
// objects and the marcher (operators/dg_marcher), which copy and check what
// memory safety depends on; here the arrays of the Python layer are
// converted without copies or casts, checked for alignment and for outputs
// that share memory, and the march runs without the interpreter lock. The
// marcher keeps the factor sets a march uses alive by itself, so no Python
// object need outlive the call but the arrays it writes, which the call's
// arguments hold.
#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/vector.h>

#include "bindings.hpp"
#include "messages.hpp"
#include "operators/dg_marcher.hpp"

namespace nb = nanobind;

namespace {

using complex = std::complex<double>;

template <class T, std::size_t N>
using Array = nb::ndarray<T, nb::ndim<N>, nb::c_contig, nb::device::cpu, nb::numpy>;
using Index64 = Array<const std::int64_t, 1>;
using Index32 = Array<const std::int32_t, 1>;

// The elements of a C-contiguous array, as the core takes them; numpy can
// hand over misaligned views.
template <class A>
auto view(const A& array) {
    using T = std::remove_pointer_t<decltype(array.data())>;
    if (reinterpret_cast<std::uintptr_t>(array.data()) % alignof(T) != 0) {
        throw nb::value_error(tavik::messages::kMisalignedArray);
    }
    return std::span<T>(array.data(), array.size());
}

template <class A, class B>
bool overlap(std::span<A> a, std::span<B> b) {
    const auto* a0 = reinterpret_cast<const unsigned char*>(a.data());
    const auto* b0 = reinterpret_cast<const unsigned char*>(b.data());
    return !a.empty() && !b.empty() && a0 < b0 + b.size_bytes() && b0 < a0 + a.size_bytes();
}

// A factor object of Python: the core's factors, shared with the marcher's
// step classes that use them.
template <class S>
struct Factors {
    std::shared_ptr<const tavik::TriangularFactors<S>> core;
    std::size_t size() const { return core->size(); }
};

template <class S>
void init_factors(Factors<S>* self, Index64 lower_indptr, Index32 lower_indices, Array<const S, 1> lower_data,
                  Index64 upper_indptr, Index32 upper_indices, Array<const S, 1> upper_data,
                  Array<const S, 1> lower_inverse_diagonal, Array<const S, 1> upper_inverse_diagonal,
                  Index32 column_permutation, Index32 row_permutation) {
    const auto Lp = view(lower_indptr), Up = view(upper_indptr);
    const auto Li = view(lower_indices), Ui = view(upper_indices);
    const auto Lx = view(lower_data), Ux = view(upper_data);
    const auto Ld = view(lower_inverse_diagonal), Ud = view(upper_inverse_diagonal);
    const auto in_perm = view(column_permutation), out_perm = view(row_permutation);
    std::shared_ptr<const tavik::TriangularFactors<S>> core;
    {
        nb::gil_scoped_release unlocked;  // the core copies first, then checks its copies
        core = std::make_shared<const tavik::TriangularFactors<S>>(Lp, Li, Lx, Up, Ui, Ux, Ld, Ud, in_perm, out_perm);
    }
    new (self) Factors<S>{std::move(core)};
}

void init_marcher(tavik::DGMarcher* self, Index64 M_indptr, Index32 M_indices, Array<const double, 1> M_data) {
    const auto p = view(M_indptr);
    const auto i = view(M_indices);
    const auto x = view(M_data);
    nb::gil_scoped_release unlocked;
    new (self) tavik::DGMarcher(tavik::MarchMatrix(p, i, x));
}

void set_class(tavik::DGMarcher& self, std::int64_t slot, const std::vector<nb::handle>& factors,
               const std::vector<complex>& coupling, const std::vector<complex>& ends) {
    std::vector<tavik::MarchFactors> shifts(factors.size());
    for (std::size_t j = 0; j < factors.size(); ++j) {
        Factors<double>* real = nullptr;
        Factors<complex>* cplx = nullptr;
        if (nb::try_cast(factors[j], real, false) && real != nullptr) {
            shifts[j].real = real->core;
        } else if (nb::try_cast(factors[j], cplx, false) && cplx != nullptr) {
            shifts[j].complex = cplx->core;
        } else {
            throw nb::type_error(tavik::messages::kMarchFactorType);
        }
    }
    self.set_class(slot, shifts, coupling, ends);
}

nb::tuple classes(const tavik::DGMarcher& self) {
    const std::vector<std::int64_t> slots = self.classes();
    nb::list list;
    for (const std::int64_t slot : slots) list.append(slot);
    return nb::tuple(list);
}

// The work arrays stay referenced by `held` (and `work`, the call's
// argument) until the march returns.
void march(const tavik::DGMarcher& self, Array<const std::int32_t, 1> classes, const std::vector<nb::handle>& work,
           Array<double, 2> end, bool threads) {
    std::vector<Array<double, 2>> real_held;
    std::vector<Array<complex, 2>> complex_held;
    real_held.reserve(work.size());
    complex_held.reserve(work.size());
    std::vector<tavik::MarchWork> shifts;
    shifts.reserve(work.size());
    for (const nb::handle w : work) {
        Array<double, 2> r;
        Array<complex, 2> c;
        if (nb::try_cast(w, r, false)) {
            real_held.push_back(r);
            shifts.push_back({view(r), {}, r.shape(0), false});
        } else if (nb::try_cast(w, c, false)) {
            complex_held.push_back(c);
            shifts.push_back({{}, view(c), c.shape(0), true});
        } else {
            throw nb::type_error(tavik::messages::kMarchWorkType);
        }
    }
    // The march writes every work array and end: none may share memory with
    // another (threads would write the same values concurrently).
    const auto e = view(end);
    auto bytes = [](const tavik::MarchWork& w) {
        return w.is_complex ? std::as_bytes(w.complex) : std::as_bytes(w.real);
    };
    for (std::size_t j = 0; j < shifts.size(); ++j) {
        bool apart = !overlap(bytes(shifts[j]), std::as_bytes(e));
        for (std::size_t k = 0; k < j && apart; ++k) apart = !overlap(bytes(shifts[j]), bytes(shifts[k]));
        if (!apart) throw nb::value_error(tavik::messages::kOutputOverlaps);
    }
    const auto t = view(classes);
    nb::gil_scoped_release unlocked;
    self.march(t, shifts, e, end.shape(1), threads);
}

}  // namespace

void bind_stepping(nb::module_& m) {
    const char* factor_doc =
        "Factors B = P_out^T Lo Up P_in^T of a shifted system: lower = Lo by rows (diagonal last), upper = Up by "
        "rows (diagonal first), the inverses of both diagonals, column_permutation = P_in, row_permutation = "
        "P_out. Every array is copied and checked once.";
    nb::class_<Factors<double>>(m, "RealFactors", factor_doc)
        .def("__init__", &init_factors<double>, nb::kw_only(), nb::arg("lower_indptr").noconvert(),
             nb::arg("lower_indices").noconvert(), nb::arg("lower_data").noconvert(),
             nb::arg("upper_indptr").noconvert(), nb::arg("upper_indices").noconvert(),
             nb::arg("upper_data").noconvert(), nb::arg("lower_inverse_diagonal").noconvert(),
             nb::arg("upper_inverse_diagonal").noconvert(), nb::arg("column_permutation").noconvert(),
             nb::arg("row_permutation").noconvert())
        .def_prop_ro("size", &Factors<double>::size, "n, the size of the system.");
    nb::class_<Factors<complex>>(m, "ComplexFactors", "As RealFactors, with complex128 values.")
        .def("__init__", &init_factors<complex>, nb::kw_only(), nb::arg("lower_indptr").noconvert(),
             nb::arg("lower_indices").noconvert(), nb::arg("lower_data").noconvert(),
             nb::arg("upper_indptr").noconvert(), nb::arg("upper_indices").noconvert(),
             nb::arg("upper_data").noconvert(), nb::arg("lower_inverse_diagonal").noconvert(),
             nb::arg("upper_inverse_diagonal").noconvert(), nb::arg("column_permutation").noconvert(),
             nb::arg("row_permutation").noconvert())
        .def_prop_ro("size", &Factors<complex>::size, "n, the size of the system.");

    nb::class_<tavik::DGMarcher>(m, "DGMarcher",
                                 "The decoupled dG interval loop over M (copied and checked once) and a table of "
                                 "factor sets, one per step class.")
        .def("__init__", &init_marcher, nb::kw_only(), nb::arg("M_indptr").noconvert(),
             nb::arg("M_indices").noconvert(), nb::arg("M_data").noconvert())
        .def_prop_ro("size", &tavik::DGMarcher::size, "N, the size of M.")
        .def("set_class", &set_class, nb::arg("slot"), nb::kw_only(), nb::arg("factors"), nb::arg("coupling"),
             nb::arg("ends"),
             nb::sig("def set_class(self, slot: int, *, factors: collections.abc.Sequence[RealFactors | "
                     "ComplexFactors], coupling: collections.abc.Sequence[complex], ends: "
                     "collections.abc.Sequence[complex]) -> None"),
             "Stores (replacing) the factor set of step class `slot`: per shift its factors, the coupling "
             "(times M u_prev into its right-hand side) and its weight in the end value.")
        .def("drop_class", &tavik::DGMarcher::drop_class, nb::arg("slot"),
             "Frees the factor set of `slot` (nothing if none is held).")
        .def_prop_ro("classes", &classes, "The slots held, increasing.")
        .def("march", &march, nb::kw_only(), nb::arg("classes").noconvert(), nb::arg("work"),
             nb::arg("end").noconvert(), nb::arg("threads"),
             nb::sig("def march(self, *, classes: numpy.typing.NDArray[numpy.int32], work: "
                     "collections.abc.Sequence[numpy.typing.NDArray[numpy.float64] | "
                     "numpy.typing.NDArray[numpy.complex128]], end: numpy.typing.NDArray[numpy.float64], "
                     "threads: bool) -> None"),
             "Marches the intervals of `classes` (their step classes): work[j] row t holds shift j's load of "
             "interval t on entry and its solution on return; end, the end value before the block, becomes "
             "the one after it.");
}
