#include "python_module/convert.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "python_module/errors.hpp"

namespace tavik::py {

namespace {

// Re-raises the pending error with the argument name when it is exactly a
// TypeError; always ends by throwing ErrorAlreadySet.
[[noreturn, gnu::cold, gnu::noinline]] void fail_with_arg_name(const char* name) {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc.release());
        throw_error_already_set();
    }
    PyRef text = PyRef::steal_or_throw(PyObject_Str(exc.get()));
    PyRef message = PyRef::steal_or_throw(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    PyRef replacement = PyRef::steal_or_throw(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyObject* cause = PyException_GetCause(exc.get());  // new reference or NULL
    PyException_SetCause(replacement.get(), cause);      // steals it
    PyErr_SetRaisedException(replacement.release());
    throw_error_already_set();
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_type(const char* name, std::string_view message) {
    PyRef text = PyRef::steal_or_throw(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(PyExc_TypeError, text.get());
    fail_with_arg_name(name);
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_cast(PyObject* obj, const char* name, const char* target) {
    fail_type(name, "'" + type_qualname(obj) + "' object cannot be cast as '" + target + "'");
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

std::uint64_t to_u64(PyObject* obj, const char* name) {
    if (PyLong_Check(obj)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_with_arg_name(name);
        return v;
    }
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) fail_with_arg_name(name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_with_arg_name(name);
    return v;
}

double to_double(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) fail_with_arg_name(name);
    return v;
}

bool to_flag(PyObject* obj, const char* name) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) fail_with_arg_name(name);
        return truth != 0;
    }
    fail_cast(obj, name, "bool");
}

std::vector<double> to_double_list(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) fail_type(name, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) fail_cast(obj, name, "Sequence");
    Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxCapacityHint)));
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) fail_with_arg_name(name);
    while (true) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) fail_with_arg_name(name);
            break;
        }
        out.push_back(to_double(item.get(), name));
    }
    return out;
}

DoubleBufferCopy::DoubleBufferCopy(PyObject* obj, const char* name) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) fail_with_arg_name(name);
    acquired_ = true;
    // A throwing constructor gets no destructor call: release the view here
    // on every failure, keeping the pending Python error intact across the
    // exporter's release hook.
    try {
        if (view_.shape == nullptr) raise_buffer_error("shape is null");
        if (view_.strides == nullptr) raise_buffer_error("strides is null");
        const char* f = view_.format != nullptr ? view_.format : "B";
        const bool native_double = std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 ||
                                   std::strcmp(f, "=d") == 0 || std::strcmp(f, "<d") == 0;
        if (view_.itemsize != 8 || !native_double) raise_buffer_error("buffer contents are not compatible with f64");
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
            raise_buffer_error("buffer contents are insufficiently aligned for f64");
        }
        const std::size_t n = static_cast<std::size_t>(view_.len) / sizeof(double);
        values_.emplace(n);
        if (n > 0 && PyBuffer_ToContiguous(values_->span().data(), &view_, static_cast<Py_ssize_t>(n * sizeof(double)),
                                           'C') != 0) {
            throw_error_already_set();
        }
    } catch (...) {
        acquired_ = false;
        PyObject* pending = PyErr_GetRaisedException();
        PyBuffer_Release(&view_);
        PyErr_SetRaisedException(pending);
        throw;
    }
}

DoubleBufferCopy::~DoubleBufferCopy() {
    if (acquired_) PyBuffer_Release(&view_);
}

PyRef from_double(double v) { return PyRef::steal_or_throw(PyFloat_FromDouble(v)); }

PyRef from_doubles(std::span<const double> values) {
    PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(values.size())));
    fill_doubles(list.get(), 0, values);
    return list;
}

void fill_doubles(PyObject* list, std::size_t offset, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw_error_already_set();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(offset + i), item);
    }
}

PyRef from_u64s(std::span<const std::uint64_t> values) {
    PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(values.size())));
    // ints are immutable, so a run of equal values (the row indices of a
    // sparse matrix come in runs) shares one object instead of allocating
    // one per element.
    PyObject* previous = nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item;
        if (previous != nullptr && values[i] == values[i - 1]) {
            item = Py_NewRef(previous);
        } else {
            item = PyLong_FromUnsignedLongLong(values[i]);
            if (item == nullptr) throw_error_already_set();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        previous = item;
    }
    return list;
}

PyRef from_text(std::string_view text) {
    return PyRef::steal_or_throw(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef triplets_to_tuple(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                        std::span<const double> values) {
    PyRef r = from_u64s(rows);
    PyRef c = from_u64s(cols);
    PyRef v = from_doubles(values);
    PyRef tuple = PyRef::steal_or_throw(PyTuple_New(3));
    PyTuple_SET_ITEM(tuple.get(), 0, r.release());
    PyTuple_SET_ITEM(tuple.get(), 1, c.release());
    PyTuple_SET_ITEM(tuple.get(), 2, v.release());
    return tuple;
}

PyRef none() { return PyRef::new_ref(Borrowed::borrow(Py_None)); }

}  // namespace tavik::py

