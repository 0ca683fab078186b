// The interval loop of the decoupled dG(q) stepper, out of Python.
//
// The Python layer factorises each shifted system B = lambda_j M + A once
// and hands over B = P_out^T Lo Up P_in^T as a lower triangular factor Lo
// (by rows, the diagonal last in each row), an upper one Up (by rows, the
// diagonal first), the inverses of both diagonals and the two
// permutations, with the transformed loads and the initial end value. Per interval this code forms
// M u_prev, solves every shift with the factors (shift j > 0 on a thread of
// its own when asked: the shifts of one interval are independent) and sums
// the end value in a fixed order, so the bits do not depend on the threads.
// All checks happen before the loop; the loop neither allocates nor throws.
#include <atomic>
#include <barrier>
#include <complex>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "bindings.hpp"

namespace nb = nanobind;

namespace {

using complex = std::complex<double>;

template <class T, std::size_t N>
using Array = nb::ndarray<T, nb::ndim<N>, nb::c_contig, nb::device::cpu, nb::numpy>;

void require(bool condition, const char* message) {
    if (!condition) throw nb::value_error(message);
}

// Products written out: std::complex's operator* calls a library routine
// for the infinite cases on every product.
inline double re_mul(double a, double b) { return a * b; }
inline complex mul(complex a, complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline complex mul(complex a, double b) { return {a.real() * b, a.imag() * b}; }
inline double mul(double a, double b) { return a * b; }
inline double real_part(double a) { return a; }
inline double real_part(complex a) { return a.real(); }

struct Sparse {
    const std::int64_t* indptr;
    const std::int32_t* indices;
};

// One shifted system's factors and its slice of the work.
class Shift {
public:
    virtual ~Shift() = default;
    // Interval n: rhs = work[n] + coupling * Mu, solved in place of work[n];
    // part = the real part of ends * solution.
    virtual void step(std::size_t n, const double* Mu, double* part) = 0;
};

template <class S>
class ShiftOf final : public Shift {
public:
    ShiftOf(std::size_t size, std::size_t columns, Sparse L, const S* Lx, Sparse U, const S* Ux, const S* lower_inverse,
            const S* upper_inverse, const std::int32_t* in_perm, const std::int32_t* out_perm, S* work, S coupling,
            S ends)
        : n_(size), m_(columns), L_(L), Lx_(Lx), U_(U), Ux_(Ux), lower_inverse_(lower_inverse),
          upper_inverse_(upper_inverse), in_perm_(in_perm), out_perm_(out_perm), work_(work), coupling_(coupling),
          ends_(ends), z_(size * columns) {}

    void step(std::size_t n, const double* Mu, double* part) override {
        const std::size_t m = m_;
        S* rhs = work_ + n * n_ * m;
        S* z = z_.data();
        for (std::size_t i = 0; i < n_; ++i) {
            S* target = z + static_cast<std::size_t>(in_perm_[i]) * m;
            for (std::size_t k = 0; k < m; ++k) target[k] = rhs[i * m + k] + mul(coupling_, Mu[i * m + k]);
        }
        // Row-oriented (gathering) substitutions: each row accumulates in
        // registers, two partial sums to shorten the chain of additions.
        // Lo: lower triangular, by rows, the diagonal last in each row.
        for (std::size_t i = 0; i < n_; ++i) {
            const std::int64_t first = L_.indptr[i], last = L_.indptr[i + 1] - 1;
            const S d = lower_inverse_[i];
            for (std::size_t k = 0; k < m; ++k) {
                S even{}, odd{};
                std::int64_t p = first;
                for (; p + 1 < last; p += 2) {
                    even += mul(Lx_[p], z[static_cast<std::size_t>(L_.indices[p]) * m + k]);
                    odd += mul(Lx_[p + 1], z[static_cast<std::size_t>(L_.indices[p + 1]) * m + k]);
                }
                if (p < last) even += mul(Lx_[p], z[static_cast<std::size_t>(L_.indices[p]) * m + k]);
                z[i * m + k] = mul(d, z[i * m + k] - (even + odd));
            }
        }
        // Up: upper triangular, by rows, the diagonal first in each row.
        for (std::size_t i = n_; i-- > 0;) {
            const std::int64_t first = U_.indptr[i] + 1, last = U_.indptr[i + 1];
            const S d = upper_inverse_[i];
            for (std::size_t k = 0; k < m; ++k) {
                S even{}, odd{};
                std::int64_t p = first;
                for (; p + 1 < last; p += 2) {
                    even += mul(Ux_[p], z[static_cast<std::size_t>(U_.indices[p]) * m + k]);
                    odd += mul(Ux_[p + 1], z[static_cast<std::size_t>(U_.indices[p + 1]) * m + k]);
                }
                if (p < last) even += mul(Ux_[p], z[static_cast<std::size_t>(U_.indices[p]) * m + k]);
                z[i * m + k] = mul(d, z[i * m + k] - (even + odd));
            }
        }
        for (std::size_t i = 0; i < n_; ++i) {
            const S* source = z + static_cast<std::size_t>(out_perm_[i]) * m;
            for (std::size_t k = 0; k < m; ++k) {
                rhs[i * m + k] = source[k];
                part[i * m + k] = real_part(mul(ends_, source[k]));
            }
        }
    }

private:
    std::size_t n_, m_;
    Sparse L_;
    const S* Lx_;
    Sparse U_;
    const S* Ux_;
    const S *lower_inverse_, *upper_inverse_;
    const std::int32_t *in_perm_, *out_perm_;
    S* work_;
    S coupling_, ends_;
    std::vector<S> z_;
};

using Index64 = Array<const std::int64_t, 1>;
using Index32 = Array<const std::int32_t, 1>;
using Indices64 = std::vector<std::int64_t>;
using Indices32 = std::vector<std::int32_t>;

template <class T, class A>
std::vector<T> owned(const A& array) {
    return std::vector<T>(array.data(), array.data() + array.shape(0));
}

void check_triangular(const Indices64& indptr, const Indices32& indices, std::size_t n, bool lower) {
    require(indptr.size() == n + 1 && indptr[0] == 0 && static_cast<std::size_t>(indptr[n]) == indices.size(),
            "factor: indptr does not match");
    for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t a = indptr[j], b = indptr[j + 1];
        require(a < b && b <= indptr[n], "factor: a row without its diagonal");
        for (std::int64_t p = a; p < b; ++p) {
            const std::int32_t i = indices[p];
            const bool diagonal = lower ? p == b - 1 : p == a;
            require(diagonal ? i == static_cast<std::int32_t>(j)
                             : (lower ? i >= 0 && i < static_cast<std::int32_t>(j)
                                      : i > static_cast<std::int32_t>(j) && static_cast<std::size_t>(i) < n),
                    "factor: not triangular with the diagonal at the row's end");
        }
    }
}

void check_permutation(const Indices32& perm, std::size_t n) {
    require(perm.size() == n, "factor: permutation of the wrong size");
    std::vector<char> seen(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t v = perm[i];
        require(v >= 0 && static_cast<std::size_t>(v) < n && !seen[v], "factor: not a permutation");
        seen[v] = 1;
    }
}

// One shifted system's factors, B = P_out^T Lo Up P_in^T, checked once when
// made. Every index is copied into arrays of the object's own, so nothing a
// caller does to the arrays it passed can move an access out of bounds
// later; the values are read where they are (changing them changes results,
// never addresses), with their sizes checked here.
template <class S>
struct TriangularFactors {
    TriangularFactors(Index64 Lp_, Index32 Li_, Array<const S, 1> Lx_, Index64 Up_, Index32 Ui_, Array<const S, 1> Ux_,
                      Array<const S, 1> lower_inverse_, Array<const S, 1> upper_inverse_, Index32 in_perm_,
                      Index32 out_perm_)
        : n(lower_inverse_.shape(0)), Lp(owned<std::int64_t>(Lp_)), Li(owned<std::int32_t>(Li_)), Lx(Lx_),
          Up(owned<std::int64_t>(Up_)), Ui(owned<std::int32_t>(Ui_)), Ux(Ux_), lower_inverse(lower_inverse_),
          upper_inverse(upper_inverse_), in_perm(owned<std::int32_t>(in_perm_)),
          out_perm(owned<std::int32_t>(out_perm_)) {
        require(Li.size() == Lx.shape(0) && Ui.size() == Ux.shape(0) && upper_inverse.shape(0) == n,
                "factor: sizes differ");
        check_triangular(Lp, Li, n, true);
        check_triangular(Up, Ui, n, false);
        check_permutation(in_perm, n);
        check_permutation(out_perm, n);
    }

