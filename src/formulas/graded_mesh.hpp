// Locating times on a mesh given by its nodes t_0 < t_1 < ... < t_n (the
// array interface's spaces built from nodes), with the node rule of
// node_rule.hpp carried over to unequal steps.
//
// Conventions:
//  - Periodic: r = t when t lies in [0, T] (T = t_n; such a mesh starts at
//    0), else the exact remainder of t by T plus T when negative, as on
//    uniform meshes. Otherwise r = t.
//  - Interval: c = the number of inner nodes t_1 ... t_(n-1) at or below r
//    (t_c <= r < t_(c+1) inside the mesh; below t_0 and NaN give 0, at or
//    beyond t_n n - 1). With a = t_c, b = t_(c+1):
//    xi = (u + u) / (b - a), u = r + (a + b) * -0.5 (the uniform mesh's
//    operations on this interval's ends), clamped to [-1, 1]; NaN stays NaN.
//  - Node rule: m = c + 1 when r - a > b - r, else c; x_m = t_m. If
//    |r - x_m| <= 4 ulp(max(|t|, |x_m|)), r is node m, its right or left
//    limit by the side exactly as on uniform meshes (node 0 and node n of a
//    non-periodic mesh are the ends of the first and last interval on both
//    sides; on a periodic one node n is node 0).
//  - Step: the located interval's b - a, one rounded difference; time
//    derivatives divide by it.
//
// How c is found, per lane and without branching on the data: the range
// [t_0, t_n] is cut into B equal buckets,
//    bucket(r) = min(floor((r - t_0) * (B / (t_n - t_0))), B - 1), 0 for
//    r below t_0 and NaN,
// which is non-decreasing in r whatever the roundings (each operation is).
// lower[k] = the number of inner nodes whose bucket is below k. If r lies in
// bucket k, every inner node of a lower bucket is <= r (it cannot exceed r
// and have a bucket below r's), and no node of a higher bucket is (it cannot
// be <= r and have a bucket above r's): c lies in [lower[k], lower[k + 1]].
// Starting from lower[k], the steps s = 2^(K-1), ..., 2, 1 each add s when
// inner node c + s is <= r, which lands on c exactly as long as
// 2^K - 1 >= lower[k + 1] - lower[k] for every k. A bucket holding no inner
// node has c = lower[k] outright: its entry carries kCrowdedBucket when it
// does hold one, and lanes whose buckets all lack the mark (on a graded mesh
// with B well above n, most) skip the steps. The inner nodes are kept
// behind NaN padding (a NaN node compares false, so no step leaves the inner
// nodes, even on node arrays that are not increasing). B is chosen when the
// table is built so that K stays small (graded_mesh.cpp).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "formulas/node_rule.hpp"
#include "formulas/uniform_mesh.hpp"
#include "kernels/simd_lanes.hpp"

namespace tavik {

// Marks a bucket entry whose bucket holds an inner node (a bit no count
// reaches).
inline constexpr std::uint64_t kCrowdedBucket = std::uint64_t{1} << 62;

// What the kernels read: views into a GradedMesh, plus the batch's side
// and periodicity.
struct GradedLocator {
    const double* nodes;   // t_0 ... t_n
    const double* search;  // search[j] = t_j for 1 <= j <= n - 1, NaN elsewhere (j < n + 2^K)
    const double* lower;   // B + 1 counts, each an int64's bits, | kCrowdedBucket where the bucket holds a node
    std::uint64_t n_t;     // n >= 1
    std::uint64_t buckets;  // B, 1 <= B <= 2^31
    std::int64_t first_step;  // 2^(K-1), or 0 when K = 0
    double start;          // t_0
    double end;            // t_n (the period of a periodic mesh)
    double inverse_width;  // B / (t_n - t_0)
    bool periodic = false;
    bool left = false;
};

// The node array and its bucket table. Holds copies of the nodes; needs at
// least two (fatal kGradedMeshTooFewNodes). Any values keep every index in
// range; only strictly increasing finite nodes get the documented location
// (the array interface validates them before building one). Memory
// O(n + B), B <= max(2^16, 16 n); time O(n + B) per try of B, which doubles
// from bit_ceil(n) at most log2(max(2^16, 16 n) / n) times (see
// graded_mesh.cpp).
class GradedMesh {
public:
    explicit GradedMesh(std::span<const double> nodes);

