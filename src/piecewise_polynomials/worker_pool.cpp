#include "piecewise_polynomials/worker_pool.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace tavik {

void parallel_map(std::size_t n, std::size_t threshold,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    if (n < threshold) {
        if (n > 0) body(0, n);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                      [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
}

}  // namespace tavik
