#include "piecewise_polynomials/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>

#include "piecewise_polynomials/processor_count.hpp"

namespace tavik {

namespace {

using State = PoolBatch::State;

const pid_t g_load_pid = getpid();

// Chunks per thread of a batch: enough that a thread arriving late (the
// caller busy elsewhere, a worker woken late on a loaded machine) still
// finds work and nobody waits long for a chunk another thread took, few
// enough that handing them out (a lock round trip, about 0.1 us) costs
// little next to computing them (a few microseconds at least).
constexpr std::size_t kChunksPerThread = 16;
// Smallest chunk worth handing to another thread.
constexpr std::size_t kMinChunk = 512;
// Worker stacks: the chunk bodies use little stack, and a small reservation
// keeps threads startable when address space runs short.
constexpr std::size_t kWorkerStack = std::size_t{2} << 20;
// Before sleeping, a worker out of work watches for the next batch and a
// caller watches its last chunks finish, for about as long as a sleep and
// wake-up round trip costs on a busy machine: back-to-back batches then
// pay neither.
constexpr std::chrono::microseconds kSpin{50};

// Whether `ready()` became true within `budget`, polling politely: the
// processor is offered to other runnable threads between rounds, so a
// loaded machine loses little to the wait.
template <class Ready>
bool spin_until(Ready ready, std::chrono::microseconds budget) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        if (i % 32 == 0) {
            if (std::chrono::steady_clock::now() - start > budget) return false;
            sched_yield();
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

std::atomic<std::size_t> g_thread_cap{SIZE_MAX};

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
    State* head = nullptr;         // FIFO of batches with chunks left
    State* tail = nullptr;
    std::size_t sleepers = 0;                    // workers waiting on `work`
    std::atomic<std::uint64_t> handed_in{0};     // batches enqueued so far
    std::atomic<std::size_t> workers{0};

    Pool(pid_t p, std::size_t c, Pool* i) : pid(p), concurrency(c), inherited(i) {}
};

std::atomic<Pool*> g_pool{nullptr};

Pool* current_pool() noexcept {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    return pool != nullptr && pool->pid == getpid() ? pool : nullptr;
}

// This process's pool, created on first use; nullptr if it cannot be created
// now (the caller then runs the batch alone, and the next batch tries again).
Pool* pool_for_batch() noexcept {
    const pid_t pid = getpid();
    Pool* pool = g_pool.load(std::memory_order_acquire);
    while (pool == nullptr || pool->pid != pid) {
        Pool* fresh = nullptr;
        try {
            fresh = new Pool(pid, available_processors(), pool);
        } catch (...) {  // out of memory while counting or allocating
            return nullptr;
        }
        if (g_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
        delete fresh;  // another thread was first; `pool` now holds its pool
    }
    return pool;
}

void enqueue(Pool& pool, State& batch) noexcept {
    batch.queued = true;
    batch.queue_next = nullptr;
    if (pool.tail != nullptr) {
        pool.tail->queue_next = &batch;
    } else {
        pool.head = &batch;
    }
    pool.tail = &batch;
}

void dequeue(Pool& pool, State& batch) noexcept {
    if (!batch.queued) return;
    batch.queued = false;
    State* previous = nullptr;
    for (State* b = pool.head; b != nullptr; previous = b, b = b->queue_next) {
        if (b != &batch) continue;
        (previous != nullptr ? previous->queue_next : pool.head) = b->queue_next;
        if (pool.tail == b) pool.tail = previous;
        return;
    }
}

// Runs chunks of `batch` until none is left to hand out. Called with the
// pool's mutex held through `lock`; releases it around each chunk.
void run_chunks(Pool& pool, std::unique_lock<std::mutex>& lock, State& batch) {
    while (batch.next < batch.chunks) {
        const std::size_t chunk = batch.next++;
        if (batch.next == batch.chunks) dequeue(pool, batch);
        if (chunk > batch.failed) {  // an earlier chunk failed: its error wins anyway
            ++batch.finished;
            continue;
        }
        std::exception_ptr error;
        lock.unlock();
        {
            std::fenv_t own;
            std::fegetenv(&own);
            std::fesetenv(&batch.env);
            try {
                batch.body(batch.begin(chunk), batch.begin(chunk + 1));
            } catch (...) {
                error = std::current_exception();
            }
            std::fesetenv(&own);
        }
        lock.lock();
        if (error && chunk < batch.failed) {
            batch.failed = chunk;
            batch.error = std::move(error);
        }
        ++batch.finished;
    }
}

State* batch_wanting_help(Pool& pool) noexcept {
    for (State* b = pool.head; b != nullptr; b = b->queue_next) {
        if (b->helpers < b->max_helpers) return b;
    }
    return nullptr;
}

void* worker_main(void* arg) {
    Pool& pool = *static_cast<Pool*>(arg);
    std::unique_lock lock(pool.mutex);
    for (;;) {
        State* batch = batch_wanting_help(pool);
        if (batch == nullptr) {
            const std::uint64_t seen = pool.handed_in.load(std::memory_order_relaxed);
            lock.unlock();
            const bool arrived =
                spin_until([&] { return pool.handed_in.load(std::memory_order_relaxed) != seen; }, kSpin);
            lock.lock();
            if (!arrived && batch_wanting_help(pool) == nullptr) {
                ++pool.sleepers;
                pool.work.wait(lock);
                --pool.sleepers;
            }
            continue;
        }
        ++batch->helpers;
        run_chunks(pool, lock, *batch);  // chunk bodies catch everything they throw
        --batch->helpers;
        // Under the mutex: the caller cannot destroy the batch before this
        // thread is done with it, however early it sees `settled`.
        if (batch->complete()) {
            batch->settled.store(true, std::memory_order_release);
            batch->done.notify_all();
        }
    }
}

// Starts the workers the pool lacks (it keeps one thread's share for the
// caller). A worker that cannot be started now is tried again by the next
// batch. Called with the pool's mutex held.
void start_missing_workers(Pool& pool) noexcept {
    const std::size_t wanted = pool.concurrency - 1;
    while (pool.workers.load(std::memory_order_relaxed) < wanted) {
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return;
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, kWorkerStack);
        // Workers take no signals: the interpreter handles them on its own threads.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        const int error = pthread_create(&thread, &attr, worker_main, &pool);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attr);
        if (error != 0) return;
        pthread_setname_np(thread, "tavik-worker");
        pool.workers.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

PoolBatch::PoolBatch(std::size_t n, ChunkBody body) : state_(n, body) {
    std::fegetenv(&state_.env);
    Pool* pool = pool_for_batch();
    if (pool == nullptr || n == 0) return;
    state_.pool = pool;
    const std::size_t cap = std::max<std::size_t>(g_thread_cap.load(std::memory_order_relaxed), 1);
    const std::size_t threads = std::min(pool->concurrency, cap);
    state_.chunks = std::clamp<std::size_t>((n + kMinChunk - 1) / kMinChunk, 1, threads * kChunksPerThread);
    state_.max_helpers = threads - 1;
    if (state_.max_helpers == 0 || state_.chunks == 1) return;
    std::lock_guard lock(pool->mutex);
    start_missing_workers(*pool);
    enqueue(*pool, state_);
    pool->handed_in.fetch_add(1, std::memory_order_relaxed);
    if (pool->sleepers > 0) pool->work.notify_all();
}

void PoolBatch::wait() {
    waited_ = true;
    if (state_.pool == nullptr) {
        if (state_.n > 0) state_.body(0, state_.n);  // the caller's own environment is the batch's
        return;
    }
    Pool& pool = *static_cast<Pool*>(state_.pool);
    std::unique_lock lock(pool.mutex);
    run_chunks(pool, lock, state_);
    if (!state_.complete()) {
        lock.unlock();
        spin_until([&] { return state_.settled.load(std::memory_order_acquire); }, kSpin);
        lock.lock();
        state_.done.wait(lock, [&] { return state_.complete(); });
    }
    if (state_.error) std::rethrow_exception(std::exchange(state_.error, nullptr));
}

PoolBatch::~PoolBatch() {
    if (waited_ || state_.pool == nullptr) return;
    // The owner leaves without the outcome: chunks not started are dropped,
    // and the batch must still outlive the ones running.
    Pool& pool = *static_cast<Pool*>(state_.pool);
    std::unique_lock lock(pool.mutex);
    dequeue(pool, state_);
    state_.finished += state_.chunks - state_.next;
    state_.next = state_.chunks;
    state_.done.wait(lock, [&] { return state_.complete(); });
}

void parallel_map(std::size_t n, std::size_t threshold, ChunkBody body) {
    if (n < threshold) {
        if (n > 0) body(0, n);
        return;
    }
    PoolBatch batch(n, body);
    batch.wait();
}

bool worker_pool_created() noexcept { return current_pool() != nullptr; }

std::size_t worker_pool_concurrency() noexcept {
    const Pool* pool = current_pool();
    return pool != nullptr ? pool->concurrency : 0;
}

std::size_t worker_pool_threads() noexcept {
    const Pool* pool = current_pool();
    return pool != nullptr ? pool->workers.load(std::memory_order_relaxed) : 0;
}

namespace worker_pool_internals {

ScopedThreadCap::ScopedThreadCap(std::size_t threads) noexcept
    : previous_(g_thread_cap.exchange(threads, std::memory_order_relaxed)) {}

ScopedThreadCap::~ScopedThreadCap() { g_thread_cap.store(previous_, std::memory_order_relaxed); }

bool forked_since_load() noexcept { return getpid() != g_load_pid; }

}  // namespace worker_pool_internals

}  // namespace tavik
