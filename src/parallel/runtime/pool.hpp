// The worker pool's internals, shared by the runtime's sources: the pool,
// a batch's state, and what the C interface (batch.cpp) needs of the
// workers (pool.cpp).
#pragma once

#include <sched.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "parallel/runtime/runtime.h"

namespace tavik::runtime {

struct Pool;

// A batch's state, in the caller's tavik_runtime_batch. Every field but the
// constant ones is guarded by the pool's mutex.
struct Batch {
    std::size_t n;
    tavik_runtime_chunk chunk = nullptr;
    void* context = nullptr;
    tavik_runtime_thread_setup setup = nullptr;
    std::size_t chunks = 1;
    std::size_t next = 0;         // next chunk to hand out
    std::size_t finished = 0;     // chunks run or skipped
    std::size_t helpers = 0;      // workers taking chunks now
    std::size_t joined = 0;       // workers that have taken part; each gets its own scratch
    std::size_t max_helpers = 0;  // workers allowed besides the caller
    double* scratch = nullptr;    // max_helpers + 1 blocks, `stride` doubles apart:
    std::size_t stride = 0;       // the caller's first, then one per joining worker
    std::size_t failed = SIZE_MAX;  // first failing chunk
    std::fenv_t env;              // the opening thread's floating-point environment
    Batch* queue_next = nullptr;  // the pool's queue of batches with chunks left
    bool queued = false;
    bool started = false;
    bool waited = false;
    Pool* pool = nullptr;  // nullptr: the caller runs everything
    std::condition_variable done;      // finished == chunks and helpers == 0
    std::atomic<bool> settled{false};  // the same, set by the worker that completes it

    explicit Batch(std::size_t n_) noexcept : n(n_) {}
    bool complete() const noexcept { return finished == chunks && helpers == 0; }
    std::size_t begin(std::size_t c) const noexcept {
        const std::size_t base = n / chunks, extra = n % chunks;
        return c * base + (c < extra ? c : extra);
    }
    // Slot 0 is the caller's, slot i the i-th worker to join.
    double* scratch_of(std::size_t slot) const noexcept { return scratch != nullptr ? scratch + slot * stride : nullptr; }
};

static_assert(sizeof(Batch) <= sizeof(tavik_runtime_batch::opaque));
static_assert(alignof(Batch) <= alignof(tavik_runtime_batch));


// One pool per process. A fork() child finds its parent's pool by pid and
// leaves it alone: its mutex may be held by a thread that does not exist in
// the child. The abandoned pool stays reachable through `inherited`, so leak
// checkers do not report it.
struct Pool {
    const pid_t pid;
    const std::size_t concurrency;  // threads per batch, the caller included
    Pool* const inherited;
    std::mutex mutex;
    std::condition_variable work;  // workers wait here for a batch with chunks left
    Batch* head = nullptr;         // FIFO of batches with chunks left
    Batch* tail = nullptr;
    std::size_t sleepers = 0;                 // workers waiting on `work`
    std::atomic<std::uint64_t> handed_in{0};  // batches enqueued so far
    std::atomic<std::size_t> workers{0};

    Pool(pid_t p, std::size_t c, Pool* i) : pid(p), concurrency(c), inherited(i) {}
};

// Chunks per thread of a batch: enough that a thread arriving late (the
// caller busy elsewhere, a worker woken late on a loaded machine) still
// finds work and nobody waits long for a chunk another thread took, few
// enough that handing them out (a lock round trip, about 0.1 us) costs
// little next to computing them (a few microseconds at least).
constexpr std::size_t kChunksPerThread = 16;
// Smallest chunk worth handing to another thread.
constexpr std::size_t kMinChunk = 512;
// Before sleeping, a worker out of work watches for the next batch and a
// caller watches its last chunks finish, for about as long as a sleep and
// wake-up round trip costs on a busy machine: back-to-back batches then
// pay neither.
constexpr std::int64_t kSpinNanoseconds = 50'000;

inline std::int64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// Whether `ready()` became true within the spin budget, polling politely:
// the processor is offered to other runnable threads between rounds, so a
// loaded machine loses little to the wait.
template <class Ready>
bool spin_until(Ready ready) noexcept {
    const std::int64_t start = now_ns();
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        if (i % 32 == 0) {
            if (now_ns() - start > kSpinNanoseconds) return false;
            sched_yield();
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

// Caps the threads of batches opened from now on (tests, benchmarks).
extern std::atomic<std::size_t> g_thread_cap;

// This process's pool, or nullptr (none yet, or only the parent's after fork()).
Pool* current_pool() noexcept;

// This process's pool, created on first use; nullptr if it cannot be created
// now (the caller then runs the batch alone, and the next batch tries again).
Pool* pool_for_batch() noexcept;

// Makes the workers run `setup` before they take chunks of its module.
void register_setup(tavik_runtime_thread_setup setup) noexcept;

void enqueue(Pool& pool, Batch& batch) noexcept;
void dequeue(Pool& pool, Batch& batch) noexcept;

// Runs chunks of `batch` until none is left to hand out, with the scratch
// of `slot`. Called with the pool's mutex held through `lock`; releases it
// around each chunk.
void run_chunks(Pool& pool, std::unique_lock<std::mutex>& lock, Batch& batch, std::size_t slot) noexcept;

// Starts the workers the pool lacks (it keeps one thread's share for the
// caller), each counted once it is ready to take work. A worker that cannot
// be started or readied now is tried again by the next batch. Called with
// the pool's mutex held.
void start_missing_workers(Pool& pool) noexcept;

}  // namespace tavik::runtime
