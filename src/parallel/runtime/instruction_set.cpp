// The process's choice of instruction set (runtime.h): the kernels are
// compiled into every module, the choice is made once.
#include <atomic>

#include "parallel/runtime/runtime.h"

namespace {

// -1: none forced; otherwise the forced set. The process's choice, once made.
std::atomic<int> g_forced_set{-1};
std::atomic<int> g_chosen_set{-1};

}  // namespace

extern "C" {

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
