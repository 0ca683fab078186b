// Unnormalised Legendre polynomials P_0 ... P_d on [-1, 1] (P_k(1) = 1,
// P_k(-1) = (-1)^k) and their derivatives, written once over the lane type
// (simd_lanes.hpp) for the single-time operations, the batch kernels and the
// Lagrange-to-Legendre matrix alike.
//
// Values by the three-term recurrence
//   P_(j+1) = (P_j * (xi * (2j + 1)) - P_(j-1) * j) / (j + 1),
// with j, 2j + 1 (formed as j + j + 1) and j + 1 as doubles and the
// operations in exactly this order: every consumer must produce the same bits.
//
// Derivatives with respect to xi: P_0' = 0, P_1' = 1, and for k >= 2 the
// guarded quotient
//   ((xi * P_k - P_(k-1)) * k) / ((xi * xi - 1) + kQuotientGuard),
// whose guard keeps the denominator non-zero. Within kEndZone of +-1 that
// quotient loses all accuracy (and at +-1 it is 0 instead of the end slope),
// so there the exact recurrence P'_(k+1) = P'_(k-1) + (2k + 1) P_k takes over;
// at +-1 it gives k(k+1)/2 and (-1)^(k+1) k(k+1)/2 exactly.
#pragma once

#include <cstdint>

#include "kernels/simd_lanes.hpp"

namespace tavik {

inline constexpr double kQuotientGuard = 1e-15;
inline constexpr double kEndZone = 1.0 / 1024.0;

// A degree fixed only at run time (the walks below take it as an argument).
inline constexpr int kAnyDegree = -1;

// P_(j+1) from P_j = cur and P_(j-1) = prev, for j >= 1.
template <class L>
[[gnu::always_inline]] inline L legendre_next(L cur, L prev, L xi, double j) noexcept {
    return divide_by_count(cur * (xi * (j + j + 1.0)) - prev * j, j + 1.0);
}

// Walks P_0, P_1, ... one degree per step, keeping only the last two values,
// so evaluating any degree allocates nothing.
class LegendreRecurrence {
public:
    explicit LegendreRecurrence(double xi) noexcept : xi_(xi), prev_(1.0), cur_(1.0), k_(0) {}

    std::uint64_t degree() const noexcept { return k_; }
    double value() const noexcept { return cur_; }       // P_k
    double previous() const noexcept { return prev_; }   // P_(k-1); meaningless for k = 0

    void advance() noexcept {
        const double next = k_ == 0 ? xi_ : legendre_next(cur_, prev_, xi_, static_cast<double>(k_));
        prev_ = cur_;
        cur_ = next;
        ++k_;
    }

private:
    double xi_;
    double prev_;
    double cur_;
    std::uint64_t k_;
};

// P_k(xi) for one k, by running the recurrence from P_0.
inline double legendre_value(std::uint64_t k, double xi) noexcept {
    LegendreRecurrence r(xi);
    for (std::uint64_t i = 0; i < k; ++i) r.advance();
    return r.value();
}

// Calls emit(k, P_k(xi)) for k = 0 ... last in increasing k, last = D when
// the degree D is fixed at compile time (the loop then unrolls and every j
// is a constant), else `degree`. O(last) operations, no allocation.
template <int D, class L, class Emit>
[[gnu::always_inline]] inline void for_each_legendre_value(L xi, std::uint64_t degree, Emit&& emit) {
    const std::uint64_t last = D == kAnyDegree ? degree : static_cast<std::uint64_t>(D);
    L prev = broadcast<L>(1.0);
    L cur = prev;
#pragma GCC unroll 16
    for (std::uint64_t k = 0; k <= last; ++k) {
        emit(k, cur);
        if (k == last) break;
        const L next = k == 0 ? xi : legendre_next(cur, prev, xi, static_cast<double>(k));
        prev = cur;
        cur = next;
    }
}

// Calls emit(k, P_k'(xi)) for k = 0 ... last in increasing k, with last as in
// for_each_legendre_value. Each lane takes the guarded quotient or, within
// kEndZone of +-1, the end-slope recurrence; lanes compute both and keep
// their own.
template <int D, class L, class Emit>
[[gnu::always_inline]] inline void for_each_legendre_derivative(L xi, std::uint64_t degree, Emit&& emit) {
    const std::uint64_t last = D == kAnyDegree ? degree : static_cast<std::uint64_t>(D);
    const auto near_end = (1.0 - abs_lanes(xi)) < kEndZone;
    const L denominator = (xi * xi - 1.0) + kQuotientGuard;
    L prev = broadcast<L>(1.0);
    L cur = prev;
    L d_prev = broadcast<L>(0.0);  // P'_(k-1) by the end-slope recurrence
    L d_cur = d_prev;              // P'_k by the end-slope recurrence
#pragma GCC unroll 16
    for (std::uint64_t k = 0; k <= last; ++k) {
        const double kd = static_cast<double>(k);
        if (k == 0) {
            emit(k, broadcast<L>(0.0));
        } else if (k == 1) {
            emit(k, broadcast<L>(1.0));
        } else {
            const L quotient = ((xi * cur - prev) * kd) / denominator;
            emit(k, select(near_end, d_cur, quotient));
        }
        if (k == last) break;
        const L d_next = k == 0 ? broadcast<L>(1.0) : d_prev + (kd + kd + 1.0) * cur;
        d_prev = d_cur;
        d_cur = d_next;
        const L next = k == 0 ? xi : legendre_next(cur, prev, xi, kd);
        prev = cur;
        cur = next;
    }
}

}  // namespace tavik
