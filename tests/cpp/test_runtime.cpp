// The process's runtime as the modules see it through its C interface: each
// module's thread set-up runs on a worker before that module's chunks, a
// set-up that fails costs threads, not results, and the instruction set is
// chosen once for every module.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

#include "kernels/kernels.hpp"
#include "parallel/runtime/runtime.h"
#include "parallel/worker_pool.hpp"
#include "support.hpp"

namespace tavik {
namespace {

// Stand-in modules, each with its own set-up; c's fails while `refuse_c`.
thread_local int t_ready_a = 0;
thread_local int t_ready_b = 0;
std::atomic<bool> refuse_c{false};
int set_up_a() {
    ++t_ready_a;
    return 1;
}
int set_up_b() {
    ++t_ready_b;
    return 1;
}
int set_up_c() { return refuse_c.load() ? 0 : 1; }

// Counts, per batch, the elements done, the chunks run on workers, and those
// whose worker had not run the module's set-up exactly once (`ready`: that
// module's count on the running thread).
struct Probe {
    int* (*ready)() = nullptr;
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<std::size_t> elements{0};
    std::atomic<int> on_workers{0};
    std::atomic<int> unready{0};
    bool caller_waited = false;
};

// The caller's first chunk waits (up to a second) for a worker to run one,
// so that workers take part whenever the pool has them.
int count_chunk(void* context, std::size_t begin, std::size_t end, double*) {
    auto& probe = *static_cast<Probe*>(context);
    if (std::this_thread::get_id() != probe.caller) {
        ++probe.on_workers;
        if (probe.ready != nullptr && *probe.ready() != 1) ++probe.unready;
    } else if (!std::exchange(probe.caller_waited, true)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (probe.on_workers.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    probe.elements += end - begin;
    return 0;
}

void run_batch(Probe& probe, tavik_runtime_thread_setup setup, std::size_t n) {
    tavik_runtime_batch batch;
    tavik_runtime_batch_open(&batch, n);
    tavik_runtime_batch_start(&batch, &count_chunk, &probe, setup, nullptr, 0);
    EXPECT_EQ(tavik_runtime_batch_wait(&batch), 0);
    tavik_runtime_batch_close(&batch);
    EXPECT_EQ(probe.elements.load(), n);
}

TEST(Runtime, EachModulesSetUpRunsOnAWorkerBeforeItsChunks) {
    EXPECT_TRUE(test::run_fresh("FreshProcess.DISABLED_SetUpsPerModule"));
}

TEST(FreshProcess, DISABLED_SetUpsPerModule) {
    constexpr std::size_t n = std::size_t{1} << 20;
    // Module a starts the workers; module b comes later, to workers that
    // knew nothing of it when they started.
    for (int round = 0; round < 3; ++round) {
        Probe a{+[] { return &t_ready_a; }};
        run_batch(a, &set_up_a, n);
        Probe b{+[] { return &t_ready_b; }};
        run_batch(b, &set_up_b, n);
        EXPECT_EQ(a.unready.load() + b.unready.load(), 0) << round;
        if (worker_pool_threads() > 0) {
            EXPECT_TRUE(a.on_workers.load() > 0 && b.on_workers.load() > 0) << round;
        }
    }
    const std::size_t workers = worker_pool_threads();
    ASSERT_EQ(workers, worker_pool_concurrency() - 1);

    // A worker that cannot ready itself for module c leaves instead of
    // running c's chunks, and no worker starts while c's set-up fails: c's
    // batches complete on the caller. Once it works again, the next batch
    // of any module starts the missing workers.
    refuse_c = true;
    for (int round = 0; round < 3; ++round) {
        Probe c;
        run_batch(c, &set_up_c, n);
        EXPECT_EQ(c.on_workers.load(), 0) << round;
    }
    refuse_c = false;
    Probe a{+[] { return &t_ready_a; }};
    run_batch(a, &set_up_a, n);
    EXPECT_EQ(a.unready.load(), 0);
    EXPECT_EQ(worker_pool_threads(), workers);
}

TEST(Runtime, OneInstructionSetChoiceForEveryModule) {
    // Another module asks later with a choice of its own: it gets the set
    // the process chose, or the one a test forced.
    auto narrowest = +[]() { return 0; };
    const int chosen = static_cast<int>(active_instruction_set());
    EXPECT_EQ(tavik_runtime_instruction_set(narrowest), chosen);
    test::for_each_instruction_set([&](const char* name) {
        SCOPED_TRACE(name);
        EXPECT_EQ(tavik_runtime_instruction_set(narrowest), static_cast<int>(active_instruction_set()));
    });
    EXPECT_EQ(tavik_runtime_instruction_set(narrowest), chosen);
}

}  // namespace
}  // namespace tavik
