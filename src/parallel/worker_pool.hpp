// The process-wide worker pool behind the batch evaluations.
//
// The pool is a set of persistent worker threads, created by the first batch
// that reaches the parallel threshold and kept until the process ends. A
// batch runs on the workers and on the calling thread, which takes chunks
// while it waits: available_processors() threads in all (processor_count.hpp:
// affinity mask, cgroup quota, OMP_NUM_THREADS / OMP_THREAD_LIMIT).
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
// ordinary std::bad_alloc on the caller); and a worker readies the C++
// runtime's per-thread data for exceptions when it starts, so that a chunk
// that throws does not first need thread-local data (glibc ends the process
// when it cannot allocate a thread's thread-local data).
#pragma once

#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

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
// each chunk in increasing index order. The constructor allocates
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
    PoolBatch(std::size_t n, ChunkBody body, std::size_t scratch_per_thread = 0);
    ~PoolBatch();
    PoolBatch(const PoolBatch&) = delete;
    PoolBatch& operator=(const PoolBatch&) = delete;

    void wait();

    // Shared with the threads that run the chunks; every field but the
    // constant ones is guarded by the pool's mutex.
    struct State {
        ChunkBody body;
        std::size_t n;
        std::size_t chunks = 1;
        std::size_t next = 0;          // next chunk to hand out
        std::size_t finished = 0;      // chunks run or skipped
        std::size_t helpers = 0;       // workers taking chunks now
        std::size_t joined = 0;        // workers that have taken part; each gets its own scratch
        std::size_t max_helpers = 0;   // workers allowed besides the caller
        double* scratch = nullptr;     // max_helpers + 1 blocks of scratch_stride doubles:
        std::size_t scratch_size = 0;  // the caller's first, then one per joining worker
        std::size_t scratch_stride = 0;
        std::size_t failed;            // first failing chunk, or SIZE_MAX
        std::exception_ptr error;      // its exception
        std::fenv_t env;               // the caller's floating-point environment
        State* queue_next = nullptr;   // the pool's queue of batches with chunks left
        bool queued = false;
        void* pool = nullptr;          // nullptr: the caller runs everything
        std::condition_variable done;  // finished == chunks and helpers == 0
        std::atomic<bool> settled{false};  // the same, set by the worker that completes it

        State(std::size_t n_, ChunkBody body_) noexcept : body(body_), n(n_), failed(SIZE_MAX) {}
        bool complete() const noexcept { return finished == chunks && helpers == 0; }
        std::size_t begin(std::size_t chunk) const noexcept {
            const std::size_t base = n / chunks, extra = n % chunks;
            return chunk * base + (chunk < extra ? chunk : extra);
        }
        // Slot 0 is the caller's, slot i the i-th worker to join.
        std::span<double> scratch_of(std::size_t slot) const noexcept {
            return {scratch + slot * scratch_stride, scratch_size};
        }
    };

private:
    State state_;
    std::unique_ptr<double[]> scratch_;
    bool waited_ = false;
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
// when it ends. Process-wide; not meant to be nested across threads.
class ScopedThreadCap {
public:
    explicit ScopedThreadCap(std::size_t threads) noexcept;
    ~ScopedThreadCap();
    ScopedThreadCap(const ScopedThreadCap&) = delete;
    ScopedThreadCap& operator=(const ScopedThreadCap&) = delete;

private:
    std::size_t previous_;
};

// Whether this process is a fork() child of the one that loaded this code.
bool forked_since_load() noexcept;

}  // namespace worker_pool_internals

}  // namespace tavik
