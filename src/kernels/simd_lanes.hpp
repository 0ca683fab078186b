// Lanes: the evaluation formulas are written once, as templates over a lane
// type L, and run either on one double (L = double, the single-time
// operations) or on several independent times at once (the batch kernels):
//  - DoubleLanes<W>, a GCC vector of W doubles, as wide as a register;
//  - LanePack<DoubleLanes<W>, K>, K such vectors side by side, so that the
//    processor overlaps the division chains of K groups of times. (GCC splits
//    arithmetic on a vector wider than the registers into registers, but
//    lowers comparisons and ?: on it lane by lane; a pack keeps every
//    operation at register width.)
//
// Conventions:
//  - Vector arithmetic acts lane by lane with exactly the IEEE operation of
//    the scalar code (the vector extensions never reassociate, and the build
//    forbids contraction into FMA), so every lane produces the bits the
//    scalar instantiation produces for its time.
//  - A scalar operand of a binary operation stands for itself in every lane.
//  - Comparisons give masks: bool for double, all-ones/all-zeros integer
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

template <class V, int K>
struct LanePack {
    V part[K];
};

template <class L>
inline constexpr bool kIsLanePack = false;
template <class V, int K>
inline constexpr bool kIsLanePack<LanePack<V, K>> = true;

// Number of parts: K for a pack, 1 for anything else.
template <class L>
inline constexpr int kPartsOf = 1;
template <class V, int K>
inline constexpr int kPartsOf<LanePack<V, K>> = K;

template <class L>
inline constexpr bool kScalarLane = std::is_same_v<L, double>;

// double, the register vectors and their packs: the lane types the formulas
// accept (an int argument must not pick a lane template over a scalar
// overload).
template <class L, int W = 8>
inline constexpr bool kIsDoubleLane =
    std::is_same_v<L, double> || std::is_same_v<L, DoubleLanes<W>> || kIsDoubleLane<L, W / 2>;
template <class L>
inline constexpr bool kIsDoubleLane<L, 1> = std::is_same_v<L, double>;
template <class V, int K, int W>
inline constexpr bool kIsDoubleLane<LanePack<V, K>, W> = kIsDoubleLane<V>;

template <class L>
concept DoubleLane = kIsDoubleLane<L>;

template <class L>
inline constexpr int kLaneCount = static_cast<int>(sizeof(L) / sizeof(double));

// Interval indices (one unsigned per lane; an int64 lane holds the bits of
// the unsigned value) and their 32-bit form.
template <class L>
struct LaneTraits {
    using Index = typename DoubleVector<kLaneCount<L>>::index;
    using NarrowIndex = typename DoubleVector<kLaneCount<L>>::narrow_index;
};
template <>
struct LaneTraits<double> {
    using Index = std::uint64_t;
    using NarrowIndex = std::int32_t;
};
template <class V, int K>
struct LaneTraits<LanePack<V, K>> {
    using Index = LanePack<typename LaneTraits<V>::Index, K>;
    using NarrowIndex = LanePack<typename LaneTraits<V>::NarrowIndex, K>;
};

template <class L>
using LaneIndex = typename LaneTraits<L>::Index;

// ---------------------------------------------------------------- packs

// Part k of a pack; a scalar is its own every part.
template <class X>
[[gnu::always_inline]] inline decltype(auto) pack_part(X& x, int k) noexcept {
    if constexpr (kIsLanePack<std::remove_const_t<X>>) {
        return (x.part[k]);
    } else {
        (void)k;
        return (x);
    }
}

// Arithmetic, comparisons and bit operations of packs, part by part.
#define TAVIK_LANE_PACK_OPERATOR(op)                                                         \
    template <class A, class B>                                                              \
        requires(kIsLanePack<A> || kIsLanePack<B>)                                           \
    [[gnu::always_inline]] inline auto operator op(const A& a, const B& b) noexcept {        \
        constexpr int kParts = kPartsOf<A> > kPartsOf<B> ? kPartsOf<A> : kPartsOf<B>;          \
        LanePack<decltype(pack_part(a, 0) op pack_part(b, 0)), kParts> r;                    \
        for (int k = 0; k < kParts; ++k) r.part[k] = pack_part(a, k) op pack_part(b, k);     \
        return r;                                                                            \
    }
