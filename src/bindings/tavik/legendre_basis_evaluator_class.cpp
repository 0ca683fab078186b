// Python class LegendreBasisEvaluator: a Legendre basis plus a coefficient
// matrix kept on the native side, evaluated at one time or at whole arrays of
// times with the interpreter lock released.
//
// Evaluations take shared access, set_dofs exclusive access; while a batch
// runs without the lock, other threads may evaluate the same instance but
// set_dofs fails at once (messages::kAlreadyBorrowed) instead of changing
// coefficients under the workers' feet.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "bases/legendre_basis.hpp"
#include "bindings/tavik/arguments.hpp"
#include "bindings/tavik/basis_arguments.hpp"
#include "bindings/tavik/buffer.hpp"
#include "bindings/tavik/entry.hpp"
#include "bindings/tavik/gil.hpp"
#include "bindings/tavik/results.hpp"
#include "bindings/tavik/scratch.hpp"

namespace tavik::py {

namespace {

struct EvaluatorData {
    std::vector<double> dofs;  // n_t x (degree + 1), column-major: interval index fastest
    LegendreBasis basis;

    ColumnMajorView coefficients() const {
        const std::uint64_t degree = basis.degree();
        return ColumnMajorView(dofs.data(), basis.n_t(), saturating_add(degree, 1));
    }
};

[[noreturn, gnu::cold]] void wrong_dofs_length(std::size_t given, std::uint64_t expected) {
    fatal(messages::equality_assertion(messages::kSetDofsWrongLength, given, expected));
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
//
// While pieces are missing the list holds NULL items, and other threads run
// whenever the lock is released: a new list is tracked by the garbage
// collector, so gc.get_objects() (profilers, leak finders) would hand it to
// Python code that crashes on the NULL items. The list is therefore
// untracked from its creation until its last item is set; nothing else
// refers to it meanwhile. Untracking is a flag change (no pass over the
// items), and it is sound on every way out: a list with NULL items that is
// released after an error is freed by list_dealloc, which untracks only if
// tracked and skips NULL items; PyObject_GC_Track, which refuses an object
// already tracked, runs once, on the complete list.
PyRef evaluate_many_impl(const EvaluatorData& data, Quantity q, Arg t_values) {
    std::optional<DoubleBufferCopy> times(std::in_place, t_values);
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
        if (!list) {
            list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(n)));
            PyObject_GC_UnTrack(list.get());
        }
        fill_doubles(list.get(), done, piece);
        done += piece.size();
    } while (done < n);
    PyObject_GC_Track(list.get());
    return list;
}

// ---- bindings ----

constexpr char kClass[] = "LegendreBasisEvaluator";

constexpr auto kNew = constructor_signature(
    kClass, kBasisParameters, "Class to evaluate legendre basis more often without copying the dofs from python each time");

PyRef construct(PyTypeObject* type, const BoundArgs<3>& bound) {
    const BasisArguments a = to_basis_arguments(bound);
    return new_impl(type, a.degree, a.n_t, a.T);
}

constexpr auto kSetDofs = method_signature(kClass, "set_dofs", {{"legendre_vals"}});

PyRef set_dofs(EvaluatorData& self, const BoundArgs<1>& bound) {
    const auto& [legendre_vals] = bound;
    return set_dofs_impl(self, to_double_list(legendre_vals));
}

constexpr auto kEvaluateAt = method_signature(kClass, "evaluate_at", {{"t"}});
constexpr auto kEvaluateDerivativeAt = method_signature(kClass, "evaluate_derivative_at", {{"t"}});

template <Quantity q>
PyRef evaluate_at(const EvaluatorData& self, const BoundArgs<1>& bound) {
    const auto& [t] = bound;
    return evaluate_at_impl(self, q, to_double(t));
}

constexpr auto kEvaluateMany = method_signature(kClass, "evaluate_many", {{"t_values"}});
constexpr auto kEvaluateDerivativeMany = method_signature(kClass, "evaluate_derivative_many", {{"t_values"}});

template <Quantity q>
PyRef evaluate_many(const EvaluatorData& self, const BoundArgs<1>& bound) {
    const auto& [t_values] = bound;
    return evaluate_many_impl(self, q, t_values);
}

using Data = EvaluatorData;
constexpr Access kShared = Access::shared;
constexpr Quantity kValue = Quantity::value;
constexpr Quantity kDerivative = Quantity::derivative;

PyMethodDef g_methods[] = {
    method_def<Data, Access::exclusive, kSetDofs, set_dofs>(),
    method_def<Data, kShared, kEvaluateAt, evaluate_at<kValue>>(),
    method_def<Data, kShared, kEvaluateDerivativeAt, evaluate_at<kDerivative>>(),
    method_def<Data, kShared, kEvaluateMany, evaluate_many<kValue>>(),
    method_def<Data, kShared, kEvaluateDerivativeMany, evaluate_many<kDerivative>>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_legendre_basis_evaluator(PyObject* module) {
    register_class<EvaluatorData, kNew, construct>(module, g_methods);
}

}  // namespace tavik::py
