// Argument binding for functions, methods and constructors.
//
// A Signature is the table of a callable's parameter names (in order) and how
// many of them, from the front, are required. Binding places every positional
// and keyword argument into one slot per parameter (NULL for an omitted
// optional parameter), and raises the interpreter-style TypeError for too
// many positionals, unknown or repeated keywords, and missing required
// parameters, in that order.
//
// A vectorcall caller keeps its argument array alive for the whole call, so
// those slots are borrowed. A keyword dictionary is another matter: the
// conversions run Python code (__index__, __float__, ...) that can reach the
// dictionary (gc.get_referrers) and empty it, so values bound from a tuple
// and dictionary are held by strong references until the call ends.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

#include "python_module/py_ref.hpp"

namespace tavik::py {

struct Signature {
    const char* display;           // e.g. "LegendreBasis.evaluate_at()"
    const char* const* names;      // parameter names, in order
    std::size_t n_params;
    std::size_t n_required;
};

template <std::size_t N>
struct BoundArgs {
    std::array<PyObject*, N> slot{};  // NULL when not given
    std::array<PyRef, N> held{};      // keeps dictionary-supplied slots alive
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
    for (std::size_t i = 0; i < N; ++i) b.held[i] = PyRef::new_ref(Borrowed::borrow(b.slot[i]));
    return b;
}

}  // namespace tavik::py
