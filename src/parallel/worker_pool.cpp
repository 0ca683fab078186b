// The core's side of the pool: chunk bodies and their exceptions, the
// per-thread scratch, and this module's thread set-up. The pool itself is
// the runtime's (parallel/runtime/pool.cpp).
#include "parallel/worker_pool.hpp"

#include <cstdlib>

#include "checked_size.hpp"

namespace tavik {

namespace {

// The first exception a thread throws makes the C++ runtime allocate its
// per-thread data (libstdc++'s exception globals, the unwinder's), and glibc
// ends the whole process when it cannot allocate thread-local data. A
// portable module links its own C++ runtime, with per-thread data of its
// own, so every module readies each worker for itself: the pool runs this
// before the worker takes the module's first chunk (at the worker's start
// for the modules it knows then, while the thread starting it waits). A
// chunk that throws later needs at most the exception object (which
// libstdc++ takes from its emergency pool when malloc fails). The probe
// beforehand makes a worker that starts with the memory nearly used up give
// up quietly instead of risking the abort in the warm-up; it lowers that
// risk, it cannot rule it out.
struct WorkerWarmUp {};
constexpr std::size_t kWarmUpProbe = std::size_t{16} << 10;

int ready_for_exceptions() noexcept {
    void* probe = std::malloc(kWarmUpProbe);
    if (probe == nullptr) return 0;
    asm volatile("" : : "r"(probe) : "memory");  // compilers may drop an unused malloc/free pair
    std::free(probe);
    try {
        throw WorkerWarmUp{};
    } catch (const WorkerWarmUp&) {
    }
    return 1;
}

// Scratch blocks start on separate cache lines, so threads writing their
// own do not slow one another.
constexpr std::size_t kScratchAlignment = 64 / sizeof(double);

}  // namespace

int PoolBatch::run_chunk(void* context, std::size_t begin, std::size_t end, double* scratch) noexcept {
    Context& c = *static_cast<Context*>(context);
    try {
        c.body(begin, end, {scratch, scratch != nullptr ? c.scratch_size : 0});
        return 0;
    } catch (...) {
        // Chunks may fail on several threads at once; the lowest keeps its error.
        const std::lock_guard lock(c.mutex);
        if (begin < c.failed_begin) {
            c.failed_begin = begin;
            c.error = std::current_exception();
        }
        return 1;
    }
}

PoolBatch::PoolBatch(std::size_t n, ChunkBody body, std::size_t scratch_per_thread, std::size_t min_chunk)
    : context_(body) {
    const std::size_t slots = tavik_runtime_batch_open_chunked(&batch_, n, min_chunk);
    std::size_t stride = 0;
    try {
        // Before the batch is handed out: nothing has started if this throws.
        if (n > 0 && scratch_per_thread > 0) {
            stride = checked_add(scratch_per_thread, kScratchAlignment - 1) / kScratchAlignment * kScratchAlignment;
            scratch_ = std::make_unique_for_overwrite<double[]>(checked_array_length<double>(checked_mul(stride, slots)));
            context_.scratch_size = scratch_per_thread;
        }
    } catch (...) {
        tavik_runtime_batch_close(&batch_);
        throw;
    }
    tavik_runtime_batch_start(&batch_, &run_chunk, &context_, &ready_for_exceptions, scratch_.get(), stride);
}

void PoolBatch::wait() {
    if (tavik_runtime_batch_wait(&batch_) != 0) std::rethrow_exception(std::exchange(context_.error, nullptr));
}

PoolBatch::~PoolBatch() { tavik_runtime_batch_close(&batch_); }

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

bool worker_pool_created() noexcept { return tavik_runtime_pool_created() != 0; }

std::size_t worker_pool_concurrency() noexcept { return tavik_runtime_pool_concurrency(); }

std::size_t worker_pool_threads() noexcept { return tavik_runtime_pool_threads(); }

namespace worker_pool_internals {

ScopedThreadCap::ScopedThreadCap(std::size_t threads) noexcept : previous_(tavik_runtime_exchange_thread_cap(threads)) {}

ScopedThreadCap::~ScopedThreadCap() { tavik_runtime_exchange_thread_cap(previous_); }

bool forked_since_load() noexcept { return tavik_runtime_forked_since_load() != 0; }

}  // namespace worker_pool_internals

}  // namespace tavik
