#include "bindings/tavik/bind.hpp"

#include <string>

#include "bindings/tavik/errors.hpp"

namespace tavik::py {

namespace {

// "name()" for functions, "Class.name()" for methods and constructors.
std::string display_name(const SignatureView& sig) {
    std::string d = sig.owner != nullptr ? std::string(sig.owner) + "." : std::string();
    return d + sig.name + "()";
}

[[noreturn, gnu::cold]] void too_many_positional(const SignatureView& sig, Py_ssize_t given) {
    std::string m = display_name(sig) + " takes ";
    if (sig.n_required == sig.n_params) {
        m += std::to_string(sig.n_params);
    } else {
        m += "from " + std::to_string(sig.n_required) + " to " + std::to_string(sig.n_params);
    }
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(m);
}

// The name is formatted from the str object itself, so a keyword that
// cannot be encoded as UTF-8 (a lone surrogate) still gets its TypeError.
[[noreturn, gnu::cold]] void bad_keyword(const SignatureView& sig, const char* what, PyObject* key) {
    const std::string display = display_name(sig);
    PyRef message = PyRef::steal_or_throw(PyUnicode_Check(key)
                                              ? PyUnicode_FromFormat("%s%s'%U'", display.c_str(), what, key)
                                              : PyUnicode_FromFormat("%s%s'%R'", display.c_str(), what, key));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw_error_already_set();
}

[[noreturn, gnu::cold]] void missing_required(const SignatureView& sig, PyObject** out) {
    std::size_t missing[16];
    std::size_t k = 0;
    for (std::size_t i = 0; i < sig.n_required && k < 16; ++i) {
        if (out[i] == nullptr) missing[k++] = i;
    }
    std::string m = display_name(sig) + " missing " + std::to_string(k) + " required positional argument";
    m += k == 1 ? ": " : "s: ";
    for (std::size_t j = 0; j < k; ++j) {
        if (j > 0) m += (j + 1 == k) ? (k > 2 ? ", and " : " and ") : ", ";
        m += "'";
        m += sig.params[missing[j]].name;
        m += "'";
    }
    raise_type_error(m);
}

// Index of the parameter a keyword names, or n_params when it names none.
std::size_t find_param(const SignatureView& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return sig.n_params;
    for (std::size_t i = 0; i < sig.n_params; ++i) {
        const char* name = sig.params[i].name;
        if (PyUnicode_EqualToUTF8AndSize(key, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name)))) {
            return i;
        }
    }
    return sig.n_params;
}

void place_keyword(const SignatureView& sig, PyObject* key, PyObject* value, PyObject** out) {
    const std::size_t i = find_param(sig, key);
    if (i == sig.n_params) bad_keyword(sig, " got an unexpected keyword argument ", key);
    if (out[i] != nullptr) bad_keyword(sig, " got multiple values for argument ", key);
    out[i] = value;
}

void check_required(const SignatureView& sig, PyObject** out) {
    for (std::size_t i = 0; i < sig.n_required; ++i) {
        if (out[i] == nullptr) missing_required(sig, out);
    }
}

}  // namespace

void bind_vectorcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
    if (static_cast<std::size_t>(nargs) > sig.n_params) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            place_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out);
        }
    }
    check_required(sig, out);
}

void bind_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.n_params) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
    }
    check_required(sig, out);
}

}  // namespace tavik::py
