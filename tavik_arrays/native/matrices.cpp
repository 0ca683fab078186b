// Sparse matrices of the array interface (none yet).
#include "bindings.hpp"

void bind_matrices(nanobind::module_&) {}