    std::size_t n;
    Indices64 Lp;
    Indices32 Li;
    Array<const S, 1> Lx;
    Indices64 Up;
    Indices32 Ui;
    Array<const S, 1> Ux;
    Array<const S, 1> lower_inverse, upper_inverse;
    Indices32 in_perm, out_perm;
};

template <class S>
using Task = std::tuple<const TriangularFactors<S>*, Array<S, 2>, complex, complex>;

template <class S>
std::unique_ptr<Shift> make_shift(Task<S>& task, std::size_t n, std::size_t m, std::size_t count) {
    auto& [f, work, coupling, ends] = task;
    require(f != nullptr && f->n == n, "factor: of another size than M");
    require(work.shape(0) == count && work.shape(1) == n * m, "work must have shape (count, N * m)");
    S c, e;
    if constexpr (std::is_same_v<S, double>) {
        c = coupling.real();
        e = ends.real();
    } else {
        c = coupling;
        e = ends;
    }
    return std::make_unique<ShiftOf<S>>(n, m, Sparse{f->Lp.data(), f->Li.data()}, f->Lx.data(),
                                        Sparse{f->Up.data(), f->Ui.data()}, f->Ux.data(), f->lower_inverse.data(),
                                        f->upper_inverse.data(), f->in_perm.data(), f->out_perm.data(), work.data(),
                                        c, e);
}

// The decoupled loop over `count` intervals. M: N x N in CSR (int64 row
// pointers, int32 columns). Each task: a shift's factors, its work array
// (count, N m), whose row n holds the transformed load of interval n on entry
// and the shift's solution on return, and the scalars coupling (times M u_prev
// into the right-hand side) and ends (the solution's weight in the end
// value; real part only). end (N, m): in, the value before the first
// interval; out, after the last. Per interval: M u_prev, then every shift
// (on threads of their own if `concurrent`), then the end value summed over
// the shifts in task order, real tasks first. Cost: count times (nnz(M) +
// the factors' entries) times m.
void march(Index64 M_indptr, Index32 M_indices, Array<const double, 1> M_data, std::vector<Task<double>> real_shifts,
           std::vector<Task<complex>> complex_shifts, Array<double, 2> end, std::size_t count, bool concurrent) {
    const std::size_t n = end.shape(0), m = end.shape(1);
    // M's structure is copied: another thread may change the caller's
    // arrays while the loop runs without the interpreter lock.
    const Indices64 Mp_owned = owned<std::int64_t>(M_indptr);
    const Indices32 Mi_owned = owned<std::int32_t>(M_indices);
    require(Mp_owned.size() == n + 1 && Mp_owned[0] == 0 && static_cast<std::size_t>(Mp_owned[n]) == Mi_owned.size() &&
                Mi_owned.size() == M_data.shape(0),
            "M: indptr does not match");
    for (std::size_t r = 0; r < n; ++r) require(Mp_owned[r] <= Mp_owned[r + 1], "M: indptr decreases");
    for (const std::int32_t column : Mi_owned) {
        require(column >= 0 && static_cast<std::size_t>(column) < n, "M: column out of range");
    }
    std::vector<std::unique_ptr<Shift>> shifts;
    for (auto& f : real_shifts) shifts.push_back(make_shift<double>(f, n, m, count));
    for (auto& f : complex_shifts) shifts.push_back(make_shift<complex>(f, n, m, count));
    const std::size_t s = shifts.size();
    require(s >= 1, "no shifts");
    std::vector<double> Mu(n * m), parts(s * n * m);
    double* e = end.data();
    const std::int64_t* Mp = Mp_owned.data();
    const std::int32_t* Mi = Mi_owned.data();
    const double* Mx = M_data.data();

    nb::gil_scoped_release unlocked;
    auto multiply = [&] {
        for (std::size_t r = 0; r < n; ++r) {
            double* out = Mu.data() + r * m;
            for (std::size_t k = 0; k < m; ++k) out[k] = 0.0;
            for (std::int64_t p = Mp[r]; p < Mp[r + 1]; ++p) {
                const double* x = e + static_cast<std::size_t>(Mi[p]) * m;
                for (std::size_t k = 0; k < m; ++k) out[k] += re_mul(Mx[p], x[k]);
            }
        }
    };
    auto gather = [&] {
        for (std::size_t i = 0; i < n * m; ++i) {
            double sum = parts[i];
            for (std::size_t j = 1; j < s; ++j) sum += parts[j * n * m + i];
            e[i] = sum;
        }
    };
    auto run_in_turn = [&] {
        for (std::size_t t = 0; t < count; ++t) {
            multiply();
            for (std::size_t j = 0; j < s; ++j) shifts[j]->step(t, Mu.data(), parts.data() + j * n * m);
            gather();
        }
    };
    if (!concurrent || s == 1) {
        run_in_turn();
        return;
    }
    // Two phases per interval: M u_prev is ready; every part is written.
    // Workers wait at a gate until all of them exist: if one cannot be
    // started, the others leave without touching the barrier and the loop
    // runs in turn.
    std::barrier sync(static_cast<std::ptrdiff_t>(s));
    std::atomic<int> gate{0};  // 0 waiting, 1 go, -1 leave
    std::vector<std::jthread> workers;
    workers.reserve(s - 1);
    try {
        for (std::size_t j = 1; j < s; ++j) {
            workers.emplace_back([&, j] {
                gate.wait(0);
                if (gate.load() < 0) return;
                for (std::size_t t = 0; t < count; ++t) {
                    sync.arrive_and_wait();
                    shifts[j]->step(t, Mu.data(), parts.data() + j * n * m);
                    sync.arrive_and_wait();
                }
            });
        }
    } catch (const std::system_error&) {
        gate.store(-1);
        gate.notify_all();
        workers.clear();  // joins the ones that started
        run_in_turn();
        return;
    }
    gate.store(1);
    gate.notify_all();
    for (std::size_t t = 0; t < count; ++t) {
        multiply();
        sync.arrive_and_wait();
        shifts[0]->step(t, Mu.data(), parts.data());
        sync.arrive_and_wait();
        gather();
    }
}

}  // namespace

void bind_stepping(nb::module_& m) {
    nb::class_<TriangularFactors<double>>(m, "RealFactors")
        .def(nb::init<Index64, Index32, Array<const double, 1>, Index64, Index32, Array<const double, 1>,
                      Array<const double, 1>, Array<const double, 1>, Index32, Index32>(),
             "Lower (by rows, diagonal last), upper (by rows, diagonal first), their inverse diagonals, "
             "the input and output permutations; checked once.");
    nb::class_<TriangularFactors<complex>>(m, "ComplexFactors")
        .def(nb::init<Index64, Index32, Array<const complex, 1>, Index64, Index32, Array<const complex, 1>,
                      Array<const complex, 1>, Array<const complex, 1>, Index32, Index32>(),
             "As RealFactors, complex.");
    m.def("march_decoupled", &march, nb::arg("M_indptr").noconvert(), nb::arg("M_indices").noconvert(),
          nb::arg("M_data").noconvert(), nb::arg("real_shifts"), nb::arg("complex_shifts"), nb::arg("end").noconvert(),
          nb::arg("count"), nb::arg("concurrent"),
          "The decoupled dG interval loop over LU factors of the shifted systems; "
          "work arrays overwritten with the solutions, end with the last end value.");
}
