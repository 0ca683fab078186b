// Registration functions of the native module tavik_arrays._core, one per
// source file; module.cpp calls each once, in a fixed order.
#pragma once

#include <nanobind/nanobind.h>

void bind_evaluation(nanobind::module_& m);
void bind_integrals(nanobind::module_& m);
void bind_matrices(nanobind::module_& m);
void bind_stepping(nanobind::module_& m);
void bind_runtime(nanobind::module_& m);
