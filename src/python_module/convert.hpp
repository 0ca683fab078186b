// Conversions between Python objects and core values.
//
// Every argument is copied into a core type; no reference to an argument is
// kept beyond the call. A conversion failure whose exception is exactly
// TypeError is re-raised as TypeError("argument '{name}': {message}") with the
// original cause; other exception types (OverflowError, BufferError, errors
// raised by user code) pass through unchanged, since they name no parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "python_module/py_ref.hpp"
#include "python_module/scratch.hpp"

namespace tavik::py {

// int (and subclasses, bool included) or anything with __index__, as an
// unsigned 64-bit value; negative or >= 2^64 raise the interpreter's OverflowError.
std::uint64_t to_u64(PyObject* obj, const char* name);

// float read directly; anything else through the interpreter's float
// conversion (__float__, __index__, int).
double to_double(PyObject* obj, const char* name);

// Exactly True or False, or a numpy boolean scalar through its truth value.
bool to_flag(PyObject* obj, const char* name);

// Any sequence except str, iterated, every element through to_double. Its
// length is only a capacity hint, capped so a lying __len__ cannot force a
// large allocation.
std::vector<double> to_double_list(PyObject* obj, const char* name);

// Native float64 items of any buffer exporter, copied into one flat array in
// row-major order. The view stays acquired as long as this object lives;
// destroy it with the interpreter lock held.
class DoubleBufferCopy {
public:
    DoubleBufferCopy(PyObject* obj, const char* name);
    ~DoubleBufferCopy();
    DoubleBufferCopy(const DoubleBufferCopy&) = delete;
    DoubleBufferCopy& operator=(const DoubleBufferCopy&) = delete;

    std::span<const double> values() const noexcept { return values_->span(); }

private:
    Py_buffer view_{};
    bool acquired_ = false;
    std::optional<ScratchDoubles> values_;  // not zeroed first: the copy fills every element
};

// Results.
PyRef from_double(double v);
PyRef from_doubles(std::span<const double> values);
// Sets items offset ... offset + values.size() - 1 of a new list (PyList_New),
// whose slots there are still empty, to floats of `values`.
void fill_doubles(PyObject* list, std::size_t offset, std::span<const double> values);
PyRef from_u64s(std::span<const std::uint64_t> values);
PyRef from_text(std::string_view text);
PyRef triplets_to_tuple(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                        std::span<const double> values);
PyRef none();

}  // namespace tavik::py
