// The uniform time mesh shared by the Legendre and the Lagrange bases.
//
// Conventions: [0, T] is cut into n_t intervals of length h = T / n_t.
// Interval c spans [a, b] with a = h * c and b = h + a (the right end is h
// plus the left end, never h * (c + 1)); both bases place their intervals by
// these two formulas so that their nodes agree to the last bit.
// A time t belongs to interval min(floor(t / h), n_t - 1) with a saturating
// conversion (negative and NaN quotients give 0), and maps to a local
// coordinate xi in [-1, 1], clamped; NaN stays NaN.
#pragma once

#include <cstdint>
#include <limits>

namespace tavik {

// floor(q) as an unsigned 64-bit integer, saturating: negative and NaN give
// 0, anything at or above 2^64 (+inf included) gives 2^64 - 1.
[[gnu::always_inline]] inline std::uint64_t saturating_floor_to_u64(double q) noexcept {
    if (!(q >= 0.0)) return 0;  // negative or NaN
    if (q >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    // Truncation of a non-negative value is its floor.
    return static_cast<std::uint64_t>(q);
}

[[gnu::always_inline]] inline double mesh_interval_length(double T, std::uint64_t n_t) noexcept {
    return T / static_cast<double>(n_t);
}

// Ends of interval c for interval length h.
[[gnu::always_inline]] inline double interval_left_end(double h, std::uint64_t c) noexcept {
    return h * static_cast<double>(c);
}
[[gnu::always_inline]] inline double interval_right_end(double h, double left) noexcept {
    return h + left;
}

struct MeshLocation {
    std::uint64_t interval;
    double xi;
};

// Interval and local coordinate of time t; h must be mesh_interval_length(T, n_t).
// Precondition: n_t >= 1 (callers refuse an empty mesh before getting here).
// Constant cost, no search.
[[gnu::always_inline]] inline MeshLocation locate_in_mesh(double h, std::uint64_t n_t, double t) noexcept {
    const double q = t / h;
    const std::uint64_t j = saturating_floor_to_u64(q);
    const std::uint64_t c = j < n_t ? j : n_t - 1;
    const double a = interval_left_end(h, c);
    const double b = interval_right_end(h, a);
    const double s = a + b;
    const double u = t + s * -0.5;
    double xi = (u + u) / (b - a);
    if (xi < -1.0) {
        xi = -1.0;
    } else if (xi > 1.0) {
        xi = 1.0;
    }
    return {c, xi};
}

}  // namespace tavik
