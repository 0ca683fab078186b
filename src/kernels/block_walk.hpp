// What every kernel shares: walking the times in blocks of lanes, locating
// a block, gathering coefficients and storing the real lanes. Included by
// the kernel templates (sum_kernels.hpp, basis_kernels.hpp), inside the
// anonymous namespace of each instruction set's translation unit.
#pragma once

// Vectors wider than the registers would be passed differently from one
// instruction set to the next; every function taking or returning one is
// inlined within its file, so no such call exists.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "formulas/graded_mesh.hpp"
#include "formulas/node_rule.hpp"
#include "formulas/uniform_mesh.hpp"
#include "kernels/kernels.hpp"
#include "kernels/simd_lanes.hpp"

namespace tavik {
namespace {


// The register-wide vector of a lane type (a pack's part; a vector itself).
template <class L>
using VectorOf = std::remove_cvref_t<decltype(pack_part(std::declval<L&>(), 0))>;

// base[c] per lane, by the processor's gather instruction where the
// instruction set has one.
template <class L>
[[gnu::always_inline]] inline L gather_coefficients(const double* base, const LaneIndex<L>& c) noexcept {
    if constexpr (kIsLanePack<L>) {
        L r;
        for (int k = 0; k < kPartsOf<L>; ++k) r.part[k] = gather_coefficients<VectorOf<L>>(base, c.part[k]);
        return r;
    }
#if defined(__AVX512F__)
    else if constexpr (kLaneCount<L> == 8) {
        return reinterpret_cast<L>(_mm512_i64gather_pd(reinterpret_cast<__m512i>(c), base, 8));
    }
#endif
#if defined(__AVX2__)
    else if constexpr (kLaneCount<L> == 4) {
        return reinterpret_cast<L>(_mm256_i64gather_pd(base, reinterpret_cast<__m256i>(c), 8));
    }
#endif
    else {
        return gather_lanes<L>(base, c);
    }
}

// Calls block.template operator()<B>(times, first, count) for consecutive
// blocks of t[0 .. n): B = L for whole blocks, then B = VectorOf<L> for the
// rest; `times` points at kLaneCount<B> times (the last block padded with
// copies of its first time), of which `count` are real, first the index of
// the block's first time.
template <class L, class Block>
[[gnu::always_inline]] inline void for_each_block(const double* t, std::size_t n, Block&& block) {
    constexpr std::size_t kBlock = kLaneCount<L>;
    std::size_t i = 0;
    for (; n - i >= kBlock; i += kBlock) block.template operator()<L>(t + i, i, kBlock);
    if (i == n) return;
    if constexpr (kIsLanePack<L>) {
        using Vector = VectorOf<L>;
        for_each_block<Vector>(t + i, n - i, [&]<class B>(const double* times, std::size_t first, std::size_t count)
                                                  __attribute__((always_inline)) {
                                                      block.template operator()<B>(times, i + first, count);
                                                  });
    } else {
        const std::size_t rest = n - i;
        double padded[kBlock];
        for (std::size_t l = 0; l < kBlock; ++l) padded[l] = t[i + (l < rest ? l : 0)];
        block.template operator()<L>(padded, i, rest);
    }
}

// How a batch locates its times: the plain location of the uniform mesh,
// the node rule on it, or a mesh given by its nodes.
enum class Locate { plain, node_rule, graded };

// Interval and local coordinate of each lane by the route. The mesh route
// (Narrow, uniform meshes only) and the location are template arguments, so
// that a block is straight-line code the processor can overlap with its
// neighbours.
template <class L, bool Narrow, Locate Route>
[[gnu::always_inline]] inline LaneLocation<L> locate_block(const NodeRule& rule, const GradedLocator& graded,
                                                           GradedMemo& memo, const double* t) noexcept {
    if constexpr (Route == Locate::graded) {
        const GradedLocation<L> loc = locate_graded_lanes<L>(
            graded, load_lanes<L>(t), memo,
            [](const double* base, const LaneIndex<L>& c) __attribute__((always_inline)) {
                return gather_coefficients<L>(base, c);
            });
        return {loc.interval, loc.xi};
    } else if constexpr (Route == Locate::node_rule) {
        return locate_lanes_by_node_rule(rule, Narrow, load_lanes<L>(t));
    } else {
        return locate_lanes(rule.h, rule.n_t, Narrow, load_lanes<L>(t));
    }
}

// Stores the first `count` lanes of v at out.
template <class L>
[[gnu::always_inline]] inline void store_first(double* out, const L& v, std::size_t count) noexcept {
    if (count == static_cast<std::size_t>(kLaneCount<L>)) {
        store_lanes(out, v);
    } else {
        double values[kLaneCount<L>];
        store_lanes(values, v);
        std::memcpy(out, values, count * sizeof(double));
    }
}

}  // namespace
}  // namespace tavik
