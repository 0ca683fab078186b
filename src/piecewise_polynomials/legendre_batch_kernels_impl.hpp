// The batch kernels as templates over the lane type, the degree and the
// operation. Included only by the legendre_batch_kernels_<set>.cpp files, each
// compiled for its own instruction set; the anonymous namespace keeps each
// file's instantiations to itself, so no copy built for one set is linked in
// place of another's.
//
// A kernel takes its times in blocks of as many times as the lane type has
// lanes (BatchLanes: several register-wide vectors, so each block runs
// several independent division chains side by side). Per lane it performs
// exactly the single-time operations (legendre_kernels.hpp); only scheduling
// differs: h, the matrix shape and the route through the mesh are settled
// once per batch, the coefficients are gathered by one instruction per vector
// where the set has one, and with a fixed degree the recurrence unrolls,
// turning divisions by j + 1 = 2, 4, 8 into exact multiplications.
#pragma once

// Vectors wider than the registers would be passed differently from one
// instruction set to the next; every function taking or returning one is
// inlined within its file, so no such call exists.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <cstddef>
#include <cstring>
#include <utility>

#include "fatal_error.hpp"
#include "messages.hpp"
#include "piecewise_polynomials/legendre_batch_kernels.hpp"
#include "piecewise_polynomials/legendre_kernels.hpp"
#include "piecewise_polynomials/simd_lanes.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"

namespace tavik {
namespace {

// base[c] per lane, by the processor's gather instruction where the
// instruction set has one.
template <class L>
[[gnu::always_inline]] inline L gather_coefficients(const double* base, const LaneIndex<L>& c) noexcept {
    if constexpr (kIsLanePack<L>) {
        L r;
        for (int k = 0; k < kPartsOf<L>; ++k) {
            r.part[k] = gather_coefficients<std::remove_reference_t<decltype(r.part[0])>>(base, c.part[k]);
        }
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

// The mesh route is a template argument, so that a block is straight-line
// code the processor can overlap with its neighbours; the row check, which
// only a matrix with fewer rows than intervals needs, is a branch taken the
// same way all batch long (a template argument would double the kernels to
// compile for no measurable gain).
template <class L, int D, bool Derivative, bool Narrow>
[[gnu::always_inline]] inline void evaluate_block(const BatchInput& in, const double* t, double* out) {
    const LaneLocation<L> loc = in.nodes != nullptr ? locate_lanes_by_node_rule(*in.nodes, Narrow, load_lanes<L>(t))
                                                    : locate_lanes(in.h, in.n_t, Narrow, load_lanes<L>(t));
    if (in.check_rows) {
        for (int l = 0; l < kLaneCount<L>; ++l) {
            const auto row = static_cast<std::uint64_t>(get_lane(loc.interval, l));
            if (row >= in.rows) fatal(messages::kRowOutOfBounds);
        }
    }
    const auto coefficient = [&](std::uint64_t k) {
        return gather_coefficients<L>(in.coeffs + k * in.rows, loc.interval);
    };
    if constexpr (Derivative) {
        store_lanes(out, legendre_time_derivative<D>(loc.xi, in.degree, in.h, coefficient));
    } else {
        store_lanes(out, legendre_sum<D>(loc.xi, in.degree, coefficient));
    }
}

// Whole blocks of L, then the rest in blocks of one register-wide vector,
// so that a short batch computes few more lanes than it has times. The last
// block is padded with copies of its first time (which is evaluated anyway,
// so the padding cannot fail where the real elements would not) and only the
// real results are kept.
template <class L, int D, bool Derivative, bool Narrow>
void evaluate_blocks(const BatchInput& in, const double* t, double* out, std::size_t n) {
    constexpr std::size_t kBlock = kLaneCount<L>;
    std::size_t i = 0;
    for (; n - i >= kBlock; i += kBlock) evaluate_block<L, D, Derivative, Narrow>(in, t + i, out + i);
    if (i == n) return;
    if constexpr (kIsLanePack<L>) {
        using Vector = std::remove_reference_t<decltype(L{}.part[0])>;
        evaluate_blocks<Vector, D, Derivative, Narrow>(in, t + i, out + i, n - i);
    } else {
        const std::size_t rest = n - i;
        double tail[kBlock];
        double values[kBlock];
        for (std::size_t l = 0; l < kBlock; ++l) tail[l] = t[i + (l < rest ? l : 0)];
        evaluate_block<L, D, Derivative, Narrow>(in, tail, values);
        std::memcpy(out + i, values, rest * sizeof(double));
    }
}

template <class L, int D, bool Derivative>
void batch_kernel(const BatchInput& in, const double* t, double* out, std::size_t n) {
    if (in.narrow_mesh) {
        evaluate_blocks<L, D, Derivative, true>(in, t, out, n);
    } else {
        evaluate_blocks<L, D, Derivative, false>(in, t, out, n);
    }
}

template <class L, std::size_t... Degree>
constexpr BatchKernelTable make_batch_kernel_table(std::index_sequence<Degree...>) {
    return {{&batch_kernel<L, static_cast<int>(Degree), false>..., &batch_kernel<L, kAnyDegree, false>},
            {&batch_kernel<L, static_cast<int>(Degree), true>..., &batch_kernel<L, kAnyDegree, true>}};
}

template <class L>
const BatchKernelTable& batch_kernel_table() noexcept {
    static constexpr BatchKernelTable table =
        make_batch_kernel_table<L>(std::make_index_sequence<kLargestUnrolledDegree + 1>{});
    return table;
}

}  // namespace
}  // namespace tavik
