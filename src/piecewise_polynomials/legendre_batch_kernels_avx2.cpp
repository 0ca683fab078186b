// The batch kernels for processors with AVX2; CMakeLists.txt compiles this file
// with -mavx2, and only processors reporting avx2 at run time call it.
#include "piecewise_polynomials/legendre_batch_kernels_impl.hpp"

#if !defined(__AVX2__)
#error "compile this file with -mavx2"
#endif

namespace tavik {

const BatchKernelTable& avx2_batch_kernels() noexcept { return batch_kernel_table<BatchLanes<BatchIsa::avx2>::type>(); }

}  // namespace tavik
