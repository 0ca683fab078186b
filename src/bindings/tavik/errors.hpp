// Turning failures into Python exceptions.
//
// Every entry point runs its body through `guarded` (applied by the
// registration templates of entry.hpp), the one place where a C++ exception
// in flight becomes a Python exception: ErrorAlreadySet keeps the
// interpreter's error, a core FatalError becomes PanicException with its exact
// text, std::bad_alloc becomes MemoryError, and anything else becomes a
// PanicException with a generic text. Nothing escapes into the interpreter,
// so no call can terminate the process.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "bindings/tavik/py_ref.hpp"

namespace tavik::py {

// The PanicException class: derives from BaseException, created once per
// process on first use, never a module attribute. Returns a borrowed
// reference, or NULL with an error set.
PyObject* panic_exception_type();

// Sets the Python error for the C++ exception currently being handled.
void set_error_from_current_exception() noexcept;

// Cold raisers: set the error and throw ErrorAlreadySet.
[[noreturn, gnu::cold]] void raise(PyObject* type, std::string_view message);
[[noreturn, gnu::cold]] void raise_type_error(std::string_view message);
[[noreturn, gnu::cold]] void raise_value_error(std::string_view message);
[[noreturn, gnu::cold]] void raise_runtime_error(std::string_view message);
[[noreturn, gnu::cold]] void raise_buffer_error(std::string_view message);

// Re-raises the pending error of a failed conversion with the argument name
// when it is exactly a TypeError (keeping its cause); other errors pass
// through unchanged, since they name no parameter.
[[noreturn, gnu::cold, gnu::noinline]] void raise_with_argument_name(const char* name);

// Qualified name of an object's type, for messages.
std::string type_qualname(PyObject* obj);
std::string type_qualname(PyTypeObject* type);

template <class Body>
inline PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tavik::py
