// The process's worker pool (runtime.h; the guarantees are those of
// parallel/worker_pool.hpp, which wraps it for the core).
//
// Nothing here throws past the C interface: allocation failures end as "no
// pool" or "one worker fewer", and chunks report failure by value.
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include "parallel/runtime/processor_count.hpp"
#include "parallel/runtime/runtime.h"

namespace tavik::runtime {

namespace {

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

Batch& batch_of(tavik_runtime_batch* storage) noexcept { return *std::launder(reinterpret_cast<Batch*>(storage->opaque)); }

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
constexpr std::int64_t kSpinNanoseconds = 50'000;

std::int64_t now_ns() noexcept {
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

std::atomic<std::size_t> g_thread_cap{SIZE_MAX};

// The thread set-ups of the modules that have handed in batches: a worker
// runs each before it takes that module's chunks. A module's set-up is a
// function of its own; a few modules at most share a process.
constexpr std::size_t kMaxSetups = 8;
std::atomic<tavik_runtime_thread_setup> g_setups[kMaxSetups];

void register_setup(tavik_runtime_thread_setup setup) noexcept {
    if (setup == nullptr) return;
    for (auto& slot : g_setups) {
        tavik_runtime_thread_setup seen = slot.load(std::memory_order_acquire);
        if (seen == setup) return;
        if (seen == nullptr && slot.compare_exchange_strong(seen, setup, std::memory_order_acq_rel)) return;
        if (seen == setup) return;  // another thread registered it meanwhile
    }
    // Full: workers then run this set-up before each of its batches instead.
}

// The set-ups one worker has run, on its own stack.
struct ReadySetups {
    tavik_runtime_thread_setup done[kMaxSetups] = {};
    std::size_t count = 0;

    bool has(tavik_runtime_thread_setup setup) const noexcept {
        return setup == nullptr || std::find(done, done + count, setup) != done + count;
    }
    // Runs `setup` unless done already; false if it fails.
    bool run(tavik_runtime_thread_setup setup) noexcept {
        if (has(setup)) return true;
        if (setup() == 0) return false;
        // Beyond kMaxSetups modules the newest replaces the last: a set-up
        // that runs twice on a thread costs time, not correctness.
        done[count < kMaxSetups ? count++ : kMaxSetups - 1] = setup;
        return true;
    }
};

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

void enqueue(Pool& pool, Batch& batch) noexcept {
    batch.queued = true;
    batch.queue_next = nullptr;
    if (pool.tail != nullptr) {
        pool.tail->queue_next = &batch;
    } else {
        pool.head = &batch;
    }
    pool.tail = &batch;
}

void dequeue(Pool& pool, Batch& batch) noexcept {
    if (!batch.queued) return;
    batch.queued = false;
    Batch* previous = nullptr;
    for (Batch* b = pool.head; b != nullptr; previous = b, b = b->queue_next) {
        if (b != &batch) continue;
        (previous != nullptr ? previous->queue_next : pool.head) = b->queue_next;
        if (pool.tail == b) pool.tail = previous;
        return;
    }
}

// Runs chunks of `batch` until none is left to hand out, with the scratch
// of `slot`. Called with the pool's mutex held through `lock`; releases it
// around each chunk.
void run_chunks(Pool& pool, std::unique_lock<std::mutex>& lock, Batch& batch, std::size_t slot) noexcept {
    while (batch.next < batch.chunks) {
        const std::size_t chunk = batch.next++;
        if (batch.next == batch.chunks) dequeue(pool, batch);
        if (chunk > batch.failed) {  // an earlier chunk failed: its error wins anyway
            ++batch.finished;
            continue;
        }
        lock.unlock();
        std::fenv_t own;
        std::fegetenv(&own);
        std::fesetenv(&batch.env);
        const int failed = batch.chunk(batch.context, batch.begin(chunk), batch.begin(chunk + 1), batch.scratch_of(slot));
        std::fesetenv(&own);
        lock.lock();
        if (failed != 0 && chunk < batch.failed) batch.failed = chunk;
        ++batch.finished;
    }
}

// Counted by `joined` rather than by the workers taking part now: a worker
// that has left must not hand its scratch slot to another (none leaves
// before every chunk is handed out anyway, so no help is lost).
Batch* batch_wanting_help(Pool& pool) noexcept {
    for (Batch* b = pool.head; b != nullptr; b = b->queue_next) {
        if (b->joined < b->max_helpers) return b;
    }
    return nullptr;
}

// Handed from start_missing_workers to a new worker, on the starter's stack.
struct WorkerStart {
    Pool* pool;
    sem_t ready;        // posted once the worker knows `warm`
    bool warm = false;  // whether it is ready to take work; if not, it ends
};

// Every module's set-up known so far, run as the worker starts (while the
// thread starting it waits): by the time a batch that started workers
// returns, they are ready for its module.
bool run_known_setups(ReadySetups& ready) noexcept {
    for (auto& slot : g_setups) {
        const tavik_runtime_thread_setup setup = slot.load(std::memory_order_acquire);
        if (setup != nullptr && !ready.run(setup)) return false;
    }
    return true;
}

void* worker_main(void* arg) {
    auto& start = *static_cast<WorkerStart*>(arg);
    Pool& pool = *start.pool;  // `start` is gone once `ready` is posted
    ReadySetups ready;
    const bool warm = run_known_setups(ready);
    start.warm = warm;
    sem_post(&start.ready);
    if (!warm) return nullptr;
    std::unique_lock lock(pool.mutex);
    for (;;) {
        Batch* batch = batch_wanting_help(pool);
        if (batch == nullptr) {
            const std::uint64_t seen = pool.handed_in.load(std::memory_order_relaxed);
            lock.unlock();
            const bool arrived = spin_until([&] { return pool.handed_in.load(std::memory_order_relaxed) != seen; });
            lock.lock();
            if (!arrived && batch_wanting_help(pool) == nullptr) {
                ++pool.sleepers;
                pool.work.wait(lock);
                --pool.sleepers;
            }
            continue;
        }
        if (!ready.has(batch->setup)) {
            // A module this worker has not met yet (its first batch came
            // after the worker started). The batch may finish meanwhile, so
            // look again afterwards.
            const tavik_runtime_thread_setup setup = batch->setup;
            lock.unlock();
            const bool ok = ready.run(setup);
            lock.lock();
            if (!ok) {  // a later batch starts a replacement
                pool.workers.fetch_sub(1, std::memory_order_relaxed);
                return nullptr;
            }
            continue;
        }
        ++batch->helpers;
        const std::size_t slot = ++batch->joined;
        run_chunks(pool, lock, *batch, slot);
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

// -1: none forced; otherwise the forced set. The process's choice, once made.
std::atomic<int> g_forced_set{-1};
std::atomic<int> g_chosen_set{-1};

}  // namespace

}  // namespace tavik::runtime

using namespace tavik::runtime;

extern "C" {

size_t tavik_runtime_batch_open(tavik_runtime_batch* storage, size_t n) noexcept {
    Batch& batch = *new (storage->opaque) Batch(n);
    std::fegetenv(&batch.env);
    Pool* pool = pool_for_batch();
    if (n == 0 || pool == nullptr) return 1;
    const std::size_t cap = std::max<std::size_t>(g_thread_cap.load(std::memory_order_relaxed), 1);
    const std::size_t threads = std::min(pool->concurrency, cap);
    batch.chunks = std::clamp<std::size_t>((n + kMinChunk - 1) / kMinChunk, 1, threads * kChunksPerThread);
    batch.max_helpers = std::min(threads, batch.chunks) - 1;  // more would find no chunk
    batch.pool = pool;
    return batch.max_helpers + 1;
}

void tavik_runtime_batch_start(tavik_runtime_batch* storage, tavik_runtime_chunk chunk, void* context,
                               tavik_runtime_thread_setup setup, double* scratch, size_t stride) noexcept {
    Batch& batch = batch_of(storage);
    batch.chunk = chunk;
    batch.context = context;
    batch.setup = setup;
    batch.scratch = scratch;
    batch.stride = stride;
    batch.started = true;
    if (batch.pool == nullptr || batch.max_helpers == 0) return;
    Pool& pool = *batch.pool;
    register_setup(setup);
    std::lock_guard lock(pool.mutex);
    start_missing_workers(pool);
    enqueue(pool, batch);
    pool.handed_in.fetch_add(1, std::memory_order_relaxed);
    if (pool.sleepers > 0) pool.work.notify_all();
}

int tavik_runtime_batch_wait(tavik_runtime_batch* storage) noexcept {
    Batch& batch = batch_of(storage);
    batch.waited = true;
    if (batch.pool == nullptr) {
        // The caller's own environment is the batch's.
        return batch.n > 0 ? batch.chunk(batch.context, 0, batch.n, batch.scratch_of(0)) : 0;
    }
    Pool& pool = *batch.pool;
    std::unique_lock lock(pool.mutex);
    run_chunks(pool, lock, batch, 0);
    if (!batch.complete()) {
        lock.unlock();
        spin_until([&] { return batch.settled.load(std::memory_order_acquire); });
        lock.lock();
        batch.done.wait(lock, [&] { return batch.complete(); });
    }
    return batch.failed != SIZE_MAX ? 1 : 0;
}

void tavik_runtime_batch_close(tavik_runtime_batch* storage) noexcept {
    Batch& batch = batch_of(storage);
    if (batch.started && !batch.waited && batch.pool != nullptr) {
        // The owner leaves without the outcome: chunks not started are
        // dropped, and the batch must still outlive the ones running.
        Pool& pool = *batch.pool;
        std::unique_lock lock(pool.mutex);
        dequeue(pool, batch);
        batch.finished += batch.chunks - batch.next;
        batch.next = batch.chunks;
        batch.done.wait(lock, [&] { return batch.complete(); });
    }
    batch.~Batch();
}

int tavik_runtime_pool_created(void) noexcept { return current_pool() != nullptr ? 1 : 0; }

size_t tavik_runtime_pool_concurrency(void) noexcept {
    const Pool* pool = current_pool();
    return pool != nullptr ? pool->concurrency : 0;
}

size_t tavik_runtime_pool_threads(void) noexcept {
    const Pool* pool = current_pool();
    return pool != nullptr ? pool->workers.load(std::memory_order_relaxed) : 0;
}

size_t tavik_runtime_exchange_thread_cap(size_t threads) noexcept {
    return g_thread_cap.exchange(threads, std::memory_order_relaxed);
}

int tavik_runtime_forked_since_load(void) noexcept { return getpid() != g_load_pid ? 1 : 0; }

int tavik_runtime_instruction_set(int (*widest)(void)) noexcept {
    const int forced = g_forced_set.load(std::memory_order_relaxed);
    if (forced >= 0) return forced;
    int chosen = g_chosen_set.load(std::memory_order_relaxed);
    if (chosen < 0) {
        const int mine = widest();
        // Every module computes the same set; the first to store it wins.
        chosen = g_chosen_set.compare_exchange_strong(chosen, mine, std::memory_order_relaxed) ? mine : chosen;
    }
    return chosen;
}

void tavik_runtime_force_instruction_set(int set) noexcept {
    g_forced_set.store(set < 0 ? -1 : set, std::memory_order_relaxed);
}

}  // extern "C"
