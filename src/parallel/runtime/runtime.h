/* The process's runtime: the state that must exist once per process however
 * many modules link the core (the worker pool with its processor count and
 * thread cap, the choice of instruction set). It lives in its own shared
 * library, libtavik_runtime.so, which every module and test program loads
 * (the modules through an $ORIGIN run path), so that a process using both
 * Python modules starts one pool, sized for the machine once.
 *
 * The interface is C, and nothing C++ crosses it: a portable module links
 * its own copy of the C++ runtime, so an exception, a std:: type or an
 * exception_ptr made by one copy must never reach another. Every function
 * here is noexcept; a chunk reports failure by its return value, and the
 * module that handed the batch in keeps the exception itself
 * (parallel/worker_pool.cpp).
 */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
#define TAVIK_RUNTIME_NOEXCEPT noexcept
extern "C" {
#else
#define TAVIK_RUNTIME_NOEXCEPT
#endif

#define TAVIK_RUNTIME_API __attribute__((visibility("default")))

/* Runs elements [begin, end) of a batch with `scratch`, the working memory
 * of the thread running it (its block of the batch's scratch, or NULL when
 * the batch has none). Returns 0, or nonzero if the chunk failed. */
typedef int (*tavik_runtime_chunk)(void* context, size_t begin, size_t end, double* scratch);

/* Readies the calling thread to run one module's chunks (the C++ runtime's
 * per-thread data that a throwing chunk would otherwise allocate).
 * Returns 0 if it could not; that thread then runs none. The runtime keeps
 * it for the life of the process, and workers started later run it too: a
 * module that hands in batches is never unloaded (CPython does not unload
 * extension modules). */
typedef int (*tavik_runtime_thread_setup)(void);

/* A batch's state, in storage the caller owns; not movable while open. */
typedef struct tavik_runtime_batch {
    __attribute__((aligned(64))) unsigned char opaque[448];
} tavik_runtime_batch;

/* Opens a batch of n elements: records the calling thread's floating-point
 * environment, finds or creates this process's pool (none if it cannot be
 * created now) and returns how many threads, the caller included, may run
 * its chunks: the blocks of scratch the batch needs. Starts nothing; every
 * open batch is closed once. */
TAVIK_RUNTIME_API size_t tavik_runtime_batch_open(tavik_runtime_batch* batch, size_t n) TAVIK_RUNTIME_NOEXCEPT;

/* As tavik_runtime_batch_open, with chunks of at least `min_chunk` elements
 * (0: the pool's own minimum, meant for cheap elements). A batch of a few
 * costly elements (the shifts of one dG interval) passes 1, so that each
 * element may run on a thread of its own. */
TAVIK_RUNTIME_API size_t tavik_runtime_batch_open_chunked(tavik_runtime_batch* batch, size_t n,
                                                          size_t min_chunk) TAVIK_RUNTIME_NOEXCEPT;

/* Hands the batch to the workers: `chunk` over disjoint chunks covering
 * [0, n), each in increasing index order and in the opening thread's
 * floating-point environment, with block i of `scratch` (`stride` doubles
 * apart; NULL for none) for the i-th thread to take part. Workers that run
 * its chunks have run `setup` first (NULL: nothing to run). Returns at once. */
TAVIK_RUNTIME_API void tavik_runtime_batch_start(tavik_runtime_batch* batch, tavik_runtime_chunk chunk, void* context,
                                                 tavik_runtime_thread_setup setup, double* scratch,
                                                 size_t stride) TAVIK_RUNTIME_NOEXCEPT;

/* The calling thread takes the chunks not yet taken and waits until every
 * chunk has finished; chunks after a failed one that had not started are
 * skipped. Returns 0, or nonzero if a chunk failed. Once per batch. */
TAVIK_RUNTIME_API int tavik_runtime_batch_wait(tavik_runtime_batch* batch) TAVIK_RUNTIME_NOEXCEPT;

/* Ends a batch. One started and not waited for drops its chunks not started
 * and waits for the running ones. */
TAVIK_RUNTIME_API void tavik_runtime_batch_close(tavik_runtime_batch* batch) TAVIK_RUNTIME_NOEXCEPT;

/* Whether this process has created its pool (a fork() child: not the one it
 * inherited); the threads per batch it was created for (0 before); the
 * worker threads running (0 before). */
TAVIK_RUNTIME_API int tavik_runtime_pool_created(void) TAVIK_RUNTIME_NOEXCEPT;
TAVIK_RUNTIME_API size_t tavik_runtime_pool_concurrency(void) TAVIK_RUNTIME_NOEXCEPT;
TAVIK_RUNTIME_API size_t tavik_runtime_pool_threads(void) TAVIK_RUNTIME_NOEXCEPT;

/* Tests and benchmarks: caps the threads, the caller included, of batches
 * opened from now on (SIZE_MAX: no cap); returns the previous cap. */
TAVIK_RUNTIME_API size_t tavik_runtime_exchange_thread_cap(size_t threads) TAVIK_RUNTIME_NOEXCEPT;

/* Whether this process is a fork() child of the one that loaded the runtime. */
TAVIK_RUNTIME_API int tavik_runtime_forked_since_load(void) TAVIK_RUNTIME_NOEXCEPT;

/* The instruction set every kernel of the process runs, as an index of the
 * list in kernels/instruction_sets.hpp: the set forced by a test, else the
 * process's choice, which the first caller makes with `widest` (the widest
 * set this processor supports; every module computes the same). */
TAVIK_RUNTIME_API int tavik_runtime_instruction_set(int (*widest)(void)) TAVIK_RUNTIME_NOEXCEPT;

/* Tests: forces `set` on every module (-1: back to the process's choice). */
TAVIK_RUNTIME_API void tavik_runtime_force_instruction_set(int set) TAVIK_RUNTIME_NOEXCEPT;

#ifdef __cplusplus
}
#endif
