// Per-object borrow state: shared (read) or exclusive (write) access.
//
// One atomic counter per instance holds the number of shared accesses in
// progress, or kExclusive while one exclusive access is. It changes only
// through the RAII guards below, is checked before any mutation, and never
// goes negative. Conflicts cannot wait: they fail at once with RuntimeError,
// because the thread holding the access may be the one that released the
// interpreter lock we would need to wait on.
#pragma once

#include <atomic>
#include <cstdint>

#include "messages.hpp"
#include "bindings/tavik/errors.hpp"

namespace tavik::py {

class BorrowState {
public:
    static constexpr std::uint64_t kExclusive = UINT64_MAX;

    bool try_shared() noexcept {
        std::uint64_t cur = count_.load(std::memory_order_relaxed);
        do {
            if (cur >= kExclusive - 1) return false;
        } while (!count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        std::uint64_t expected = 0;
        return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uint64_t> count_{0};
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowState& s) : s_(s) {
        if (!s_.try_shared()) raise_runtime_error(messages::kAlreadyMutablyBorrowed);
    }
    ~SharedBorrow() { s_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowState& s_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowState& s) : s_(s) {
        if (!s_.try_exclusive()) raise_runtime_error(messages::kAlreadyBorrowed);
    }
    ~ExclusiveBorrow() { s_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowState& s_;
};

}  // namespace tavik::py
