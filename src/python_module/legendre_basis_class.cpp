// Python class LegendreBasis: the piecewise Legendre basis evaluated at one
// time; coefficient lists are converted afresh on every call.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "piecewise_polynomials/legendre_basis.hpp"
#include "python_module/args.hpp"
#include "python_module/basis_arguments.hpp"
#include "python_module/convert.hpp"
#include "python_module/errors.hpp"
#include "python_module/native_class.hpp"
#include "python_module/registry.hpp"

namespace tavik::py {

namespace {

struct LegendreBasisData {
    LegendreBasis basis;
};

using Self = Instance<LegendreBasisData>;

// ---- implementations on C++ types ----

PyRef new_impl(PyTypeObject* type, std::uint64_t degree, std::uint64_t n_t, double T) {
    return make_instance(type, LegendreBasisData{LegendreBasis(degree, n_t, T)});
}

PyRef evaluate_at_impl(const LegendreBasis& basis, double t, const std::vector<double>& legendre_vals) {
    const auto coeffs = ColumnMajorView::for_basis(legendre_vals, basis.n_t(), basis.degree());
    return from_double(basis.evaluate(coeffs, t));
}

PyRef evaluate_all_basis_functions_impl(const LegendreBasis& basis, double t) {
    return from_doubles(basis.evaluate_all_basis_functions(t));
}

PyRef evaluate_all_basis_function_derivatives_impl(const LegendreBasis& basis, double t) {
    return from_doubles(basis.evaluate_all_basis_function_derivatives(t));
}

// ---- bindings ----

constexpr Signature kNew{"LegendreBasis.__new__()", kBasisParameterNames, 3, 3};

PyObject* py_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const BasisArguments a = bind_basis_arguments(kNew, args, kwargs);
        return new_impl(type, a.degree, a.n_t, a.T);
    });
}

constexpr const char* kEvaluateAtNames[] = {"t", "legendre_vals"};
constexpr Signature kEvaluateAt{"LegendreBasis.evaluate_at()", kEvaluateAtNames, 2, 2};

PyObject* py_evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<2>(kEvaluateAt, args, nargs, kwnames);
        Self& obj = receiver<LegendreBasisData>(self);
        SharedBorrow access(obj.borrow);
        const double t = to_double(a[0], "t");
        const std::vector<double> legendre_vals = to_double_list(a[1], "legendre_vals");
        return evaluate_at_impl(obj.data.basis, t, legendre_vals);
    });
}

constexpr const char* kTimeNames[] = {"t"};
constexpr Signature kAllValues{"LegendreBasis.evaluate_all_basis_functions()", kTimeNames, 1, 1};
constexpr Signature kAllDerivatives{"LegendreBasis.evaluate_all_basis_function_derivatives()", kTimeNames, 1, 1};

PyObject* py_evaluate_all_basis_functions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<1>(kAllValues, args, nargs, kwnames);
        Self& obj = receiver<LegendreBasisData>(self);
        SharedBorrow access(obj.borrow);
        const double t = to_double(a[0], "t");
        return evaluate_all_basis_functions_impl(obj.data.basis, t);
    });
}

PyObject* py_evaluate_all_basis_function_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind<1>(kAllDerivatives, args, nargs, kwnames);
        Self& obj = receiver<LegendreBasisData>(self);
        SharedBorrow access(obj.borrow);
        const double t = to_double(a[0], "t");
        return evaluate_all_basis_function_derivatives_impl(obj.data.basis, t);
    });
}

PyMethodDef g_methods[] = {
    {"evaluate_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_evaluate_at)),
     METH_FASTCALL | METH_KEYWORDS, "evaluate_at($self, t, legendre_vals)\n--\n\n"},
    {"evaluate_all_basis_functions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_evaluate_all_basis_functions)),
     METH_FASTCALL | METH_KEYWORDS, "evaluate_all_basis_functions($self, t)\n--\n\n"},
    {"evaluate_all_basis_function_derivatives",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_evaluate_all_basis_function_derivatives)),
     METH_FASTCALL | METH_KEYWORDS, "evaluate_all_basis_function_derivatives($self, t)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<LegendreBasisData>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("LegendreBasis(degree, n_t, T)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = {"builtins.LegendreBasis", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

}  // namespace

void register_legendre_basis(PyObject* module) {
    PyRef type = create_class<LegendreBasisData>(&g_spec);
    register_object(module, "LegendreBasis", type.get());
}

}  // namespace tavik::py
