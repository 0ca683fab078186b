// The (degree, n_t, T) constructor arguments shared by both Legendre classes.
#pragma once

#include <Python.h>

#include <cstdint>

#include "python_module/args.hpp"
#include "python_module/convert.hpp"

namespace tavik::py {

inline constexpr const char* kBasisParameterNames[] = {"degree", "n_t", "T"};

struct BasisArguments {
    std::uint64_t degree;
    std::uint64_t n_t;
    double T;
};

// Binds by `sig` (whose names must be kBasisParameterNames) and converts in
// parameter order, stopping at the first failure.
inline BasisArguments bind_basis_arguments(const Signature& sig, PyObject* args, PyObject* kwargs) {
    const auto a = bind<3>(sig, args, kwargs);
    const std::uint64_t degree = to_u64(a[0], "degree");
    const std::uint64_t n_t = to_u64(a[1], "n_t");
    const double T = to_double(a[2], "T");
    return {degree, n_t, T};
}

}  // namespace tavik::py
