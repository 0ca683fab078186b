// The tavik module object and its initialisation.
//
// Single-phase initialisation: one module object per process, created the
// first time the interpreter that first imported tavik initialises it. The
// core keeps process-wide state (the worker pool) that cannot be shared
// between interpreters, so any other interpreter is refused with ImportError.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "fatal_error.hpp"
#include "messages.hpp"
#include "bindings/tavik/errors.hpp"
#include "bindings/tavik/py_ref.hpp"
#include "bindings/tavik/registry.hpp"

namespace tavik::py {

namespace {

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // owned for the life of the process

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tavik",
    "Piecewise-polynomial time bases (discontinuous Legendre, continuous Lagrange) on a uniform mesh.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Registration order fixes the order of __all__.
void register_all(PyObject* module) {
    register_sum_as_string(module);
    register_lagrange_to_legendre_basis_transformation(module);
    register_lagrange_prolongation_matrix(module);
    register_get_lagrange_points(module);
    register_legendre_basis(module);
    register_legendre_basis_evaluator(module);
}

PyRef init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) throw_error_already_set();
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "tavik does not support sub-interpreters: it can only be imported in the interpreter that "
              "imported it first");
    }
    if (g_module != nullptr) return PyRef::new_ref(Borrowed::borrow(g_module));
    PyRef module = PyRef::steal_or_throw(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
    register_all(module.get());
    // Set directly, not registered: __all__ lists the API alone.
    if (PyModule_AddStringConstant(module.get(), "__version__", TAVIK_VERSION) != 0) throw_error_already_set();
    g_module = PyRef::new_ref(module.borrowed()).release();
    return module;
}

}  // namespace

void register_object(PyObject* module, const char* name, PyObject* object) {
    static PyObject* all_name = nullptr;
    if (all_name == nullptr) {
        all_name = PyUnicode_InternFromString("__all__");
        if (all_name == nullptr) throw_error_already_set();
    }
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        PyErr_Clear();
        all = PyRef::steal_or_throw(PyList_New(0));
        if (PyObject_SetAttr(module, all_name, all.get()) != 0) throw_error_already_set();
    }
    PyRef text = PyRef::steal_or_throw(PyUnicode_FromString(name));
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        fatal(messages::kAllAppendFailed + std::string(name));
    }
    if (PyObject_SetAttrString(module, name, object) != 0) throw_error_already_set();
}

void register_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal_or_throw(PyModule_GetNameObject(module));
    PyRef function = PyRef::steal_or_throw(PyCMethod_New(def, module, module_name.get(), nullptr));
    register_object(module, def->ml_name, function.get());
}

}  // namespace tavik::py

PyMODINIT_FUNC PyInit_tavik(void) {
    return tavik::py::guarded([] { return tavik::py::init_module(); });
}
