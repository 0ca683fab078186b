// Instances of tavik's classes: the object header, the per-object borrow
// state and the class's own C++ data, constructed in place after the
// interpreter allocated the object and destroyed before it is freed.
//
// Classes are heap types built from a PyType_Spec, frozen after creation: not
// subclassable, no __dict__, no weak references, named "builtins.<Class>".
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "messages.hpp"
#include "bindings/tavik/borrow.hpp"
#include "bindings/tavik/errors.hpp"
#include "bindings/tavik/py_ref.hpp"

namespace tavik::py {

template <class Data>
struct Instance {
    PyObject_HEAD
    BorrowState borrow;
    Data data;
};

// One class object per process, set at registration.
template <class Data>
struct ClassObject {
    static inline PyTypeObject* type = nullptr;
};

template <class Data>
void instance_dealloc(PyObject* self) noexcept {
    auto* inst = reinterpret_cast<Instance<Data>*>(self);
    inst->data.~Data();
    inst->borrow.~BorrowState();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    PyRef::steal(reinterpret_cast<PyObject*>(type)).reset();  // heap types own a reference to themselves
}

// Allocates an instance of `type` holding `data`.
template <class Data>
PyRef make_instance(PyTypeObject* type, Data&& data) {
    PyRef obj = PyRef::steal_or_throw(PyType_GenericAlloc(type, 0));
    auto* inst = reinterpret_cast<Instance<Data>*>(obj.get());
    new (&inst->borrow) BorrowState();
    new (&inst->data) Data(std::move(data));
    return obj;
}

[[noreturn, gnu::cold]] inline void wrong_receiver(PyObject* self, PyTypeObject* cls) {
    raise_type_error(messages::cannot_cast(type_qualname(self), type_qualname(cls)));
}

// The receiver of a method, checked to be an instance of the class.
template <class Data>
Instance<Data>& receiver(PyObject* self) {
    PyTypeObject* cls = ClassObject<Data>::type;
    if (self == nullptr || cls == nullptr || !PyType_IsSubtype(Py_TYPE(self), cls)) wrong_receiver(self, cls);
    return *reinterpret_cast<Instance<Data>*>(self);
}

// Creates the heap type from `type_spec`, freezes it and records it for `receiver`.
template <class Data>
PyRef create_class(PyType_Spec* type_spec) {
    type_spec->basicsize = static_cast<int>(sizeof(Instance<Data>));
    PyRef type = PyRef::steal_or_throw(PyType_FromSpec(type_spec));
    if (PyType_Freeze(reinterpret_cast<PyTypeObject*>(type.get())) != 0) throw_error_already_set();
    ClassObject<Data>::type = reinterpret_cast<PyTypeObject*>(PyRef::new_ref(type.borrowed()).release());
    return type;
}

}  // namespace tavik::py
