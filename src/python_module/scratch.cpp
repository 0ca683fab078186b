#include "python_module/scratch.hpp"

#include <atomic>

namespace tavik::py {

namespace {

struct ThreadBlocks {
    static constexpr int kSlots = 2;
    std::unique_ptr<double[]> block[kSlots];
    std::size_t capacity[kSlots] = {};
    bool in_use[kSlots] = {};
};

thread_local ThreadBlocks t_blocks;

// The process's one block for larger calls. Taken and given back without
// blocking (a call that finds it taken allocates for itself), so a fork()
// child never waits for a thread that did not survive the fork.
struct SharedBlock {
    std::atomic<bool> taken{false};
    std::unique_ptr<double[]> block;  // owned by whoever took the block
    std::size_t capacity = 0;
};

SharedBlock g_shared;

}  // namespace

ScratchDoubles::ScratchDoubles(std::size_t n) : size_(n) {
    if (n == 0) return;
    if (n <= kKeptDoubles) {
        for (int s = 0; s < ThreadBlocks::kSlots; ++s) {
            if (t_blocks.in_use[s]) continue;
            if (t_blocks.capacity[s] < n) {
                t_blocks.block[s].reset();
                t_blocks.capacity[s] = 0;
                t_blocks.block[s] = std::make_unique_for_overwrite<double[]>(n);
                t_blocks.capacity[s] = n;
            }
            t_blocks.in_use[s] = true;
            slot_ = s;
            data_ = t_blocks.block[s].get();
            return;
        }
    }
    if (n <= kSharedDoubles && !g_shared.taken.exchange(true, std::memory_order_acquire)) {
        try {
            if (g_shared.capacity < n) {
                g_shared.block.reset();
                g_shared.capacity = 0;
                g_shared.block = std::make_unique_for_overwrite<double[]>(n);
                g_shared.capacity = n;
            }
        } catch (...) {
            g_shared.taken.store(false, std::memory_order_release);
            throw;
        }
        shared_ = true;
        data_ = g_shared.block.get();
        return;
    }
    own_ = std::make_unique_for_overwrite<double[]>(n);
    data_ = own_.get();
}

ScratchDoubles::~ScratchDoubles() {
    if (slot_ >= 0) t_blocks.in_use[slot_] = false;
    if (shared_) g_shared.taken.store(false, std::memory_order_release);
}

}  // namespace tavik::py
