#include "piecewise_polynomials/legendre_batch_kernels.hpp"

#include <atomic>

#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

namespace {

// __builtin_cpu_supports also checks that the operating system saves the
// wider registers on a context switch.
bool processor_supports(BatchIsa isa) noexcept {
    __builtin_cpu_init();
    switch (isa) {
        case BatchIsa::sse2:
            return true;
        case BatchIsa::avx2:
            return __builtin_cpu_supports("avx2");
        case BatchIsa::avx512f:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

const BatchKernelTable& table_of(BatchIsa isa) noexcept {
    switch (isa) {
        case BatchIsa::avx2:
            return avx2_batch_kernels();
        case BatchIsa::avx512f:
            return avx512f_batch_kernels();
        case BatchIsa::sse2:
            break;
    }
    return sse2_batch_kernels();
}

BatchIsa best_isa() noexcept {
    if (processor_supports(BatchIsa::avx512f)) return BatchIsa::avx512f;
    if (processor_supports(BatchIsa::avx2)) return BatchIsa::avx2;
    return BatchIsa::sse2;
}

// Decided once, at the first batch.
BatchIsa processor_isa() noexcept {
    static const BatchIsa isa = best_isa();
    return isa;
}

// -1: none forced; otherwise the forced BatchIsa.
std::atomic<int> forced_isa{-1};

}  // namespace

BatchKernelFn select_batch_kernel(std::uint64_t degree, bool derivative) noexcept {
    const BatchKernelTable& table = table_of(active_isa());
    const std::uint64_t slot = degree <= kLargestUnrolledDegree ? degree : kLargestUnrolledDegree + 1;
    return derivative ? table.derivative[slot] : table.value[slot];
}

BatchIsa active_isa() noexcept {
    const int forced = forced_isa.load(std::memory_order_relaxed);
    return forced < 0 ? processor_isa() : static_cast<BatchIsa>(forced);
}

namespace batch_kernel_internals {

std::vector<BatchIsa> supported_isas() {
    std::vector<BatchIsa> isas;
    for (BatchIsa isa : {BatchIsa::sse2, BatchIsa::avx2, BatchIsa::avx512f}) {
        if (processor_supports(isa)) isas.push_back(isa);
    }
    return isas;
}

void force_batch_isa(std::optional<BatchIsa> isa) {
    if (isa && !processor_supports(*isa)) fatal(messages::kForcedIsaUnsupported);
    forced_isa.store(isa ? static_cast<int>(*isa) : -1, std::memory_order_relaxed);
}

}  // namespace batch_kernel_internals

}  // namespace tavik
