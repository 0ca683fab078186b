// The runtime's C interface to batches and the pool (runtime.h).
#include <unistd.h>

#include <algorithm>
#include <new>

#include "parallel/runtime/pool.hpp"

namespace tavik::runtime {
namespace {

Batch& batch_of(tavik_runtime_batch* storage) noexcept { return *std::launder(reinterpret_cast<Batch*>(storage->opaque)); }

const pid_t g_load_pid = getpid();

}  // namespace
}  // namespace tavik::runtime

using namespace tavik::runtime;

extern "C" {

size_t tavik_runtime_batch_open(tavik_runtime_batch* storage, size_t n) noexcept {
    return tavik_runtime_batch_open_chunked(storage, n, 0);
}

size_t tavik_runtime_batch_open_chunked(tavik_runtime_batch* storage, size_t n, size_t min_chunk) noexcept {
    if (min_chunk == 0) min_chunk = kMinChunk;
    Batch& batch = *new (storage->opaque) Batch(n);
    std::fegetenv(&batch.env);
    Pool* pool = pool_for_batch();
    if (n == 0 || pool == nullptr) return 1;
    const std::size_t cap = std::max<std::size_t>(g_thread_cap.load(std::memory_order_relaxed), 1);
    const std::size_t threads = std::min(pool->concurrency, cap);
    batch.chunks = std::clamp<std::size_t>(n / min_chunk + (n % min_chunk != 0), 1, threads * kChunksPerThread);
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

}  // extern "C"
