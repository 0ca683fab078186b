// Python class LegendreBasisEvaluator: a Legendre basis plus a coefficient
// matrix kept on the native side, evaluated at one time or at whole arrays of
// times with the interpreter lock released.
//
// Evaluations take shared access, set_dofs exclusive access; while a batch
// runs without the lock, other threads may evaluate the same instance but
// set_dofs fails with "Already borrowed" instead of changing coefficients
// under the workers' feet.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fatal_error.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "python_module/args.hpp"
#include "python_module/basis_arguments.hpp"
#include "python_module/convert.hpp"
#include "python_module/errors.hpp"
#include "python_module/gil.hpp"
#include "python_module/native_class.hpp"
#include "python_module/registry.hpp"
#include "python_module/scratch.hpp"

namespace tavik::py {

namespace {

struct EvaluatorData {
    std::vector<double> dofs;  // n_t x (degree + 1), column-major: interval index fastest
    LegendreBasis basis;

    ColumnMajorView coefficients() const {
        const std::uint64_t degree = basis.degree();
        return ColumnMajorView(dofs.data(), basis.n_t(), degree == UINT64_MAX ? UINT64_MAX : degree + 1);
    }
};

using Self = Instance<EvaluatorData>;

[[noreturn, gnu::cold]] void wrong_dofs_length(std::size_t given, std::uint64_t expected) {
    fatal("assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n  left: " +
          std::to_string(given) + "\n right: " + std::to_string(expected));
}

// ---- implementations on C++ types ----

PyRef new_impl(PyTypeObject* type, std::uint64_t degree, std::uint64_t n_t, double T) {
    LegendreBasis basis(degree, n_t, T);
    std::vector<double> dofs(basis.n_basis_functions(), 0.0);
    return make_instance(type, EvaluatorData{std::move(dofs), basis});
}

PyRef set_dofs_impl(EvaluatorData& data, std::vector<double>&& legendre_vals) {
    const std::uint64_t expected = data.dofs.size();
    if (legendre_vals.size() != expected) wrong_dofs_length(legendre_vals.size(), expected);
    data.dofs = std::move(legendre_vals);
    return none();
}

enum class Quantity { value, derivative };

PyRef evaluate_at_impl(const EvaluatorData& data, Quantity q, double t) {
    const ColumnMajorView coeffs = data.coefficients();
    return from_double(q == Quantity::value ? data.basis.evaluate(coeffs, t) : data.basis.evaluate_derivative(coeffs, t));
}

// Copy the times under the lock, then build the list piece by piece while
// the pool computes the piece after: the lock is released only while this
// thread waits for a piece, so other Python threads progress meanwhile. The
// checks come in the order of a whole-batch evaluation (times, evaluation,
// then the list), and the buffer view stays acquired until the last piece is
// computed.
PyRef evaluate_many_impl(const EvaluatorData& data, Quantity q, PyObject* t_values) {
    std::optional<DoubleBufferCopy> times(std::in_place, t_values, "t_values");
    const std::size_t n = times->values().size();
    ScratchDoubles storage(LegendreBatchStream::storage_for(n));
    if (n < LegendreBasis::kParallelThreshold) {  // one piece on this thread: nothing to overlap
        {
            GilReleased unlocked;
            if (q == Quantity::value) {
                data.basis.evaluate_many_into(data.coefficients(), times->values(), storage.span());
            } else {
                data.basis.evaluate_derivative_many_into(data.coefficients(), times->values(), storage.span());
            }
        }
        times.reset();
        return from_doubles(storage.span());
    }
    std::optional<LegendreBatchStream> stream;
    PyRef list;
    std::size_t done = 0;
    do {
        std::span<const double> piece;
        {
            GilReleased unlocked;
            if (!stream) stream.emplace(data.basis, data.coefficients(), times->values(), q == Quantity::derivative,
                                        storage.span());
            piece = stream->next();
        }
        if (done + piece.size() == n) times.reset();  // every value is computed
        if (!list) list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(n)));
        fill_doubles(list.get(), done, piece);
        done += piece.size();
    } while (done < n);
    return list;
}

