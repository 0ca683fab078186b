// The process's worker pool (runtime.h; the guarantees are those of
// parallel/worker_pool.hpp, which wraps it for the core): its creation, its
// queue of batches and its worker threads.
//
// Nothing here throws past the C interface: allocation failures end as "no
// pool" or "one worker fewer", and chunks report failure by value.
#include "parallel/runtime/pool.hpp"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "parallel/runtime/processor_count.hpp"

namespace tavik::runtime {

std::atomic<std::size_t> g_thread_cap{SIZE_MAX};

namespace {

// Worker stacks: the chunk bodies use little stack, and a small reservation
// keeps threads startable when address space runs short.
constexpr std::size_t kWorkerStack = std::size_t{2} << 20;

// The thread set-ups of the modules that have handed in batches: a worker
// runs each before it takes that module's chunks. A module's set-up is a
// function of its own; a few modules at most share a process.
constexpr std::size_t kMaxSetups = 8;
std::atomic<tavik_runtime_thread_setup> g_setups[kMaxSetups];

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

std::atomic<Pool*> g_pool{nullptr};

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

}  // namespace

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

Pool* current_pool() noexcept {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    return pool != nullptr && pool->pid == getpid() ? pool : nullptr;
}

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

}  // namespace tavik::runtime
