// Unnormalised Legendre polynomials P_0 ... P_d on [-1, 1] (P_k(1) = 1,
// P_k(-1) = (-1)^k) by the three-term recurrence
//   P_(j+1) = (P_j * (xi * (2j + 1)) - P_(j-1) * j) / (j + 1),
// with j, 2j + 1 (formed as j + j + 1) and j + 1 as doubles and the
// operations in exactly this order: every consumer (evaluation, the
// Lagrange-to-Legendre matrix) must produce the same bits.
#pragma once

#include <cstdint>

namespace tavik {

// Walks P_0, P_1, ... one degree per step, keeping only the last two values,
// so evaluating any degree allocates nothing.
class LegendreRecurrence {
public:
    explicit LegendreRecurrence(double xi) noexcept : xi_(xi), prev_(1.0), cur_(1.0), k_(0) {}

    std::uint64_t degree() const noexcept { return k_; }
    double value() const noexcept { return cur_; }       // P_k
    double previous() const noexcept { return prev_; }   // P_(k-1); meaningless for k = 0

    void advance() noexcept {
        if (k_ == 0) {
            prev_ = cur_;
            cur_ = xi_;
        } else {
            const double j = static_cast<double>(k_);
            const double next = (cur_ * (xi_ * (j + j + 1.0)) - prev_ * j) / (j + 1.0);
            prev_ = cur_;
            cur_ = next;
        }
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

// P_0 ... P_d at xi into p[0 .. d], by LegendreRecurrence (same bits).
inline void legendre_values(double xi, std::uint64_t d, double* p) noexcept {
    LegendreRecurrence r(xi);
    for (std::uint64_t k = 0;; ++k) {
        p[k] = r.value();
        if (k == d) break;
        r.advance();
    }
}

// P_0' ... P_d' (derivatives with respect to xi) into dp[0 .. d], by the
// recurrence
//   P'_0 = 0, P'_1 = 1, P'_(k+1) = P'_(k-1) + (2k + 1) P_k,
// with 2k + 1 formed as k + k + 1 and P_k from LegendreRecurrence. It has no
// division, so it needs no guard against 1 - xi^2 = 0: the end slopes come
// out exactly (k(k+1)/2 at 1) and the interior values within a few ulps of
// max |P'_k| = k(k+1)/2.
inline void legendre_derivatives(double xi, std::uint64_t d, double* dp) noexcept {
    LegendreRecurrence r(xi);
    double previous = 0.0;  // P'_(k-1)
    double current = 0.0;   // P'_k
    for (std::uint64_t k = 0;; ++k) {
        dp[k] = current;
        if (k == d) break;
        const double kd = static_cast<double>(k);
        const double next = k == 0 ? 1.0 : previous + (kd + kd + 1.0) * r.value();
        previous = current;
        current = next;
        r.advance();
    }
}

}  // namespace tavik
