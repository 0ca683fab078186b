// The (degree, n_t, T) constructor arguments shared by both Legendre classes.
#pragma once

#include <cstdint>

#include "bindings/tavik/arguments.hpp"
#include "bindings/tavik/bind.hpp"
#include "bindings/tavik/signature.hpp"

namespace tavik::py {

inline constexpr Param kBasisParameters[] = {{"degree"}, {"n_t"}, {"T"}};

struct BasisArguments {
    std::uint64_t degree;
    std::uint64_t n_t;
    double T;
};

// Converts in parameter order, stopping at the first failure.
inline BasisArguments to_basis_arguments(const BoundArgs<3>& bound) {
    const auto& [degree, n_t, T] = bound;
    const std::uint64_t d = to_u64(degree);
    const std::uint64_t n = to_u64(n_t);
    return {d, n, to_double(T)};
}

}  // namespace tavik::py
