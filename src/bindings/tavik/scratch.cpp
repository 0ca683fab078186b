#include "bindings/tavik/scratch.hpp"

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

}  // namespace

// The process's blocks for larger calls (a batch call takes two: times and
// results). Taken and given back without blocking (a call that finds them
// taken allocates for itself), so a fork() child never waits for a thread
// that did not survive the fork.
struct SharedScratchBlock {
    std::atomic<bool> taken{false};
    std::unique_ptr<double[]> block;  // owned by whoever took the block
    std::size_t capacity = 0;
};

namespace {

SharedScratchBlock g_shared[2];

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
    if (n <= kSharedDoubles) {
        for (SharedScratchBlock& shared : g_shared) {
            if (shared.taken.exchange(true, std::memory_order_acquire)) continue;
            try {
                if (shared.capacity < n) {
                    shared.block.reset();
                    shared.capacity = 0;
                    shared.block = std::make_unique_for_overwrite<double[]>(n);
                    shared.capacity = n;
                }
            } catch (...) {
                shared.taken.store(false, std::memory_order_release);
                throw;
            }
            shared_ = &shared;
            data_ = shared.block.get();
            return;
        }
    }
    own_ = std::make_unique_for_overwrite<double[]>(n);
    data_ = own_.get();
}

ScratchDoubles::~ScratchDoubles() {
    if (slot_ >= 0) t_blocks.in_use[slot_] = false;
    if (shared_ != nullptr) shared_->taken.store(false, std::memory_order_release);
}

}  // namespace tavik::py
