// Locating times for the array interface (tavik_arrays): the uniform mesh's
// location (uniform_mesh.hpp) plus a rule at the nodes and, for a periodic
// space, the reduction of t modulo T. LegendreBasis keeps the plain location.
//
// Conventions:
//  - Periodic: a time t is first reduced to r = fmod(t, T), plus T when that
//    is negative (the remainder is exact; only the addition rounds). NaN and +-inf
//    give NaN. Otherwise r = t.
//  - The node rule: c is the interval the plain location gives r, and
//    m = c + 1 when r / h - c > 0.5, else c (the nearest node, 0 ... n_t);
//    x_m = h * m is that node as the mesh places it (interval_left_end). If
//    |r - x_m| <= 4 ulp(max(|t|, x_m)), ulp(y) = 2^(floor(log2 y) - 52)
//    (0 below the normal range), r is node m: the right side takes interval
//    m at xi = -1, the left side interval m - 1 at xi = +1. Node 0 and node
//    n_t of a non-periodic mesh are xi = -1 of the first and xi = +1 of the
//    last interval on both sides; on a periodic mesh node n_t is node 0.
//  - Four units cover every usual way of writing a node (h * m, m * T / n_t,
//    linspace, the Lagrange points), which land within 2.5 units of x_m, and
//    the max with |t| covers the rounding of forming t + k T. The mesh rule
//    of the array interface (h >= 2^-40 T) keeps windows of neighbouring
//    nodes thousands of units apart.
//  - Every other time keeps the plain location, bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include <immintrin.h>

#include "kernels/simd_lanes.hpp"
#include "formulas/uniform_mesh.hpp"

namespace tavik {

enum class NodeSide { right, left };

// What locating a batch's times needs, fixed for the batch.
struct NodeRule {
    double h;  // mesh_interval_length(T, n_t)
    double T;
    std::uint64_t n_t;  // >= 1
    bool narrow;        // is_narrow_mesh(n_t)
    bool periodic;
    bool left;
    // Lanes whose fraction t / h - c lies within 1/2 - interior of 1/2
    // (and, when periodic, whose time lies in [0, T]) are no node and need
    // no clamp: no time within a node's window has a fraction farther than
    // 2^-45 T / h + 2^-40 from 0 or 1, whatever the roundings (node_rule()).
    double interior;
};

inline NodeRule node_rule(double T, std::uint64_t n_t, NodeSide side, bool periodic) noexcept {
    const double h = mesh_interval_length(T, n_t);
    // A time within 4 ulp(s) of x_m, s <= T (1 + 2^-51) for the times this
    // bound serves, is within 2^-50 T (1 + 2^-50) of it, 2^-50 n_t (1 + 2^-49)
    // in units of h. x_m is within 2^-53 m of m h, and the rounding of the
    // quotient t / h adds at most 2^-53 (n_t + 1): in all the fraction of a
    // time in a window lies within 2^-48 n_t of 0 or 1. 2^-45 T / h + 2^-40
    // (T / h rounds n_t) keeps a margin of 8. That takes roundings relative
    // to their results: on a mesh whose h could underflow or whose T is near
    // overflow (which the array interface refuses anyway) no lane is clear.
    const bool relative = h >= 0x1p-1000 && T <= 0x1p1020;
    const double interior = relative ? 0.5 - (std::ldexp(T / h, -45) + 0x1p-40) : -1.0;
    return {h, T, n_t, is_narrow_mesh(n_t), periodic, side == NodeSide::left, interior};
}

// The largest power of two at or below y (y >= 0 finite and normal: its
// exponent bits alone); 0 below the normal range, inf for inf.
[[gnu::always_inline]] inline double binade_of(double y) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(y) & 0x7ff0000000000000u);
}

