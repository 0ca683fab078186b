// Conversions of core results into new Python objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "bindings/tavik/py_ref.hpp"

namespace tavik::py {

PyRef from_double(double v);
PyRef from_doubles(std::span<const double> values);
// Sets items offset ... offset + values.size() - 1 of a new list (PyList_New),
// whose slots there are still empty, to floats of `values`. A list filled in
// several calls with the lock released in between must be kept from the
// garbage collector until complete (see evaluate_many_impl).
void fill_doubles(PyObject* list, std::size_t offset, std::span<const double> values);
PyRef from_u64s(std::span<const std::uint64_t> values);
PyRef from_text(std::string_view text);
PyRef triplets_to_tuple(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                        std::span<const double> values);
PyRef none();

}  // namespace tavik::py
