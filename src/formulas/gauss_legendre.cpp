// Gauss-Legendre nodes by Newton's method from Tricomi-like initial guesses,
// in long double so that the double results are rounded only once.
#include "formulas/gauss_legendre.hpp"

#include <cmath>
#include <limits>
#include <numbers>

#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

static_assert(std::numeric_limits<long double>::digits >= 64,
              "quadrature and the local Lagrange-to-Legendre matrix need extended precision");

GaussLegendreRuleExtended gauss_legendre_extended(std::uint64_t n) {
    if (n < 1 || n > max_gauss_legendre_points) {
        fatal(messages::filled(messages::kGaussLegendrePoints, max_gauss_legendre_points));
    }
    GaussLegendreRuleExtended rule;
    rule.nodes.assign(n, 0.0L);
    rule.weights.assign(n, 0.0L);
    const long double nl = static_cast<long double>(n);
    // Roots come in pairs +-x; compute the positive ones (and 0 for odd n)
    // and mirror them, so the rule is symmetric exactly.
    for (std::uint64_t i = 0; i < (n + 1) / 2; ++i) {
        // i-th largest root, initial guess cos(pi (i + 3/4) / (n + 1/2)).
        long double x = std::cos(std::numbers::pi_v<long double> * (static_cast<long double>(i) + 0.75L) / (nl + 0.5L));
        long double derivative = 1.0L;
        for (int iteration = 0; iteration < 100; ++iteration) {
            long double p_prev = 1.0L, p = x;
            for (std::uint64_t k = 1; k < n; ++k) {
                const long double kl = static_cast<long double>(k);
                const long double next = ((2.0L * kl + 1.0L) * x * p - kl * p_prev) / (kl + 1.0L);
                p_prev = p;
                p = next;
            }
            derivative = nl * (x * p - p_prev) / (x * x - 1.0L);
            const long double step = p / derivative;
            x -= step;
            if (std::fabs(step) <= 4.0L * std::numeric_limits<long double>::epsilon() * std::fabs(x)) break;
        }
        if (2 * i + 1 == n) x = 0.0L;  // the middle root of an odd rule
        // Weight from the derivative at the converged root.
        long double p_prev = 1.0L, p = x;
        for (std::uint64_t k = 1; k < n; ++k) {
            const long double kl = static_cast<long double>(k);
            const long double next = ((2.0L * kl + 1.0L) * x * p - kl * p_prev) / (kl + 1.0L);
            p_prev = p;
            p = next;
        }
        derivative = n == 1 ? 1.0L : nl * (x * p - p_prev) / (x * x - 1.0L);
        const long double weight = 2.0L / ((1.0L - x * x) * derivative * derivative);
        rule.nodes[n - 1 - i] = x;
        rule.nodes[i] = -x;
        rule.weights[n - 1 - i] = weight;
        rule.weights[i] = weight;
    }
    return rule;
}

GaussLegendreRule gauss_legendre(std::uint64_t n) {
    const GaussLegendreRuleExtended extended = gauss_legendre_extended(n);
    GaussLegendreRule rule;
    rule.nodes.assign(extended.nodes.begin(), extended.nodes.end());
    rule.weights.assign(extended.weights.begin(), extended.weights.end());
    return rule;
}

}  // namespace tavik
