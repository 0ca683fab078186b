// Argument binding for functions, methods and constructors.
//
// A Signature is the table of a callable's parameter names (in order) and how
// many of them, from the front, are required. Binding places every positional
// and keyword argument into one slot per parameter, as borrowed references
// (NULL for an omitted optional parameter), and raises the interpreter-style
// TypeError for too many positionals, unknown or repeated keywords, and
// missing required parameters, in that order.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace tavik::py {

struct Signature {
    const char* display;           // e.g. "LegendreBasis.evaluate_at()"
    const char* const* names;      // parameter names, in order
    std::size_t n_params;
    std::size_t n_required;
};

template <std::size_t N>
struct BoundArgs {
    std::array<PyObject*, N> slot{};  // borrowed; NULL when not given
    PyObject* operator[](std::size_t i) const noexcept { return slot[i]; }
    bool given(std::size_t i) const noexcept { return slot[i] != nullptr; }
};

// Fast calling convention with keyword names (METH_FASTCALL | METH_KEYWORDS).
void bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);
// Classic tuple + dict convention (tp_new).
void bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
BoundArgs<N> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs<N> b;
    bind_vectorcall(sig, args, nargs, kwnames, b.slot.data());
    return b;
}

template <std::size_t N>
BoundArgs<N> bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    BoundArgs<N> b;
    bind_tuple_dict(sig, args, kwargs, b.slot.data());
    return b;
}

}  // namespace tavik::py
