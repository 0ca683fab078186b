// Releasing the interpreter lock around pure computation.
#pragma once

#include <Python.h>

namespace tavik::py {

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, exceptions included. Code inside the scope must not touch any
// Python object: convert and copy before, build results after.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tavik::py