    std::uint64_t n_t() const noexcept { return nodes_.size() - 1; }
    std::span<const double> nodes() const noexcept { return nodes_; }
    std::uint64_t buckets() const noexcept { return buckets_; }
    // K: the search steps every time takes after its bucket.
    int search_steps() const noexcept { return steps_; }
    GradedLocator locator(NodeSide side, bool periodic) const noexcept;

private:
    std::vector<double> nodes_, search_, lower_;
    std::uint64_t buckets_ = 1;
    int steps_ = 0;
};

// The lanes of x's index type holding the bits of v's lanes.
template <class L>
[[gnu::always_inline]] inline LaneIndex<L> index_bits_of(const L& v) noexcept {
    if constexpr (kScalarLane<L>) {
        return std::bit_cast<std::uint64_t>(v);
    } else if constexpr (kIsLanePack<L>) {
        LaneIndex<L> r;
        for (int k = 0; k < kPartsOf<L>; ++k) r.part[k] = index_bits_of(v.part[k]);
        return r;
    } else {
        return reinterpret_cast<LaneIndex<L>>(v);
    }
}

// The larger of x and y per lane (y where either is NaN).
template <class L>
[[gnu::always_inline]] inline L larger_lanes(const L& x, const L& y) noexcept {
    return select(x > y, x, y);
}

// Bucket of each lane's time r, as defined above.
template <class L>
[[gnu::always_inline]] inline LaneIndex<L> graded_bucket(const GradedLocator& mesh, L r) noexcept {
    LaneIndex<L> bucket;
    L unused;
    interval_index<L>((r - mesh.start) * mesh.inverse_width, mesh.buckets, true, bucket, unused);
    return bucket;
}

template <class L>
struct GradedLaneLocation {
    LaneIndex<L> interval;
    L xi;    // unclamped
    L left;  // a = t_c
    L right;  // b = t_(c+1)
};

// xi = (u + u) / (b - a), u = r + (a + b) * -0.5, unclamped.
template <class L>
[[gnu::always_inline]] inline L graded_xi(L r, L a, L b) noexcept {
    const L s = a + b;
    const L u = r + s * -0.5;
    return (u + u) / (b - a);
}

// Interval, ends and unclamped xi of each lane's r by the table search.
// gather(base, index) gives base[index] per lane.
template <class L, class Gather>
[[gnu::always_inline]] inline GradedLaneLocation<L> locate_graded_unclamped(const GradedLocator& mesh, L r,
                                                                             Gather&& gather) noexcept {
    GradedLaneLocation<L> loc;
    using Index = decltype(get_lane(std::declval<LaneIndex<L>&>(), 0));
    const L entry = gather(mesh.lower, graded_bucket(mesh, r));
    LaneIndex<L> c = index_bits_of(entry);
    // Read as doubles, unmarked entries (below 2^62) lie below 2.0 and
    // marked ones at or above it: the test runs on the compare-to-mask
    // instructions.
    if (!all_lanes_below(entry, 2.0)) {
        c = c & static_cast<Index>(kCrowdedBucket - 1);
        for (std::int64_t s = mesh.first_step; s > 0; s >>= 1) {
            const L node = gather(mesh.search + s, c);
            c = select(r >= node, c + static_cast<Index>(s), c);
        }
    }
    loc.interval = c;
    loc.left = gather(mesh.nodes, c);
    loc.right = gather(mesh.nodes + 1, c);
    loc.xi = graded_xi(r, loc.left, loc.right);
    return loc;
}

// The interval the previous block's last time was found in, kept by the
// caller from block to block (one per chunk, never shared): sorted times
// then mostly find every lane of a block in it, and skip the search and its
// gathers. The test low <= t < high holds exactly for the times whose search
// gives `interval` (low is -inf for the first interval, high +inf for the
// last, as the count of inner nodes goes), so the result has the same bits
// either way; NaN fails it, as does every time before the first block.
struct GradedMemo {
    // The largest double below low (-inf stays -inf, which then misses), so
    // that r >= low is -r < -below_low, the form all_lanes_below tests.
    double below_low = std::numeric_limits<double>::quiet_NaN();
    double high = std::numeric_limits<double>::quiet_NaN();
    double left = 0.0, right = 0.0;
    std::uint64_t interval = 0;
};

// The same index in every lane.
template <class I>
[[gnu::always_inline]] inline I broadcast_index(std::uint64_t v) noexcept {
    if constexpr (std::is_arithmetic_v<I>) {
        return static_cast<I>(v);
    } else if constexpr (kIsLanePack<I>) {
        I r;
        for (auto& p : r.part) p = broadcast_index<std::remove_reference_t<decltype(p)>>(v);
        return r;
    } else {
        return I{} + static_cast<std::int64_t>(v);
    }
}

// The largest double below a finite x, by its bits: a call to the C
// library's nextafter inside the kernels' loop would make the compiler save
// every vector register around it. (Not for -inf, which gives NaN: a memo
// that never matches.)
[[gnu::always_inline]] inline double next_below(double x) noexcept {
    if (x == 0.0) return -0x1p-1074;
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return std::bit_cast<double>(x > 0.0 ? bits - 1 : bits + 1);
}

// locate_graded_unclamped, through the memo: the memo's interval when every
// lane lies in it, else the search, whose last lane then becomes the memo.
template <class L, class Gather>
[[gnu::always_inline]] inline GradedLaneLocation<L> locate_graded_remembered(const GradedLocator& mesh, L r,
                                                                              GradedMemo& memo,
                                                                              Gather&& gather) noexcept {
    if (all_lanes_below(r, memo.high) && all_lanes_below(r * -1.0, -memo.below_low)) {
        GradedLaneLocation<L> loc;
        loc.interval = broadcast_index<LaneIndex<L>>(memo.interval);
        loc.left = broadcast<L>(memo.left);
        loc.right = broadcast<L>(memo.right);
        loc.xi = graded_xi(r, loc.left, loc.right);
        return loc;
    }
    const GradedLaneLocation<L> loc = locate_graded_unclamped<L>(mesh, r, gather);
    const auto c = static_cast<std::uint64_t>(get_lane(loc.interval, kLaneCount<L> - 1));
    memo.interval = c;
    memo.left = mesh.nodes[c];
    memo.right = mesh.nodes[c + 1];
    memo.below_low = c == 0 ? -std::numeric_limits<double>::infinity() : next_below(memo.left);
    memo.high = c + 1 == mesh.n_t ? std::numeric_limits<double>::infinity() : memo.right;
    return loc;
}

struct GradedMeshLocation {
    std::uint64_t interval;
    double xi;
    double step;
};

[[gnu::always_inline]] inline double scalar_gather(const double* base, std::uint64_t index) noexcept {
    return base[index];
}

// One time by the full rule: reduction, table search, node window.
[[gnu::always_inline]] inline GradedMeshLocation locate_graded_by_node_rule(const GradedLocator& mesh,
                                                                           double t) noexcept {
    double r = t;
    if (mesh.periodic && !(t >= 0.0 && t <= mesh.end)) {
        r = exact_remainder(t, mesh.end);
        if (r < 0.0) r = r + mesh.end;
    }
    const GradedLaneLocation<double> raw = locate_graded_unclamped<double>(mesh, r, scalar_gather);
    const std::uint64_t c = raw.interval;
    const bool upper = r - raw.left > raw.right - r;
    const std::uint64_t m = upper ? c + 1 : c;
    const double x = upper ? raw.right : raw.left;
    const double scale = std::fmax(std::fabs(t), std::fabs(x));
    if (!(std::fabs(r - x) <= binade_of(scale) * 0x1p-50)) return {c, clamp_xi(raw.xi), raw.right - raw.left};
    const auto at = [&](std::uint64_t interval, double xi) {
        return GradedMeshLocation{interval, xi, mesh.nodes[interval + 1] - mesh.nodes[interval]};
    };
    const std::uint64_t n = mesh.n_t;
    if (mesh.left) {
        if (m > 0) return at(m - 1, 1.0);
        return mesh.periodic ? at(n - 1, 1.0) : at(0, -1.0);
    }
    if (m < n) return at(m, -1.0);
    return mesh.periodic ? at(0, -1.0) : at(n - 1, 1.0);
}

template <class L>
struct GradedLocation {
    LaneIndex<L> interval;
    L xi;
    L step;
};

namespace {

// The lanes of a block that are not clear of the nodes, by the full rule
// (cold and out of line, as locate_unclear_lanes in node_rule.hpp).
[[maybe_unused, gnu::noinline, gnu::cold]] void locate_unclear_graded_lanes(const GradedLocator& mesh,
                                                                          const double* t,
                                                                          const std::int64_t* clear, int lanes,
                                                                          std::uint64_t* interval, double* xi,
                                                                          double* step) noexcept {
    for (int l = 0; l < lanes; ++l) {
        if (clear[l] != 0) continue;
        const GradedMeshLocation one = locate_graded_by_node_rule(mesh, t[l]);
        interval[l] = one.interval;
        xi[l] = one.xi;
        step[l] = one.step;
    }
}

}  // namespace

// The lanes' times by the rule. A lane is clear when
//    fl(t - a) > tol and fl(b - t) > tol, tol = max(|t|, |a|, |b|) * 2^-50:
// then t lies inside [t_0, t_n] (so r = t, periodic or not) and, rounding
// being monotone, |r - x_m| exceeds 4 ulp(max(|t|, |x_m|)) for either end:
// the rule leaves it where the search put it. memo as in
// locate_graded_remembered. NaN, times outside the mesh
// and times near a node fail the test and go through
// locate_graded_by_node_rule one by one, so every lane gets the scalar
// rule's bits.
template <class L, class Gather>
[[gnu::always_inline]] inline GradedLocation<L> locate_graded_lanes(const GradedLocator& mesh, L t, GradedMemo& memo,
                                                                    Gather&& gather) noexcept {
    if constexpr (kScalarLane<L>) {
        (void)memo;
        const GradedMeshLocation one = locate_graded_by_node_rule(mesh, t);
        return {one.interval, one.xi, one.step};
    } else {
        const GradedLaneLocation<L> raw = locate_graded_remembered<L>(mesh, t, memo, gather);
        GradedLocation<L> loc{raw.interval, clamp_xi(raw.xi), raw.right - raw.left};
        const L tol = larger_lanes(abs_lanes(t), larger_lanes(abs_lanes(raw.left), abs_lanes(raw.right))) * 0x1p-50;
        const L below = t - raw.left, above = raw.right - t;
        // tol - min(below, above) < 0 exactly when both exceed tol (the
        // sign of a difference is exact); NaN fails.
        if (all_lanes_below(tol - select(below < above, below, above), 0.0)) [[likely]] return loc;
        const auto clear = (below > tol) & (above > tol);
        constexpr int kLanes = kLaneCount<L>;
        double times[kLanes], xi[kLanes], step[kLanes];
        std::int64_t is_clear[kLanes];
        std::uint64_t interval[kLanes];
        static_assert(sizeof clear == sizeof is_clear && sizeof loc.interval == sizeof interval);
        __builtin_memcpy(times, &t, sizeof times);
        __builtin_memcpy(xi, &loc.xi, sizeof xi);
        __builtin_memcpy(step, &loc.step, sizeof step);
        __builtin_memcpy(interval, &loc.interval, sizeof interval);
        __builtin_memcpy(is_clear, &clear, sizeof is_clear);
        locate_unclear_graded_lanes(mesh, times, is_clear, kLanes, interval, xi, step);
        __builtin_memcpy(&loc.xi, xi, sizeof xi);
        __builtin_memcpy(&loc.step, step, sizeof step);
        __builtin_memcpy(&loc.interval, interval, sizeof interval);
        return loc;
    }
}

}  // namespace tavik
