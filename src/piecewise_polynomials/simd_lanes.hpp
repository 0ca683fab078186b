// Lanes: the evaluation formulas are written once, as templates over a lane
// type L, and run either on one double (L = double, the single-time
// operations) or on several independent times at once (L = DoubleLanes<W>,
// a GCC vector of W doubles, the batch kernels).
//
// Conventions:
//  - Vector arithmetic acts lane by lane with exactly the IEEE operation of
//    the scalar code (the vector extensions never reassociate, and the build
//    forbids contraction into FMA), so every lane produces the bits the
//    scalar instantiation produces for its time.
//  - A scalar operand of a binary operation stands for itself in every lane.
//  - Comparisons give a Mask<L>: bool for double, all-ones/all-zeros integer
//    lanes for vectors; select() picks lane by lane.
//  - Everything here is always_inline. These templates are instantiated in
//    translation units compiled for different instruction sets; being inlined
//    at every call, no out-of-line copy of one set can stand in for another's.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

namespace tavik {

template <int W>
struct DoubleVector {
    typedef double type __attribute__((vector_size(W * sizeof(double))));
    typedef std::int64_t index __attribute__((vector_size(W * sizeof(std::int64_t))));
    typedef std::int32_t narrow_index __attribute__((vector_size(W * sizeof(std::int32_t))));
};

template <int W>
using DoubleLanes = typename DoubleVector<W>::type;

// double and the vectors above: the lane types the formulas accept (an int
// argument must not pick a lane template over a scalar overload).
template <class L, int W = 16>
inline constexpr bool kIsDoubleLane =
    std::is_same_v<L, double> || std::is_same_v<L, DoubleLanes<W>> || kIsDoubleLane<L, W / 2>;
template <class L>
inline constexpr bool kIsDoubleLane<L, 1> = std::is_same_v<L, double>;

template <class L>
concept DoubleLane = kIsDoubleLane<L>;

template <class L>
inline constexpr int kLaneCount = static_cast<int>(sizeof(L) / sizeof(double));

template <class L>
inline constexpr bool kScalarLane = std::is_same_v<L, double>;

// Interval indices of the lanes: one unsigned per lane (an int64 lane holds
// the bits of the unsigned value).
template <class L>
struct LaneTraits {
    using Index = typename DoubleVector<kLaneCount<L>>::index;
    using NarrowIndex = typename DoubleVector<kLaneCount<L>>::narrow_index;
    using Mask = Index;
};
template <>
struct LaneTraits<double> {
    using Index = std::uint64_t;
    using NarrowIndex = std::int32_t;
    using Mask = bool;
};

template <class L>
using LaneIndex = typename LaneTraits<L>::Index;

template <class L>
[[gnu::always_inline]] inline L broadcast(double x) noexcept {
    if constexpr (kScalarLane<L>) {
        return x;
    } else {
        L v;
        for (int l = 0; l < kLaneCount<L>; ++l) v[l] = x;
        return v;
    }
}

template <class L>
[[gnu::always_inline]] inline double lane(const L& x, int l) noexcept {
    if constexpr (kScalarLane<L>) {
        (void)l;
        return x;
    } else {
        return x[l];
    }
}

template <class L>
[[gnu::always_inline]] inline std::uint64_t index_lane(const LaneIndex<L>& c, int l) noexcept {
    if constexpr (kScalarLane<L>) {
        (void)l;
        return c;
    } else {
        return static_cast<std::uint64_t>(c[l]);
    }
}

template <class L, class M>
[[gnu::always_inline]] inline L select(M mask, L if_true, L if_false) noexcept {
    return mask ? if_true : if_false;
}

// |x| as std::fabs computes it: the sign bit cleared, nothing else.
template <class L>
[[gnu::always_inline]] inline L abs_lanes(L x) noexcept {
    if constexpr (kScalarLane<L>) {
        return __builtin_fabs(x);
    } else {
        using I = LaneIndex<L>;
        const I sign = I{} + static_cast<std::int64_t>(std::uint64_t{1} << 63);
        return reinterpret_cast<L>(reinterpret_cast<I>(x) & ~sign);
    }
}

template <class L>
[[gnu::always_inline]] inline L load_lanes(const double* p) noexcept {
    if constexpr (kScalarLane<L>) {
        return *p;
    } else {
        L v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
}

template <class L>
[[gnu::always_inline]] inline void store_lanes(double* p, const L& v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}

// base[c] per lane.
template <class L>
[[gnu::always_inline]] inline L gather_lanes(const double* base, const LaneIndex<L>& c) noexcept {
    if constexpr (kScalarLane<L>) {
        return base[c];
    } else {
        L v;
        for (int l = 0; l < kLaneCount<L>; ++l) v[l] = base[static_cast<std::uint64_t>(c[l])];
        return v;
    }
}

// x / d for a positive whole number d. When d is a power of two its
// reciprocal is exact and x * (1 / d) is the same real number as x / d,
// hence the same rounded result in every rounding mode; a multiplication
// costs a fraction of a division. With d known at compile time the test folds
// away.
template <class L>
[[gnu::always_inline]] inline L divide_by_count(L x, double d) noexcept {
    const bool power_of_two = (std::bit_cast<std::uint64_t>(d) & ((std::uint64_t{1} << 52) - 1)) == 0;
    return power_of_two ? x * (1.0 / d) : x / d;
}

}  // namespace tavik
