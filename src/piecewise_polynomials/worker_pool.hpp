// The process-wide worker pool behind the batch evaluations.
#pragma once

#include <cstddef>
#include <functional>

namespace tavik {

// Calls body(begin, end) on disjoint chunks covering [0, n), each chunk in
// increasing index order. Below `threshold` the whole range runs on the
// calling thread and the pool is never touched (nor created); otherwise the
// chunks run on the pool and the caller blocks until all are done. The first
// exception thrown by a chunk is rethrown on the calling thread after the
// batch has finished.
void parallel_map(std::size_t n, std::size_t threshold,
                  const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace tavik
