// Prolongation by exact node location and Lagrange-to-Legendre by Gauss
// projection; see lagrange_matrices_exact.hpp for the conventions.
#include "bases/lagrange_matrices_exact.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "formulas/gauss_legendre.hpp"
#include "bases/lagrange_basis.hpp"

namespace tavik {

namespace {

// `refusal` is the degree-limit text of the matrix (messages::degree_limit).
void check_degree(std::uint64_t degree, std::uint64_t limit, const char* refusal) {
    if (degree == 0) fatal(messages::kLagrangeMatrixDegreeZero);
    if (degree > limit) fatal(messages::degree_limit(refusal, degree, limit));
}

double factorial(std::uint64_t n) noexcept {
    double f = 1.0;
    for (std::uint64_t m = 2; m <= n; ++m) f *= static_cast<double>(m);  // exact up to 18!
    return f;
}

}  // namespace

CsrShape exact_prolongation_shape(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine,
                                  bool periodic) noexcept {
    const std::uint64_t rows = lagrange_dofs(degree, nt_fine, periodic);
    return {rows, lagrange_dofs(degree, nt_coarse, periodic), saturating_mul(rows, saturating_add(degree, 1))};
}

CsrShape lagrange_to_legendre_shape(std::uint64_t degree, std::uint64_t n_t, bool periodic) noexcept {
    const std::uint64_t width = saturating_add(degree, 1);
    const std::uint64_t rows = saturating_mul(n_t, width);
    return {rows, lagrange_dofs(degree, n_t, periodic), saturating_mul(rows, width)};
}

template <class Index>
CsrArrays<Index> exact_lagrange_prolongation(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine,
                                             bool periodic) {
    const std::uint64_t d = degree;
    check_degree(d, max_exact_prolongation_degree, messages::kLagrangeDegreeLimit);
    if (nt_coarse == 0) fatal(messages::kProlongationCoarse);
    if (nt_fine == 0) fatal(messages::kProlongationFine);
    const CsrShape shape = exact_prolongation_shape(d, nt_coarse, nt_fine, periodic);
    // The builder refuses rows beyond Index, so beyond INT64_MAX: numerators
    // below are s + (q - m) nt_fine with |.| < d nt_fine < rows.
    CsrRowBuilder<Index> out(shape);
    const std::uint64_t rows = shape.nrows;
    const std::uint64_t cols = shape.ncols;

    // Fine node w sits at coarse node position g + s / nt_fine, g = E d + q
    // (interval E, local node q < d, remainder 0 <= s < nt_fine). Stepping w
    // by one adds nt_coarse / nt_fine, split the same way once here.
    const std::uint64_t s_step = nt_coarse % nt_fine;
    const std::uint64_t g_step = nt_coarse / nt_fine;
    const std::uint64_t q_step = g_step % d;
    const std::uint64_t e_step = g_step / d;
    const double n_f = static_cast<double>(nt_fine);

    // w_k = prod_(m != k) (k - m) = (-1)^(d - k) k! (d - k)!, exact.
    std::vector<double> denominators(d + 1);
    for (std::uint64_t k = 0; k <= d; ++k) {
        denominators[k] = ((d - k) % 2 ? -1.0 : 1.0) * factorial(k) * factorial(d - k);
    }
    std::vector<double> t(d + 1);
    const bool single_periodic = periodic && nt_coarse == 1;

    std::uint64_t E = 0, q = 0, s = 0;
    for (std::uint64_t w = 0; w < rows; ++w) {
        if (w > 0) {
            s += s_step;
            std::uint64_t carry = 0;
            if (s >= nt_fine) {
                s -= nt_fine;
                carry = 1;
            }
            q += q_step + carry;
            E += e_step;
            if (q >= d) {
                q -= d;
                ++E;
            }
        }
        if (s == 0) {
            // On a coarse node; the last node of a closed mesh is local node
            // d of the last interval.
            const std::uint64_t node = E * d + q;
            out.add(periodic ? node % cols : node, 1.0);
            out.end_row();
            continue;
        }
        // y - m = (s + (q - m) nt_fine) / nt_fine, the numerator exact.
        double product = 1.0;
        for (std::uint64_t m = 0; m <= d; ++m) {
            const auto numerator = static_cast<std::int64_t>(s) +
                                   (static_cast<std::int64_t>(q) - static_cast<std::int64_t>(m)) *
                                       static_cast<std::int64_t>(nt_fine);
            t[m] = static_cast<double>(numerator) / n_f;
            product *= t[m];
        }
        const std::uint64_t first = E * d;
        if (single_periodic) {
            // l_0 + l_d = P (t_d + (-1)^d t_0) / (t_0 t_d (-1)^d d!), where
            // t_d + t_0 = (2 (s + q n_f) - d n_f) / n_f is formed exactly.
            const double sum_of_ends =
                d % 2 ? -static_cast<double>(d)
                      : static_cast<double>(2 * static_cast<std::int64_t>(s + q * nt_fine) -
                                            static_cast<std::int64_t>(d * nt_fine)) /
                            n_f;
            out.add(0, product * sum_of_ends / (t[0] * t[d] * (d % 2 ? -1.0 : 1.0) * factorial(d)));
            for (std::uint64_t k = 1; k < d; ++k) out.add(k, product / (t[k] * denominators[k]));
        } else {
            for (std::uint64_t k = 0; k <= d; ++k) {
                const std::uint64_t column = first + k;
                out.add(periodic ? column % cols : column, product / (t[k] * denominators[k]));
            }
        }
        out.end_row();
    }
    return std::move(out).finish();
}

std::vector<double> lagrange_to_legendre_local(std::uint64_t degree) {
    check_degree(degree, max_exact_lagrange_to_legendre_degree, messages::kLagrangeToLegendreDegreeLimit);
    return lagrange_accuracy_internals::lagrange_to_legendre_projection(degree);
}

std::vector<double> lagrange_accuracy_internals::lagrange_to_legendre_projection(std::uint64_t degree) {
    const std::uint64_t d = degree;
    if (d == 0) fatal(messages::kLagrangeMatrixDegreeZero);
    if (d > max_measured_degree) fatal(messages::filled(messages::kMeasuredDegreeLimit, max_measured_degree));
    const std::uint64_t n = d + 1;
    const GaussLegendreRuleExtended rule = gauss_legendre_extended(n);
    std::vector<double> L(n * n, 0.0);
    const long double half_d = static_cast<long double>(d) / 2.0L;
    for (std::uint64_t j = 0; 2 * j <= d; ++j) {
        const long double jl = static_cast<long double>(j);
        for (std::uint64_t k = 0; k <= d; ++k) {
            if (2 * j == d && k % 2 == 1) continue;  // l_(d/2) is even, P_k odd
            long double sum = 0.0L, magnitude = 0.0L;
            for (std::uint64_t p = 0; p < n; ++p) {
                const long double x = rule.nodes[p];
                const long double y = (x + 1.0L) * half_d;  // node units
                long double l = 1.0L;
                for (std::uint64_t m = 0; m <= d; ++m) {
                    const long double ml = static_cast<long double>(m);
                    if (m != j) l *= (y - ml) / (jl - ml);
                }
                long double p_prev = 1.0L, p_k = 1.0L;
                for (std::uint64_t i = 0; i < k; ++i) {
                    const long double il = static_cast<long double>(i);
                    const long double next = i == 0 ? x : ((2.0L * il + 1.0L) * x * p_k - il * p_prev) / (il + 1.0L);
                    p_prev = p_k;
                    p_k = next;
                }
                const long double term = rule.weights[p] * l * p_k;
                sum += term;
                magnitude += std::fabs(term);
            }
            // A sum within its own rounding bound of zero is an exact zero
            // that the symmetry does not explain (degree 6 has two); every
            // true entry lies far above that bound at the accepted degrees.
            if (std::fabs(sum) <= 64.0L * std::numeric_limits<long double>::epsilon() * magnitude) sum = 0.0L;
            const double value = static_cast<double>(sum * (2.0L * static_cast<long double>(k) + 1.0L) / 2.0L);
            L[k * n + j] = value;
            L[k * n + (d - j)] = k % 2 ? -value : value;
        }
    }
    return L;
}

template <class Index>
CsrArrays<Index> lagrange_to_legendre_csr(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    const std::uint64_t d = degree;
    check_degree(d, max_exact_lagrange_to_legendre_degree, messages::kLagrangeToLegendreDegreeLimit);
    if (n_t == 0) fatal(messages::kMeshNoIntervals);
    const std::uint64_t n = d + 1;
    const CsrShape shape = lagrange_to_legendre_shape(d, n_t, periodic);
    const std::uint64_t cols = shape.ncols;
    const std::vector<double> L = lagrange_to_legendre_local(d);
    CsrRowBuilder<Index> out(shape);
    for (std::uint64_t c = 0; c < n_t; ++c) {
        for (std::uint64_t k = 0; k < n; ++k) {
            for (std::uint64_t j = 0; j < n; ++j) {
                const std::uint64_t column = c * d + j;
                out.add(periodic ? column % cols : column, L[k * n + j]);
            }
            out.end_row();
        }
    }
    return std::move(out).finish();
}

template CsrArrays<std::int32_t> exact_lagrange_prolongation<std::int32_t>(std::uint64_t, std::uint64_t,
                                                                           std::uint64_t, bool);
template CsrArrays<std::int64_t> exact_lagrange_prolongation<std::int64_t>(std::uint64_t, std::uint64_t,
                                                                           std::uint64_t, bool);
template CsrArrays<std::int32_t> lagrange_to_legendre_csr<std::int32_t>(std::uint64_t, std::uint64_t, bool);
template CsrArrays<std::int64_t> lagrange_to_legendre_csr<std::int64_t>(std::uint64_t, std::uint64_t, bool);

}  // namespace tavik
