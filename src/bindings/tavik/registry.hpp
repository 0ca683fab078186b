// Registration of the module's functions and classes.
#pragma once

#include <Python.h>

namespace tavik::py {

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute. A failure to append is fatal; a failure to set raises.
void register_object(PyObject* module, const char* name, PyObject* object);

// Wraps a static method table entry as a built-in function bound to the module.
void register_function(PyObject* module, PyMethodDef* def);

// One per class or function group, in their own files.
void register_sum_as_string(PyObject* module);
void register_lagrange_to_legendre_basis_transformation(PyObject* module);
void register_lagrange_prolongation_matrix(PyObject* module);
void register_get_lagrange_points(PyObject* module);
void register_legendre_basis(PyObject* module);
void register_legendre_basis_evaluator(PyObject* module);

}  // namespace tavik::py
