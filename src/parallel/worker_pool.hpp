// The process-wide worker pool behind the batch evaluations.
//
// The pool lives once per process, in the runtime library
// (parallel/runtime/runtime.h) that every module linking the core shares:
// a process using both Python modules has one pool. This header is the
// core's C++ face of it; chunk bodies and their exceptions stay on this
// side of the runtime's C interface.
//
// The pool is a set of persistent worker threads, created by the first batch
// that reaches the parallel threshold and kept until the process ends. A
// batch runs on the workers and on the calling thread, which takes chunks
// while it waits: available_processors() threads in all
// (runtime/processor_count.hpp: affinity mask, cgroup quota,
// OMP_NUM_THREADS / OMP_THREAD_LIMIT).
//
// Failure never degrades a batch beyond running it on fewer threads: if the
// pool or a worker cannot be created (no memory, no address space,
// RLIMIT_NPROC), the batch runs on the threads that exist, down to the
// caller alone, with the same results; each later batch tries again to start
// the missing workers. Nothing here blocks on a lock that a failing
// allocation could leave held.
//
// A process made by fork() inherits the pool's memory but none of its
// threads, and possibly a lock held by a thread that no longer exists; it
// recognises this by its process id, leaves the inherited pool untouched
// and builds its own on its first large batch.
//
// Every chunk runs in the floating-point environment (rounding mode,
// flush-to-zero) of the thread that handed in the batch, so results do not
// depend on which thread computed them.
//
// Workers neither allocate nor depend on allocating once they take work: a
// batch that needs working memory asks for it per thread, and the calling
// thread allocates all of it before any chunk starts (a failure is then an
// ordinary std::bad_alloc on the caller); and before a worker takes a
// module's first chunk it readies that module's C++ runtime for exceptions
// (each portable module carries its own copy, with its own per-thread
// data), so that a chunk that throws does not first need thread-local data
// (glibc ends the process when it cannot allocate a thread's thread-local
// data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>

#include "parallel/runtime/runtime.h"

namespace tavik {

// Non-owning reference to a callable body(begin, end) or body(begin, end,
// scratch) that processes the elements [begin, end) of a batch; `scratch` is
// the working memory of the thread running the chunk (the batch's
// scratch-per-thread doubles, contents unspecified, exclusive to that thread
// while the chunk runs). The callable must outlive the reference; passing a
// lambda straight into parallel_map satisfies that.
class ChunkBody {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, ChunkBody>)
    ChunkBody(F&& f) noexcept  // NOLINT: implicit by design, like std::function_ref
        : object_(static_cast<const void*>(std::addressof(f))),
          call_([](const void* object, std::size_t begin, std::size_t end, std::span<double> scratch) {
              auto& body = *static_cast<std::remove_reference_t<F>*>(const_cast<void*>(object));
              if constexpr (std::is_invocable_v<decltype(body), std::size_t, std::size_t, std::span<double>>) {
                  body(begin, end, scratch);
              } else {
                  body(begin, end);
              }
          }) {}

    void operator()(std::size_t begin, std::size_t end, std::span<double> scratch) const {
        call_(object_, begin, end, scratch);
    }

private:
    const void* object_;
    void (*call_)(const void*, std::size_t, std::size_t, std::span<double>);
};

// A batch handed to the pool: body over disjoint chunks covering [0, n),
// each chunk in increasing index order, of at least `min_chunk` elements
// (0: the pool's minimum for cheap elements; 1 lets every element of a
// batch of a few costly ones run on a thread of its own). The constructor allocates
// `scratch_per_thread` doubles for every thread that may run chunks (one
// block per thread, the caller's included; std::bad_alloc, or a fatal
// kCapacityOverflow for a size no allocation can have, before any chunk
// starts), then returns at once; the
// workers start on the chunks while the caller does something else. wait()
// makes the calling thread take the chunks no worker has taken yet, blocks
// until every chunk has finished, and rethrows the exception of the first
// failing chunk in index order (the error the element-by-element loop would
// meet first); chunks after a failing one that have not started are skipped.
// A batch destroyed without wait() drops the chunks not yet started and
// waits for the running ones, discarding any error. Not movable: the pool
// refers to it while it runs.
class PoolBatch {
public:
    PoolBatch(std::size_t n, ChunkBody body, std::size_t scratch_per_thread = 0, std::size_t min_chunk = 0);
    ~PoolBatch();
    PoolBatch(const PoolBatch&) = delete;
    PoolBatch& operator=(const PoolBatch&) = delete;

    void wait();

private:
    // The chunk body and the error of the first failing chunk: kept on this
    // side, since the runtime may belong to another copy of the C++ runtime.
    struct Context {
        explicit Context(ChunkBody b) noexcept : body(b) {}
        ChunkBody body;
        std::size_t scratch_size = 0;
        std::mutex mutex;                   // guards the two below
        std::size_t failed_begin = SIZE_MAX;  // first element of the first failing chunk
        std::exception_ptr error;
    };
    static int run_chunk(void* context, std::size_t begin, std::size_t end, double* scratch) noexcept;

    Context context_;
    std::unique_ptr<double[]> scratch_;
    tavik_runtime_batch batch_;
};

// Calls body on disjoint chunks covering [0, n), each chunk in increasing
// index order, with `scratch_per_thread` doubles of working memory for the
// thread running it, all allocated on the calling thread before the first
// chunk (nothing for n = 0). Below `threshold` the whole range runs on the
// calling thread and the pool is neither created nor touched. From
// `threshold` on, the chunks run as a PoolBatch that the caller waits for at
// once; an exception is rethrown as PoolBatch::wait does.
void parallel_map(std::size_t n, std::size_t threshold, std::size_t scratch_per_thread, ChunkBody body);
inline void parallel_map(std::size_t n, std::size_t threshold, ChunkBody body) {
    parallel_map(n, threshold, 0, body);
}

// Whether this process has created its pool (a forked child reports false
// for the pool it inherited, until it creates its own).
bool worker_pool_created() noexcept;

// Number of threads, the caller included, that a batch may run on:
// available_processors() when the pool was created; 0 before it exists.
std::size_t worker_pool_concurrency() noexcept;

// Worker threads running now (the caller not counted); 0 before the pool exists.
std::size_t worker_pool_threads() noexcept;

// Hooks for tests and benchmarks.
namespace worker_pool_internals {

// Caps the threads, the caller included, that batches handed in while it
// lives may use (at least 1: the caller alone); restores the previous cap
// when it ends. Process-wide (every module's batches); not meant to be
// nested across threads.
class ScopedThreadCap {
public:
    explicit ScopedThreadCap(std::size_t threads) noexcept;
    ~ScopedThreadCap();
    ScopedThreadCap(const ScopedThreadCap&) = delete;
    ScopedThreadCap& operator=(const ScopedThreadCap&) = delete;

private:
    std::size_t previous_;
};

// Whether this process is a fork() child of the one that loaded the runtime.
bool forked_since_load() noexcept;

}  // namespace worker_pool_internals

}  // namespace tavik
