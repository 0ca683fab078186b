// The kernels as templates over the lane type, the degree and the route.
// Included only by kernel_set.cpp, which the build compiles once per
// instruction set; the anonymous namespace keeps each set's instantiations
// to its own object, so no copy built for one set is linked in place of
// another's.
//
// Every kernel walks its times in blocks (for_each_block): as many times as
// the lane type has lanes (a pack of several register-wide vectors, so each
// block runs several independent division chains side by side), then the
// rest one vector at a time, the last block padded with copies of its first
// time (a time evaluated anyway, so padding cannot fail where the real times
// do not; only real lanes are kept). Per block it locates the times
// (locate_block) and walks the Legendre recurrence of formulas/; only what
// it does with each lane's values differs:
//  - one-component sums (batch_kernel): the sum over k with the coefficient
//    gathered per lane, exactly legendre_sum / legendre_time_derivative;
//  - fields (field_chunk): the basis values of the block kept, then each
//    time's components summed in registers;
//  - basis rows (rows_chunk): the basis values and their columns stored.
#pragma once

#include <cstddef>
#include <utility>

#include "kernels/basis_kernels.hpp"
#include "kernels/kernels.hpp"
#include "kernels/sum_kernels.hpp"

namespace tavik {
namespace {

// Four register-wide vectors per block: enough independent division chains
// to keep the divider busy (measured: one or two leave it idle part of the
// time).
template <int kLanes>
using BlockLanes = LanePack<DoubleLanes<kLanes>, 4>;

template <class L, std::size_t... Degree>
constexpr KernelTable make_kernel_table(std::index_sequence<Degree...>) {
    return {{&batch_kernel<L, static_cast<int>(Degree), false>..., &batch_kernel<L, kAnyDegree, false>},
            {&batch_kernel<L, static_cast<int>(Degree), true>..., &batch_kernel<L, kAnyDegree, true>},
            &field_chunk<L>,
            &rows_chunk<L, std::int32_t>,
            &rows_chunk<L, std::int64_t>,
            kLaneCount<L>};
}

template <int kLanes>
const KernelTable& kernel_table() noexcept {
    static constexpr KernelTable table =
        make_kernel_table<BlockLanes<kLanes>>(std::make_index_sequence<kLargestUnrolledDegree + 1>{});
    return table;
}

}  // namespace
}  // namespace tavik
