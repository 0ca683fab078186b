// The batch kernels for processors with AVX-512F; CMakeLists.txt compiles this file
// with -mavx512f, and only processors reporting avx512f at run time call it.
#include "piecewise_polynomials/legendre_batch_kernels_impl.hpp"

#if !defined(__AVX512F__)
#error "compile this file with -mavx512f"
#endif

namespace tavik {

const BatchKernelTable& avx512f_batch_kernels() noexcept { return batch_kernel_table<BatchLanes<BatchIsa::avx512f>::type>(); }

}  // namespace tavik
