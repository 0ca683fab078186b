// Argument binding for functions, methods and constructors.
//
// Binding places every positional and keyword argument into one slot per
// parameter of the entry point's Signature (NULL for an omitted optional
// parameter), and raises the interpreter-style TypeError for too many
// positionals, unknown or repeated keywords, and missing required
// parameters, in that order. The bound arguments unpack into one Arg per
// parameter, each carrying its parameter's name for the conversions:
//
//     const auto& [t, legendre_vals] = bound;   // a count mismatch does not compile
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
#include <tuple>

#include "bindings/tavik/py_ref.hpp"
#include "bindings/tavik/signature.hpp"

namespace tavik::py {

// One bound argument: the object (NULL when an optional parameter was not
// given) and the name of its parameter.
struct Arg {
    PyObject* obj;
    const char* name;
    bool given() const noexcept { return obj != nullptr; }
};

template <std::size_t N>
class BoundArgs {
public:
    explicit BoundArgs(const Signature<N>& sig) noexcept : sig_(sig) {}

    template <std::size_t I>
    Arg get() const noexcept {
        static_assert(I < N);
        return {slot[I], sig_.params[I].name};
    }

private:
    const Signature<N>& sig_;

public:
    std::array<PyObject*, N> slot{};  // filled by bind()
    std::array<PyRef, N> held{};      // keeps dictionary-supplied slots alive
};

// Fast calling convention with keyword names (METH_FASTCALL | METH_KEYWORDS).
void bind_vectorcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);
// Classic tuple + dict convention (tp_new).
void bind_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
BoundArgs<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs<N> b(sig);
    bind_vectorcall(sig.view(), args, nargs, kwnames, b.slot.data());
    return b;
}

template <std::size_t N>
BoundArgs<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    BoundArgs<N> b(sig);
    bind_tuple_dict(sig.view(), args, kwargs, b.slot.data());
    for (std::size_t i = 0; i < N; ++i) b.held[i] = PyRef::new_ref(Borrowed::borrow(b.slot[i]));
    return b;
}

}  // namespace tavik::py

template <std::size_t N>
struct std::tuple_size<tavik::py::BoundArgs<N>> : std::integral_constant<std::size_t, N> {};

template <std::size_t I, std::size_t N>
struct std::tuple_element<I, tavik::py::BoundArgs<N>> {
    using type = tavik::py::Arg;
};
