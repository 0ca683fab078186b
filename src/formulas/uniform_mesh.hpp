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

#include "kernels/simd_lanes.hpp"

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

// Ends of interval c for interval length h; the lane form takes c as a double.
template <DoubleLane L>
[[gnu::always_inline]] inline L interval_left_end(double h, L c) noexcept {
    return h * c;
}
[[gnu::always_inline]] inline double interval_left_end(double h, std::uint64_t c) noexcept {
    return interval_left_end(h, static_cast<double>(c));
}
template <DoubleLane L>
[[gnu::always_inline]] inline L interval_right_end(double h, L left) noexcept {
    return h + left;
}

// Meshes of at most this many intervals locate their times with 32-bit
// conversions, which vector units do in one instruction (see interval_index).
inline constexpr std::uint64_t kNarrowMeshIntervals = std::uint64_t{1} << 31;

[[gnu::always_inline]] inline bool is_narrow_mesh(std::uint64_t n_t) noexcept { return n_t <= kNarrowMeshIntervals; }

// Interval index min(saturating_floor_to_u64(q), n_t - 1) per lane, as an
// integer (to address the interval's coefficients) and as a double (to place
// its ends). `narrow` must be is_narrow_mesh(n_t); n_t >= 1.
//
// On a narrow mesh n_t - 1 is exact as a double and fits 31 bits, and the
// clamp can run before the floor: q < n_t - 1 means floor(q) < n_t - 1, and
// q >= n_t - 1 (+inf included) means floor(q) >= n_t - 1; negative q and NaN
// fail q >= 0 and give 0. The clamped value lies in [-0.0, n_t - 1], where
// truncation to int32 is its floor. Both forms give the same index for every
// q; wider meshes take the lane-by-lane integer form.
//
// kClampBelow = false (vector lanes only) leaves out the clamp at 0: a lane
// with q < 0 or NaN then gets an index that is not its interval (never above
// n_t - 1), for callers that relocate every such lane anyway (node_rule.hpp).
template <class L, bool kClampBelow = true>
[[gnu::always_inline]] inline void interval_index(L q, std::uint64_t n_t, bool narrow, LaneIndex<L>& c,
                                                  L& c_as_double) noexcept {
    static_assert(kClampBelow || !kScalarLane<L>);
    if (narrow) {
        const L last = broadcast<L>(static_cast<double>(n_t - 1));
        L clamped = select(q < last, q, last);
        if constexpr (kClampBelow) clamped = select(q >= 0.0, clamped, broadcast<L>(0.0));
        const auto c32 = convert_lanes<typename LaneTraits<L>::NarrowIndex>(clamped);
        c = convert_lanes<LaneIndex<L>>(c32);
        c_as_double = convert_lanes<L>(c32);
    } else {
        for (int l = 0; l < kLaneCount<L>; ++l) {
            const std::uint64_t j = saturating_floor_to_u64(get_lane(q, l));
            const std::uint64_t cl = j < n_t ? j : n_t - 1;
            set_lane(c, l, cl);
            set_lane(c_as_double, l, static_cast<double>(cl));
        }
    }
}

template <class L>
struct LaneLocation {
    LaneIndex<L> interval;
    L xi;
};

// What locating a lane's time computes on the way: the quotient t / h, the
// interval as a double, and xi before the clamp. The node rule of the array
// interface (node_rule.hpp) starts from these.
template <class L>
struct RawLaneLocation {
    LaneIndex<L> interval;
    L interval_as_double;
    L quotient;
    L xi;  // unclamped
};

template <class L, bool kClampBelow = true>
[[gnu::always_inline]] inline RawLaneLocation<L> locate_lanes_unclamped(double h, std::uint64_t n_t, bool narrow,
                                                                         L t) noexcept {
    RawLaneLocation<L> loc;
    loc.quotient = t / h;
    interval_index<L, kClampBelow>(loc.quotient, n_t, narrow, loc.interval, loc.interval_as_double);
    const L a = interval_left_end(h, loc.interval_as_double);
    const L b = interval_right_end(h, a);
    const L s = a + b;
    const L u = t + s * -0.5;
    loc.xi = (u + u) / (b - a);
    return loc;
}

template <class L>
[[gnu::always_inline]] inline L clamp_xi(L xi) noexcept {
    return select(xi < -1.0, broadcast<L>(-1.0), select(xi > 1.0, broadcast<L>(1.0), xi));
}

// Interval and local coordinate of each lane's time t; h must be
// mesh_interval_length(T, n_t), narrow is_narrow_mesh(n_t), n_t >= 1
// (callers refuse an empty mesh before getting here). Constant cost, no
// search.
template <class L>
[[gnu::always_inline]] inline LaneLocation<L> locate_lanes(double h, std::uint64_t n_t, bool narrow, L t) noexcept {
    const RawLaneLocation<L> raw = locate_lanes_unclamped(h, n_t, narrow, t);
    return {raw.interval, clamp_xi(raw.xi)};
}

struct MeshLocation {
    std::uint64_t interval;
    double xi;
};

[[gnu::always_inline]] inline MeshLocation locate_in_mesh(double h, std::uint64_t n_t, double t) noexcept {
    const LaneLocation<double> loc = locate_lanes(h, n_t, is_narrow_mesh(n_t), t);
    return {loc.interval, loc.xi};
}

}  // namespace tavik
