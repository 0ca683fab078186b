#include "bindings/tavik/results.hpp"

#include "bindings/tavik/errors.hpp"

namespace tavik::py {

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
