#include "bindings/tavik/buffer.hpp"

#include <cstdint>
#include <cstring>

#include "messages.hpp"
#include "bindings/tavik/errors.hpp"

namespace tavik::py {

DoubleBufferCopy::DoubleBufferCopy(Arg arg) {
    if (PyObject_GetBuffer(arg.obj, &view_, PyBUF_FULL_RO) != 0) raise_with_argument_name(arg.name);
    acquired_ = true;
    // A throwing constructor gets no destructor call: release the view here
    // on every failure, keeping the pending Python error intact across the
    // exporter's release hook.
    try {
        if (view_.shape == nullptr) raise_buffer_error(messages::kShapeNull);
        if (view_.strides == nullptr) raise_buffer_error(messages::kStridesNull);
        const char* f = view_.format != nullptr ? view_.format : "B";
        const bool native_double = std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 ||
                                   std::strcmp(f, "=d") == 0 || std::strcmp(f, "<d") == 0;
        if (view_.itemsize != 8 || !native_double) raise_buffer_error(messages::kNotF64);
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
            raise_buffer_error(messages::kMisalignedF64);
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

}  // namespace tavik::py
