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

}  // namespace tavik
