// Reference handles for PyObject*.
//
// PyRef owns one strong reference and drops it on destruction; Borrowed is a
// non-owning view. Both are built only through explicit named constructors
// (steal, borrow, new_ref) so every place that takes over or shares a
// reference says which it does. Binding code never calls Py_DECREF itself.
#pragma once

#include <Python.h>

#include <utility>

namespace tavik::py {

// Thrown after a C API call failed and left the interpreter's error indicator
// set; the entry-point boundary returns NULL without touching the error.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error_already_set() { throw ErrorAlreadySet{}; }

class Borrowed {
public:
    static Borrowed borrow(PyObject* p) noexcept { return Borrowed(p); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    PyObject* p_;
};

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a reference the caller owns (e.g. a C API "new reference").
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // As steal, but a NULL result of the producing call becomes ErrorAlreadySet.
    static PyRef steal_or_throw(PyObject* p) {
        if (p == nullptr) throw_error_already_set();
        return PyRef(p);
    }
    // Adds a reference of our own to an object someone else owns.
    static PyRef new_ref(Borrowed b) noexcept {
        Py_XINCREF(b.get());
        return PyRef(b.get());
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { reset(); }

    PyObject* get() const noexcept { return p_; }
    Borrowed borrowed() const noexcept { return Borrowed::borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace tavik::py
