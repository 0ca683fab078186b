// tavik_arrays._core: the native half of tavik_arrays. Every function here
// is private to the package; the Python layer validates and shapes the
// arguments, and these functions check again what memory safety depends on.
#include <nanobind/nanobind.h>

#include "bindings.hpp"

NB_MODULE(_core, m) {
    m.doc() = "Native kernels of tavik_arrays (private; use the tavik_arrays package).";
    bind_evaluation(m);
    bind_integrals(m);
    bind_matrices(m);
    bind_stepping(m);
    bind_runtime(m);
}
