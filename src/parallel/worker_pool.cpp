#include "parallel/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include "checked_size.hpp"
#include "parallel/processor_count.hpp"

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

// Runs chunks of `batch` until none is left to hand out, with the scratch
// of `slot`. Called with the pool's mutex held through `lock`; releases it
// around each chunk.
void run_chunks(Pool& pool, std::unique_lock<std::mutex>& lock, State& batch, std::size_t slot) {
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
                batch.body(batch.begin(chunk), batch.begin(chunk + 1), batch.scratch_of(slot));
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

// Counted by `joined` rather than by the workers taking part now: a worker
// that has left must not hand its scratch slot to another (none leaves
// before every chunk is handed out anyway, so no help is lost).
State* batch_wanting_help(Pool& pool) noexcept {
    for (State* b = pool.head; b != nullptr; b = b->queue_next) {
        if (b->joined < b->max_helpers) return b;
    }
    return nullptr;
}

// The first exception a thread throws makes the C++ runtime allocate its
// per-thread data (libstdc++'s exception globals, the unwinder's), and glibc
// ends the whole process when it cannot allocate thread-local data. A worker
// therefore throws and catches one exception as it starts, before it takes
// work, while the thread starting it waits (start_missing_workers): by the
// time a batch that started workers returns, they are ready, and a chunk
// that throws later needs at most the exception object (which libstdc++
// takes from its emergency pool when malloc fails). The probe beforehand
// makes a worker that starts with the memory nearly used up give up quietly
// instead of risking the abort in the warm-up; it lowers that risk, it
// cannot rule it out.
struct WorkerWarmUp {};
constexpr std::size_t kWarmUpProbe = std::size_t{16} << 10;

bool ready_for_exceptions() noexcept {
    void* probe = std::malloc(kWarmUpProbe);
    if (probe == nullptr) return false;
    asm volatile("" : : "r"(probe) : "memory");  // compilers may drop an unused malloc/free pair
    std::free(probe);
    try {
        throw WorkerWarmUp{};
    } catch (const WorkerWarmUp&) {
    }
    return true;
}

// Handed from start_missing_workers to a new worker, on the starter's stack.
struct WorkerStart {
    Pool* pool;
    sem_t ready;        // posted once the worker knows `warm`
    bool warm = false;  // whether it is ready to take work; if not, it ends
};

void* worker_main(void* arg) {
    auto& start = *static_cast<WorkerStart*>(arg);
    Pool& pool = *start.pool;  // `start` is gone once `ready` is posted
    const bool warm = ready_for_exceptions();
    start.warm = warm;
    sem_post(&start.ready);
    if (!warm) return nullptr;
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
        const std::size_t slot = ++batch->joined;
        run_chunks(pool, lock, *batch, slot);  // catches everything the chunk bodies throw
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
// caller), each counted once it is ready to take work. A worker that cannot
// be started or readied now is tried again by the next batch. Called with
// the pool's mutex held.
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
        WorkerStart start{&pool, {}};
        if (sem_init(&start.ready, 0, 0) != 0) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            pthread_attr_destroy(&attr);
            return;
        }
        pthread_t thread;
        const int error = pthread_create(&thread, &attr, worker_main, &start);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attr);
        if (error == 0) {
            // The worker does not take the pool's mutex, held here, before it posts.
            while (sem_wait(&start.ready) != 0) {
            }
        }
        sem_destroy(&start.ready);
        if (error != 0 || !start.warm) return;  // a later batch tries again
        pthread_setname_np(thread, "tavik-worker");
        pool.workers.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

// Scratch blocks start on separate cache lines, so threads writing their
// own do not slow one another.
constexpr std::size_t kScratchAlignment = 64 / sizeof(double);

// Gives `state` `slots` blocks of `per_thread` doubles, owned by `storage`.
void allocate_scratch(State& state, std::unique_ptr<double[]>& storage, std::size_t slots, std::size_t per_thread) {
    if (per_thread == 0) return;
    const std::size_t stride = checked_add(per_thread, kScratchAlignment - 1) / kScratchAlignment * kScratchAlignment;
    storage = std::make_unique_for_overwrite<double[]>(checked_array_length<double>(checked_mul(stride, slots)));
    state.scratch = storage.get();
    state.scratch_size = per_thread;
    state.scratch_stride = stride;
}

PoolBatch::PoolBatch(std::size_t n, ChunkBody body, std::size_t scratch_per_thread) : state_(n, body) {
    std::fegetenv(&state_.env);
    Pool* pool = pool_for_batch();
    if (n == 0) return;
    if (pool != nullptr) {
        const std::size_t cap = std::max<std::size_t>(g_thread_cap.load(std::memory_order_relaxed), 1);
        const std::size_t threads = std::min(pool->concurrency, cap);
        state_.chunks = std::clamp<std::size_t>((n + kMinChunk - 1) / kMinChunk, 1, threads * kChunksPerThread);
        state_.max_helpers = std::min(threads, state_.chunks) - 1;  // more would find no chunk
    }
    // Before the batch is handed out: nothing has started if this throws.
    allocate_scratch(state_, scratch_, state_.max_helpers + 1, scratch_per_thread);
    if (pool == nullptr) return;
    state_.pool = pool;
    if (state_.max_helpers == 0) return;
    std::lock_guard lock(pool->mutex);
    start_missing_workers(*pool);
    enqueue(*pool, state_);
    pool->handed_in.fetch_add(1, std::memory_order_relaxed);
    if (pool->sleepers > 0) pool->work.notify_all();
}

void PoolBatch::wait() {
    waited_ = true;
    if (state_.pool == nullptr) {
        if (state_.n > 0) state_.body(0, state_.n, state_.scratch_of(0));  // the caller's own environment is the batch's
        return;
    }
    Pool& pool = *static_cast<Pool*>(state_.pool);
    std::unique_lock lock(pool.mutex);
    run_chunks(pool, lock, state_, 0);
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

void parallel_map(std::size_t n, std::size_t threshold, std::size_t scratch_per_thread, ChunkBody body) {
    if (n < threshold) {
        if (n == 0) return;
        if (scratch_per_thread == 0) return body(0, n, {});
        const auto scratch = std::make_unique_for_overwrite<double[]>(checked_array_length<double>(scratch_per_thread));
        body(0, n, {scratch.get(), scratch_per_thread});
        return;
    }
    PoolBatch batch(n, body, scratch_per_thread);
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
