// The decoupled dG(q) stepper's interval loop for tavik_arrays: the arrays
// of the Python layer converted to the core's views (operators/dg_marching),
// which checks and copies what memory safety depends on, then the loop run
// without the interpreter lock.
#include <complex>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "bindings.hpp"
#include "operators/dg_marching.hpp"

namespace nb = nanobind;

namespace {

using complex = std::complex<double>;

template <class T, std::size_t N>
using Array = nb::ndarray<T, nb::ndim<N>, nb::c_contig, nb::device::cpu, nb::numpy>;
using Index64 = Array<const std::int64_t, 1>;
using Index32 = Array<const std::int32_t, 1>;

// The elements of a C-contiguous array, as the core takes them.
template <class A>
auto view(const A& array) {
    return std::span(array.data(), array.size());
}

// The core's factors with the value arrays they view, held for as long as
// the factors live.
template <class S>
struct Factors {
    Factors(Index64 Lp, Index32 Li, Array<const S, 1> Lx, Index64 Up, Index32 Ui, Array<const S, 1> Ux,
            Array<const S, 1> lower_inverse, Array<const S, 1> upper_inverse, Index32 in_perm, Index32 out_perm)
        : values{Lx, Ux, lower_inverse, upper_inverse},
          core(view(Lp), view(Li), view(Lx), view(Up), view(Ui), view(Ux), view(lower_inverse), view(upper_inverse),
               view(in_perm), view(out_perm)) {}

    Array<const S, 1> values[4];
    tavik::TriangularFactors<S> core;
};

template <class S>
using Task = std::tuple<const Factors<S>*, Array<S, 2>, complex, complex>;

template <class S>
std::vector<tavik::MarchShift<S>> shifts_of(const std::vector<Task<S>>& tasks) {
    std::vector<tavik::MarchShift<S>> shifts;
    shifts.reserve(tasks.size());
    for (const auto& [factors, work, coupling, ends] : tasks) {
        tavik::MarchShift<S> shift{factors ? &factors->core : nullptr, view(work), {}, {}};
        if constexpr (std::is_same_v<S, double>) {
            shift.coupling = coupling.real();
            shift.ends = ends.real();
        } else {
            shift.coupling = coupling;
            shift.ends = ends;
        }
        shifts.push_back(shift);
    }
    return shifts;
}

// The tasks (and with them every array) stay referenced by this frame until
// the loop returns.
void march(Index64 M_indptr, Index32 M_indices, Array<const double, 1> M_data,
           const std::vector<Task<double>>& real_tasks, const std::vector<Task<complex>>& complex_tasks,
           Array<double, 2> end, std::size_t count, bool concurrent) {
    const tavik::MarchMatrix M(view(M_indptr), view(M_indices), view(M_data));
    const auto real_shifts = shifts_of(real_tasks);
    const auto complex_shifts = shifts_of(complex_tasks);
    nb::gil_scoped_release unlocked;
    tavik::march_decoupled(M, real_shifts, complex_shifts, view(end), end.shape(0), end.shape(1), count, concurrent);
}

}  // namespace

void bind_stepping(nb::module_& m) {
    nb::class_<Factors<double>>(m, "RealFactors")
        .def(nb::init<Index64, Index32, Array<const double, 1>, Index64, Index32, Array<const double, 1>,
                      Array<const double, 1>, Array<const double, 1>, Index32, Index32>(),
             "Lower (by rows, diagonal last), upper (by rows, diagonal first), their inverse diagonals, "
             "the input and output permutations; checked once.");
    nb::class_<Factors<complex>>(m, "ComplexFactors")
        .def(nb::init<Index64, Index32, Array<const complex, 1>, Index64, Index32, Array<const complex, 1>,
                      Array<const complex, 1>, Array<const complex, 1>, Index32, Index32>(),
             "As RealFactors, complex.");
    m.def("march_decoupled", &march, nb::arg("M_indptr").noconvert(), nb::arg("M_indices").noconvert(),
          nb::arg("M_data").noconvert(), nb::arg("real_shifts"), nb::arg("complex_shifts"), nb::arg("end").noconvert(),
          nb::arg("count"), nb::arg("concurrent"),
          "The decoupled dG interval loop over LU factors of the shifted systems; "
          "work arrays overwritten with the solutions, end with the last end value.");
}