// x - n y for the integer n = trunc(x / y), exactly (the remainder is a
// double whenever x and y are), as std::fmod computes it: sign of x, NaN for
// x infinite or NaN, y NaN or zero. Written out because the C library's
// fmod comes under a symbol version that older systems lack. Cost: one
// step per binary order of magnitude between x and y.
inline double exact_remainder(double x, double y) noexcept {
    const double ax = std::fabs(x), ay = std::fabs(y);
    if (!(ax <= std::numeric_limits<double>::max()) || !(ay > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (ax < ay) return x;
    // |v| = mantissa * 2^exponent with the mantissa in [2^52, 2^53).
    const auto split = [](double v, std::uint64_t& mantissa, int& exponent) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
        const int biased = static_cast<int>(bits >> 52);
        mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        exponent = biased - 1075;
        if (biased != 0) {
            mantissa |= std::uint64_t{1} << 52;
        } else {
            exponent = -1074;
            while (mantissa < (std::uint64_t{1} << 52)) {
                mantissa <<= 1;
                --exponent;
            }
        }
    };
    std::uint64_t mx, my;
    int ex, ey;
    split(ax, mx, ex);
    split(ay, my, ey);
    // Long division, one bit of the quotient per step; mx < 2 my throughout.
    for (; ex > ey; --ex) {
        if (mx >= my) mx -= my;
        mx <<= 1;
    }
    if (mx >= my) mx -= my;
    // mx 2^ey < |y| is a multiple of the smaller of ulp(x) and ulp(y): exact.
    return std::copysign(std::ldexp(static_cast<double>(mx), ey), x);
}

// One time by the full rule: reduction, plain location, node window.
[[gnu::always_inline]] inline MeshLocation locate_by_node_rule(const NodeRule& rule, double t) noexcept {
    double r = t;
    if (rule.periodic && !(t >= 0.0 && t <= rule.T)) {
        r = exact_remainder(t, rule.T);
        if (r < 0.0) r = r + rule.T;
    }
    const RawLaneLocation<double> raw = locate_lanes_unclamped(rule.h, rule.n_t, rule.narrow, r);
    const std::uint64_t c = raw.interval;
    const std::uint64_t m = raw.quotient - raw.interval_as_double > 0.5 ? c + 1 : c;
    const double x = interval_left_end(rule.h, m);
    const double scale = std::fmax(std::fabs(t), x);
    if (!(std::fabs(r - x) <= binade_of(scale) * 0x1p-50)) return {c, clamp_xi(raw.xi)};
    if (rule.left) {
        if (m > 0) return {m - 1, 1.0};
        return rule.periodic ? MeshLocation{rule.n_t - 1, 1.0} : MeshLocation{0, -1.0};
    }
    if (m < rule.n_t) return {m, -1.0};
    return rule.periodic ? MeshLocation{0, -1.0} : MeshLocation{rule.n_t - 1, 1.0};
}

// Whether every lane of a comparison mask is set.
template <class M>
[[gnu::always_inline]] inline bool all_lanes(const M& mask) noexcept {
    if constexpr (kIsLanePack<M>) {
        auto merged = mask.part[0];
        for (int k = 1; k < kPartsOf<M>; ++k) merged &= mask.part[k];
        return all_lanes(merged);
    } else if constexpr (std::is_arithmetic_v<M>) {
        return mask;
    } else {
        std::int64_t merged = -1;
        for (int l = 0; l < static_cast<int>(sizeof(M) / sizeof(mask[0])); ++l) merged &= mask[l];
        return merged != 0;
    }
}

// Whether every lane of x is below `limit` (false for NaN lanes). In the
// translation units compiled for one instruction set, by its compare-to-mask
// instructions; elsewhere (lanes in functions with a target attribute) by
// the generic mask reduction.
template <class L>
[[gnu::always_inline]] inline bool all_lanes_below(const L& x, double limit) noexcept {
#if defined(__AVX512F__) || defined(__AVX__)
    if constexpr (kIsLanePack<L>) {
        using Part = std::remove_cvref_t<decltype(x.part[0])>;
#endif
#if defined(__AVX512F__)
        if constexpr (kLaneCount<Part> == 8) {
            const __m512d bound = _mm512_set1_pd(limit);
            __mmask8 below = 0xff;
            for (int k = 0; k < kPartsOf<L>; ++k) {
                below &= _mm512_cmp_pd_mask(reinterpret_cast<__m512d>(x.part[k]), bound, _CMP_LT_OQ);
            }
            return below == 0xff;
        }
#endif
#if defined(__AVX__)
        if constexpr (kLaneCount<Part> == 4) {
            const __m256d bound = _mm256_set1_pd(limit);
            __m256d below = _mm256_cmp_pd(reinterpret_cast<__m256d>(x.part[0]), bound, _CMP_LT_OQ);
            for (int k = 1; k < kPartsOf<L>; ++k) {
                below = _mm256_and_pd(below, _mm256_cmp_pd(reinterpret_cast<__m256d>(x.part[k]), bound, _CMP_LT_OQ));
            }
            return _mm256_movemask_pd(below) == 0xf;
        }
#endif
#if defined(__AVX512F__) || defined(__AVX__)
    }
#endif
    return all_lanes(x < limit);
}

namespace {

// The lanes of a block that are not clear of the nodes, by the full rule:
// times t[0 .. lanes), clear[l] nonzero for those to skip. Out of line and
// cold, so that the kernels' loops keep their registers for the common
// block; scalars only cross the call, and internal linkage gives every
// translation unit (each compiled for its own instruction set) its own copy.
[[maybe_unused, gnu::noinline, gnu::cold]] void locate_unclear_lanes(const NodeRule& rule, const double* t,
                                                       const std::int64_t* clear, int lanes,
                                                       std::uint64_t* interval, double* xi) noexcept {
    for (int l = 0; l < lanes; ++l) {
        if (clear[l] != 0) continue;
        const MeshLocation one = locate_by_node_rule(rule, t[l]);
        interval[l] = one.interval;
        xi[l] = one.xi;
    }
}

}  // namespace

// The lanes' times by the rule. A block whose times all lie clear of the
// nodes (and, when periodic, in [0, T]) costs the plain location less its
// clamps, which are idle there; any other block takes the lanes that are
// not clear through locate_by_node_rule one by one.
//
// Clear: the fraction q - c of t / h past its interval's start is within
// (delta, 1 - delta), delta = 1/2 - rule.interior. That bounds xi away from
// +-1 as well, so it needs no clamp. Lanes with q < 0 (whose index is then
// not clamped up to 0: the fraction is <= 0), q >= n_t (their index is
// clamped to n_t - 1: the fraction is >= 1) and NaN fail the test, as does
// every lane when the mesh's own numbers are unsafe (interior -1): the
// filter can only send a lane the long way, never keep it from it. `narrow`
// is rule.narrow, passed apart so that a kernel compiled for one mesh route
// can fold it.
template <class L>
[[gnu::always_inline]] inline LaneLocation<L> locate_lanes_by_node_rule(const NodeRule& rule, bool narrow,
                                                                        L t) noexcept {
    const RawLaneLocation<L> raw = locate_lanes_unclamped<L, kScalarLane<L>>(rule.h, rule.n_t, narrow, t);
    LaneLocation<L> loc{raw.interval, raw.xi};
    const L off_centre = abs_lanes(raw.quotient - raw.interval_as_double - 0.5);
    auto clear = off_centre < rule.interior;
    if (rule.periodic) {
        clear = clear & ((t >= 0.0) & (rule.T >= t));
        if (all_lanes(clear)) return loc;
    } else if (all_lanes_below(off_centre, rule.interior)) [[likely]] {
        return loc;
    }
    if constexpr (kScalarLane<L>) {
        return locate_by_node_rule(rule, t);
    } else {
        // Through memory, whole vectors at a time: lane-by-lane access here
        // would keep the common path's vectors out of registers too.
        constexpr int kLanes = kLaneCount<L>;
        double times[kLanes], xi[kLanes];
        std::int64_t is_clear[kLanes];
        std::uint64_t interval[kLanes];
        static_assert(sizeof clear == sizeof is_clear && sizeof loc.interval == sizeof interval);
        __builtin_memcpy(times, &t, sizeof times);
        __builtin_memcpy(xi, &loc.xi, sizeof xi);
        __builtin_memcpy(interval, &loc.interval, sizeof interval);
        __builtin_memcpy(is_clear, &clear, sizeof is_clear);
        locate_unclear_lanes(rule, times, is_clear, kLanes, interval, xi);
        __builtin_memcpy(&loc.xi, xi, sizeof xi);
        __builtin_memcpy(&loc.interval, interval, sizeof interval);
    }
    return loc;
}

}  // namespace tavik