TAVIK_LANE_PACK_OPERATOR(+)
TAVIK_LANE_PACK_OPERATOR(-)
TAVIK_LANE_PACK_OPERATOR(*)
TAVIK_LANE_PACK_OPERATOR(/)
TAVIK_LANE_PACK_OPERATOR(<)
TAVIK_LANE_PACK_OPERATOR(>)
TAVIK_LANE_PACK_OPERATOR(>=)
TAVIK_LANE_PACK_OPERATOR(&)
#undef TAVIK_LANE_PACK_OPERATOR

// ---------------------------------------------------------------- lane operations

template <class L>
[[gnu::always_inline]] inline L broadcast(double x) noexcept {
    if constexpr (kScalarLane<L>) {
        return x;
    } else if constexpr (kIsLanePack<L>) {
        L v;
        for (auto& p : v.part) p = broadcast<std::remove_reference_t<decltype(p)>>(x);
        return v;
    } else {
        L v;
        for (int l = 0; l < kLaneCount<L>; ++l) v[l] = x;
        return v;
    }
}

// Lane l of a vector, a pack or an index (read and write).
template <class X>
[[gnu::always_inline]] inline auto get_lane(const X& x, int l) noexcept {
    if constexpr (kIsLanePack<X>) {
        constexpr int kWidth = sizeof(x.part[0]) / sizeof(x.part[0][0]);
        return x.part[l / kWidth][l % kWidth];
    } else if constexpr (std::is_arithmetic_v<X>) {
        (void)l;
        return x;
    } else {
        return x[l];
    }
}
template <class X, class T>
[[gnu::always_inline]] inline void set_lane(X& x, int l, T value) noexcept {
    if constexpr (kIsLanePack<X>) {
        constexpr int kWidth = sizeof(x.part[0]) / sizeof(x.part[0][0]);
        x.part[l / kWidth][l % kWidth] = value;
    } else if constexpr (std::is_arithmetic_v<X>) {
        (void)l;
        x = static_cast<X>(value);
    } else {
        x[l] = value;
    }
}

// The same lanes converted to element type To's lanes (C conversion rules:
// truncation from double to integer), for scalars, vectors and packs.
template <class To, class From>
[[gnu::always_inline]] inline To convert_lanes(const From& x) noexcept {
    if constexpr (kIsLanePack<From>) {
        To r;
        for (int k = 0; k < kPartsOf<From>; ++k) {
            r.part[k] = convert_lanes<std::remove_reference_t<decltype(r.part[0])>>(x.part[k]);
        }
        return r;
    } else if constexpr (std::is_arithmetic_v<From>) {
        return static_cast<To>(x);
    } else {
        return __builtin_convertvector(x, To);
    }
}

template <class L, class M>
[[gnu::always_inline]] inline L select(const M& mask, const L& if_true, const L& if_false) noexcept {
    if constexpr (kIsLanePack<L>) {
        L r;
        for (int k = 0; k < kPartsOf<L>; ++k) {
            r.part[k] = select(mask.part[k], if_true.part[k], if_false.part[k]);
        }
        return r;
    } else {
        return mask ? if_true : if_false;
    }
}

// |x| as std::fabs computes it: the sign bit cleared, nothing else.
template <class L>
[[gnu::always_inline]] inline L abs_lanes(const L& x) noexcept {
    if constexpr (kScalarLane<L>) {
        return __builtin_fabs(x);
    } else if constexpr (kIsLanePack<L>) {
        L r;
        for (int k = 0; k < kPartsOf<L>; ++k) r.part[k] = abs_lanes(x.part[k]);
        return r;
    } else {
        using I = LaneIndex<L>;
        const I sign = I{} + static_cast<std::int64_t>(std::uint64_t{1} << 63);
        return reinterpret_cast<L>(reinterpret_cast<I>(x) & ~sign);
    }
}

template <class L>
[[gnu::always_inline]] inline L load_lanes(const double* p) noexcept {
    L v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
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
        for (int l = 0; l < kLaneCount<L>; ++l) set_lane(v, l, base[static_cast<std::uint64_t>(get_lane(c, l))]);
        return v;
    }
}

// x / d for a positive whole number d. When d is a power of two its
// reciprocal is exact and x * (1 / d) is the same real number as x / d,
// hence the same rounded result in every rounding mode; a multiplication
// costs a fraction of a division. With d known at compile time the test folds
// away.
template <class L>
[[gnu::always_inline]] inline L divide_by_count(const L& x, double d) noexcept {
    const bool power_of_two = (std::bit_cast<std::uint64_t>(d) & ((std::uint64_t{1} << 52) - 1)) == 0;
    return power_of_two ? x * (1.0 / d) : x / d;
}

}  // namespace tavik
