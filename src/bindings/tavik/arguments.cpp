#include "bindings/tavik/arguments.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "messages.hpp"
#include "bindings/tavik/errors.hpp"

namespace tavik::py {

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void fail_type(const char* name, std::string_view message) {
    PyRef text = PyRef::steal_or_throw(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(PyExc_TypeError, text.get());
    raise_with_argument_name(name);
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_cast(PyObject* obj, const char* name, const char* target) {
    fail_type(name, messages::cannot_cast(type_qualname(obj), target));
}

bool is_numpy_bool(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5)) return false;
    PyRef tname = PyRef::steal(PyType_GetName(type));
    if (!tname) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8AndSize(tname.get(), "bool_", 5) || PyUnicode_EqualToUTF8AndSize(tname.get(), "bool", 4);
}

// Reserve at most this many elements up front; a longer sequence grows.
constexpr Py_ssize_t kMaxCapacityHint = Py_ssize_t{1} << 20;

}  // namespace

std::uint64_t to_u64(Arg arg) {
    PyObject* const obj = arg.obj;
    if (PyLong_Check(obj)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_with_argument_name(arg.name);
        return v;
    }
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) raise_with_argument_name(arg.name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_with_argument_name(arg.name);
    return v;
}

double to_double(Arg arg) {
    PyObject* const obj = arg.obj;
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) raise_with_argument_name(arg.name);
    return v;
}

bool to_flag(Arg arg) {
    PyObject* const obj = arg.obj;
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) raise_with_argument_name(arg.name);
        return truth != 0;
    }
    fail_cast(obj, arg.name, "bool");
}

std::vector<double> to_double_list(Arg arg) {
    PyObject* const obj = arg.obj;
    if (PyUnicode_Check(obj)) fail_type(arg.name, messages::kStrToVec);
    if (!PySequence_Check(obj)) fail_cast(obj, arg.name, "Sequence");
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxCapacityHint)));
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) raise_with_argument_name(arg.name);
    while (true) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) raise_with_argument_name(arg.name);
            break;
        }
        out.push_back(to_double({item.get(), arg.name}));
    }
    return out;
}

}  // namespace tavik::py
