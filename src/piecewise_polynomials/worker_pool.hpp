// The process-wide worker pool behind the batch evaluations.
//
// The pool is a oneTBB task arena created by the first batch that reaches
// the parallel threshold and kept until the process ends. Its concurrency is
// the number of processors the process may use: the CPUs of its affinity
// mask, capped by the cgroup CPU quota (rounded up), and at least one.
//
// A process made by fork() from one that has loaded this code never enters
// oneTBB (its worker threads do not survive fork, and its internal locks may
// have been held by a thread that no longer exists); such a process runs each
// parallel batch on a short-lived team of threads instead, one contiguous
// slice per thread.
//
// Batches inherit the floating-point environment (rounding mode, flush-to-zero)
// of the thread that calls parallel_map, so results do not depend on which
// thread computed them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace tavik {

// Non-owning reference to a callable body(begin, end) that processes the
// elements [begin, end) of a batch. The callable must outlive the reference;
// passing a lambda straight into parallel_map satisfies that.
class ChunkBody {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, ChunkBody>)
    ChunkBody(F&& f) noexcept  // NOLINT: implicit by design, like std::function_ref
        : object_(static_cast<const void*>(std::addressof(f))),
          call_([](const void* object, std::size_t begin, std::size_t end) {
              (*static_cast<std::remove_reference_t<F>*>(const_cast<void*>(object)))(begin, end);
          }) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    const void* object_;
    void (*call_)(const void*, std::size_t, std::size_t);
};

// Calls body(begin, end) on disjoint chunks covering [0, n), each chunk in
// increasing index order. Below `threshold` the whole range runs on the
// calling thread (nothing at all for n = 0) and the pool is neither created
// nor touched. From `threshold` on, the chunks run on the pool (the calling
// thread may take a share while it waits) and parallel_map returns once every
// chunk has finished. An exception thrown by a chunk cancels the chunks not
// yet started and is rethrown on the calling thread, as the same exception
// object type, after the others have stopped.
void parallel_map(std::size_t n, std::size_t threshold, ChunkBody body);

// Whether this process has created its pool (a forked child reports false
// for the pool it inherited and never uses).
bool worker_pool_created() noexcept;

// Maximum number of threads, the caller included, that the pool runs a batch
// on; 0 before the pool exists.
std::size_t worker_pool_concurrency() noexcept;

// Processors available to this process, as the pool counts them (>= 1).
std::size_t available_processors();

// Building blocks, exposed so that tests can drive them directly.
namespace worker_pool_internals {

// CPUs in the calling thread's affinity mask; 0 if it cannot be read.
std::size_t affinity_cpu_count() noexcept;

// CPU limit (quota / period) of the cgroup this process belongs to, the
// smallest along its path up to the hierarchy root, from cgroup v2 cpu.max
// or cgroup v1 cpu.cfs_quota_us / cpu.cfs_period_us. Files are read below
// `fs_root` ("" for the real file system: /proc/self/cgroup,
// /proc/self/mountinfo and the cgroup mounts listed there).
// nullopt when no quota is set or nothing can be read.
std::optional<double> cgroup_cpu_limit(const std::string& fs_root);

// min(affinity, ceil(cpu_limit)), at least 1; an affinity of 0 (unknown)
// falls back to the hardware thread count.
std::size_t processors_from(std::size_t affinity, std::optional<double> cpu_limit) noexcept;

// Runs body over [0, n) on `threads` threads (the caller and threads - 1
// new ones), thread w taking the w-th of `threads` contiguous slices of
// nearly equal size. If a thread cannot be started, the caller runs its
// slice. The first exception in slice order is rethrown after all have
// finished. This is the pool's stand-in in forked children.
void map_on_thread_team(std::size_t n, std::size_t threads, ChunkBody body);

// Whether this process is a fork() child of the one that loaded this code.
bool forked_since_load() noexcept;

}  // namespace worker_pool_internals

}  // namespace tavik