// ---- bindings ----

constexpr Signature kNew{"LegendreBasisEvaluator.__new__()", kBasisParameterNames, 3, 3};

PyObject* py_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const BasisArguments a = bind_basis_arguments(kNew, args, kwargs);
        return new_impl(type, a.degree, a.n_t, a.T);
    });
}

constexpr const char* kSetDofsNames[] = {"legendre_vals"};
constexpr Signature kSetDofs{"LegendreBasisEvaluator.set_dofs()", kSetDofsNames, 1, 1};

PyObject* py_set_dofs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<1>(kSetDofs, args, nargs, kwnames);
        Self& obj = receiver<EvaluatorData>(self);
        ExclusiveBorrow access(obj.borrow);
        std::vector<double> legendre_vals = to_double_list(a[0], "legendre_vals");
        return set_dofs_impl(obj.data, std::move(legendre_vals));
    });
}

constexpr const char* kTimeNames[] = {"t"};
constexpr Signature kEvaluateAt{"LegendreBasisEvaluator.evaluate_at()", kTimeNames, 1, 1};
constexpr Signature kEvaluateDerivativeAt{"LegendreBasisEvaluator.evaluate_derivative_at()", kTimeNames, 1, 1};

template <const Signature& sig, Quantity q>
PyObject* py_evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<1>(sig, args, nargs, kwnames);
        Self& obj = receiver<EvaluatorData>(self);
        SharedBorrow access(obj.borrow);
        const double t = to_double(a[0], "t");
        return evaluate_at_impl(obj.data, q, t);
    });
}

constexpr const char* kTimesNames[] = {"t_values"};
constexpr Signature kEvaluateMany{"LegendreBasisEvaluator.evaluate_many()", kTimesNames, 1, 1};
constexpr Signature kEvaluateDerivativeMany{"LegendreBasisEvaluator.evaluate_derivative_many()", kTimesNames, 1, 1};

template <const Signature& sig, Quantity q>
PyObject* py_evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<1>(sig, args, nargs, kwnames);
        Self& obj = receiver<EvaluatorData>(self);
        SharedBorrow access(obj.borrow);
        return evaluate_many_impl(obj.data, q, a[0]);
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"set_dofs", as_cfunction(py_set_dofs), METH_FASTCALL | METH_KEYWORDS, "set_dofs($self, legendre_vals)\n--\n\n"},
    {"evaluate_at", as_cfunction(py_evaluate_at<kEvaluateAt, Quantity::value>), METH_FASTCALL | METH_KEYWORDS,
     "evaluate_at($self, t)\n--\n\n"},
    {"evaluate_derivative_at", as_cfunction(py_evaluate_at<kEvaluateDerivativeAt, Quantity::derivative>),
     METH_FASTCALL | METH_KEYWORDS, "evaluate_derivative_at($self, t)\n--\n\n"},
    {"evaluate_many", as_cfunction(py_evaluate_many<kEvaluateMany, Quantity::value>), METH_FASTCALL | METH_KEYWORDS,
     "evaluate_many($self, t_values)\n--\n\n"},
    {"evaluate_derivative_many", as_cfunction(py_evaluate_many<kEvaluateDerivativeMany, Quantity::derivative>),
     METH_FASTCALL | METH_KEYWORDS, "evaluate_derivative_many($self, t_values)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<EvaluatorData>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("LegendreBasisEvaluator(degree, n_t, T)\n--\n\nClass to evaluate legendre basis more "
                                  "often without copying the dofs from python each time")},
    {0, nullptr},
};

PyType_Spec g_spec = {"builtins.LegendreBasisEvaluator", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      g_slots};

}  // namespace

void register_legendre_basis_evaluator(PyObject* module) {
    PyRef type = create_class<EvaluatorData>(&g_spec);
    register_object(module, "LegendreBasisEvaluator", type.get());
}

}  // namespace tavik::py
