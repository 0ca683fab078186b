// Per-thread scratch storage for batch calls.
//
// A batch call needs the copied times and room for two pieces of results
// (LegendreBatchStream) only until it has built its result list. Fresh
// allocations above the allocator's mmap threshold fault in every page on
// every call, which costs as much as evaluating a small batch; a calling
// thread therefore keeps its blocks between calls, two of at most
// kKeptDoubles each (1 MiB in all, freed when the thread ends). Blocks up to
// kSharedDoubles (the times of a batch of a million) come from two blocks
// the process keeps for whichever call finds them free (16 MiB at most);
// anything else is allocated for the call alone. Contents are unspecified: users overwrite every element.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace tavik::py {

struct SharedScratchBlock;

class ScratchDoubles {
public:
    static constexpr std::size_t kKeptDoubles = std::size_t{1} << 16;    // 512 KiB per block
    static constexpr std::size_t kSharedDoubles = std::size_t{1} << 20;  // 8 MiB

    explicit ScratchDoubles(std::size_t n);
    ~ScratchDoubles();
    ScratchDoubles(const ScratchDoubles&) = delete;
    ScratchDoubles& operator=(const ScratchDoubles&) = delete;

    std::span<double> span() const noexcept { return {data_, size_}; }

private:
    double* data_ = nullptr;
    std::size_t size_ = 0;
    int slot_ = -1;                   // index of the thread's cached block in use, or -1
    SharedScratchBlock* shared_ = nullptr;  // the process's shared block this holds, or nullptr
    std::unique_ptr<double[]> own_;  // storage of a batch too large to keep
};

}  // namespace tavik::py
