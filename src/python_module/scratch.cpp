#include "python_module/scratch.hpp"

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
    own_ = std::make_unique_for_overwrite<double[]>(n);
    data_ = own_.get();
}

ScratchDoubles::~ScratchDoubles() {
    if (slot_ >= 0) t_blocks.in_use[slot_] = false;
}

}  // namespace tavik::py
