// The process's runtime seen from Python, for the tests: a batch on the
// shared pool whose chunks fail on worker threads.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <utility>

#include <nanobind/nanobind.h>

#include "bindings.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "parallel/worker_pool.hpp"

namespace nb = nanobind;

namespace {

// n elements on the pool: every chunk that a worker runs throws, and the
// calling thread's first chunk waits (up to a second) until one has, so
// that the error crosses from a worker whenever the pool has one. Returns
// whether a worker threw (the error then raises instead).
bool failing_batch(std::size_t n) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> thrown{false};
    bool waited = false;
    nb::gil_scoped_release unlocked;
    tavik::parallel_map(n, 1, [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() != caller) {
            thrown.store(true);
            tavik::fatal(tavik::messages::kWorkerChunkFailed);
        }
        if (std::exchange(waited, true)) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!thrown.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    });
    return thrown.load();
}

}  // namespace

void bind_runtime(nb::module_& m) {
    m.def("_failing_batch", &failing_batch, nb::arg("n"),
          "Tests: a batch of n elements whose chunks fail on the worker threads.");
}
