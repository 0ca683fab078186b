// Size arithmetic for counts that arrive from Python unchecked.
//
// Any unsigned 64-bit value up to 2^64 - 1 can reach the core, so products
// such as n_t * degree + 1 may wrap, and a count that fits in 64 bits may
// still be too large for one array. Both are refused with a FatalError before
// anything is allocated; a describable size that the system cannot supply is
// left to std::bad_alloc, which the binding reports as MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

inline std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) fatal(messages::kCapacityOverflow);
    return r;
}

inline std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) fatal(messages::kCapacityOverflow);
    return r;
}

// Counts that describe a size before anything is sized (a matrix's shape,
// say) saturate instead: 2^64 - 1 stands for that count or any larger one,
// which no array can hold, so checked_array_length or an index-width test
// refuses it later with the text above.
inline constexpr std::uint64_t kSaturatedCount = UINT64_MAX;

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? kSaturatedCount : r;
}

constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? kSaturatedCount : r;
}

// n * (k + 1), the element count of n rows of k + 1 columns, or nothing when
// it does not fit in 64 bits (k + 1 itself may not; n = 0 still gives 0).
inline std::optional<std::uint64_t> product_with_successor(std::uint64_t n, std::uint64_t k) {
    if (k == UINT64_MAX) return n == 0 ? std::optional<std::uint64_t>(0) : std::nullopt;
    std::uint64_t r;
    if (__builtin_mul_overflow(n, k + 1, &r)) return std::nullopt;
    return r;
}

// Refuses an element count whose byte size exceeds what one allocation can
// describe (std::vector would throw std::length_error instead, which is not
// an out-of-memory condition and would reach the caller as a foreign error).
template <class T>
inline std::uint64_t checked_array_length(std::uint64_t n) {
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(T);
    if (n > limit) fatal(messages::kCapacityOverflow);
    return n;
}

}  // namespace tavik
