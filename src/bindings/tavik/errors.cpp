#include "bindings/tavik/errors.hpp"

#include <new>
#include <string>

#include "fatal_error.hpp"

namespace tavik::py {

namespace {

PyObject* g_panic_exception = nullptr;  // lives until the process ends

constexpr const char kPanicDoc[] =
    "Raised when tavik stops an operation on a broken internal precondition.\n\n"
    "It derives from BaseException, not Exception, so that a generic\n"
    "'except Exception' does not swallow it; the object involved stays usable.";

constexpr const char kGenericPanic[] = "tavik stopped an operation on an unexpected internal error";

[[gnu::cold]] void set_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // error from creating the class is set
    PyRef text = PyRef::steal(PyUnicode_FromString(message));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_exception == nullptr) {
        g_panic_exception = PyErr_NewExceptionWithDoc("tavik.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    }
    return g_panic_exception;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) set_panic(kGenericPanic);
    } catch (const FatalError& e) {
        set_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic(kGenericPanic);
    }
}

void raise(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal_or_throw(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text.get());
    throw_error_already_set();
}

void raise_type_error(std::string_view message) { raise(PyExc_TypeError, message); }
void raise_value_error(std::string_view message) { raise(PyExc_ValueError, message); }
void raise_runtime_error(std::string_view message) { raise(PyExc_RuntimeError, message); }
void raise_buffer_error(std::string_view message) { raise(PyExc_BufferError, message); }

void raise_with_argument_name(const char* name) {
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

std::string type_qualname(PyTypeObject* type) {
    PyRef name = PyRef::steal(PyType_GetQualName(type));
    if (!name) {
        PyErr_Clear();
        return type->tp_name;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return type->tp_name;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_qualname(PyObject* obj) { return type_qualname(Py_TYPE(obj)); }

}  // namespace tavik::py
