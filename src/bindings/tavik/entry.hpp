// Entry points made from their Signature and a body on bound arguments.
//
// Each template below is the whole C-level function the interpreter calls:
// it binds the arguments by the signature, checks the receiver and takes its
// borrow state (methods), runs the body, and applies the exception boundary
// (`guarded`), so a body only converts its arguments, calls the core and
// builds the result. Bodies are plain functions:
//
//     PyRef body(const BoundArgs<N>&)                      module functions
//     PyRef body(const Data&, const BoundArgs<N>&)         methods, shared access
//     PyRef body(Data&, const BoundArgs<N>&)               methods, exclusive access
//     PyRef body(PyTypeObject*, const BoundArgs<N>&)       constructors
#pragma once

#include <Python.h>

#include <array>

#include "bindings/tavik/bind.hpp"
#include "bindings/tavik/borrow.hpp"
#include "bindings/tavik/errors.hpp"
#include "bindings/tavik/native_class.hpp"
#include "bindings/tavik/registry.hpp"
#include "bindings/tavik/signature.hpp"

namespace tavik::py {

// The method tables store every calling convention as PyCFunction.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <const auto& sig, auto body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static_assert(sig.kind == EntryKind::function);
    return guarded([&] { return body(bind(sig, args, nargs, kwnames)); });
}

enum class Access { shared, exclusive };

template <class Data, Access access, const auto& sig, auto body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static_assert(sig.kind == EntryKind::method);
    return guarded([&] {
        const auto bound = bind(sig, args, nargs, kwnames);
        Instance<Data>& obj = receiver<Data>(self);
        if constexpr (access == Access::shared) {
            const SharedBorrow borrowed(obj.borrow);
            return body(static_cast<const Data&>(obj.data), bound);
        } else {
            const ExclusiveBorrow borrowed(obj.borrow);
            return body(obj.data, bound);
        }
    });
}

template <const auto& sig, auto body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static_assert(sig.kind == EntryKind::constructor);
    return guarded([&] { return body(type, bind(sig, args, kwargs)); });
}

template <const auto& sig, auto body>
PyMethodDef function_def() {
    return {sig.name, as_cfunction(&function_entry<sig, body>), METH_FASTCALL | METH_KEYWORDS,
            docstring<sig>.data()};
}

template <class Data, Access access, const auto& sig, auto body>
PyMethodDef method_def() {
    return {sig.name, as_cfunction(&method_entry<Data, access, sig, body>), METH_FASTCALL | METH_KEYWORDS,
            docstring<sig>.data()};
}

namespace detail {

// "builtins.<Class>": the full type name, so that __module__ reads "builtins".
template <const auto& sig>
inline constexpr auto builtin_type_name = [] {
    std::array<char, append(nullptr, append(nullptr, 0, "builtins."), sig.owner) + 1> name{};
    append(name.data(), append(name.data(), 0, "builtins."), sig.owner);
    return name;
}();

}  // namespace detail

// Creates the class whose constructor is `sig`/`body` and whose methods are
// the NULL-terminated table `methods`, and registers it under its name.
template <class Data, const auto& sig, auto body>
void register_class(PyObject* module, PyMethodDef* methods) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&constructor_entry<sig, body>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Data>)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>(docstring<sig>.data())},
        {0, nullptr},
    };
    static PyType_Spec spec = {detail::builtin_type_name<sig>.data(), 0, 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyRef type = create_class<Data>(&spec);
    register_object(module, sig.owner, type.get());
}

}  // namespace tavik::py
