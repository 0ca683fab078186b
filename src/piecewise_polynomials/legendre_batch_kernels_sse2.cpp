// The batch kernels every x86-64 processor can run (SSE2), compiled with the
// baseline flags.
#include "piecewise_polynomials/legendre_batch_kernels_impl.hpp"

namespace tavik {

const BatchKernelTable& sse2_batch_kernels() noexcept { return batch_kernel_table<BatchLanes<BatchIsa::sse2>::type>(); }

}  // namespace tavik
