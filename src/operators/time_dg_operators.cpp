#include "operators/time_dg_operators.hpp"

#include "checked_size.hpp"
#include "fatal_error.hpp"

namespace tavik {

namespace {

std::uint64_t space_size(std::uint64_t degree, std::uint64_t n_t) {
    if (n_t == 0) fatal("Legendre operators require at least one interval");
    return checked_mul(n_t, checked_add(degree, 1));
}

}  // namespace

template <class Index>
CsrArrays<Index> legendre_mass_matrix(std::uint64_t degree, std::uint64_t n_t, double h) {
    const std::uint64_t n = space_size(degree, n_t);
    CsrRowBuilder<Index> out(n, n, n);
    for (std::uint64_t c = 0; c < n_t; ++c) {
        for (std::uint64_t k = 0; k <= degree; ++k) {
            out.add(c * (degree + 1) + k, h / static_cast<double>(2 * k + 1));
            out.end_row();
        }
    }
    return std::move(out).finish();
}

template <class Index>
CsrArrays<Index> legendre_derivative_matrix(std::uint64_t degree, std::uint64_t n_t) {
    const std::uint64_t n = space_size(degree, n_t);
    const std::uint64_t width = degree + 1;
    // (d + 1)^2 / 4 rounded up bounds the pairs i < j with i + j odd.
    CsrRowBuilder<Index> out(n, n, checked_mul(n_t, checked_mul(width, width) / 4 + 1));
    for (std::uint64_t c = 0; c < n_t; ++c) {
        for (std::uint64_t i = 0; i <= degree; ++i) {
            for (std::uint64_t j = i + 1; j <= degree; j += 2) out.add(c * width + j, 2.0);
            out.end_row();
        }
    }
    return std::move(out).finish();
}

template <class Index>
CsrArrays<Index> legendre_jump_matrix(std::uint64_t degree, std::uint64_t n_t, bool periodic) {
    const std::uint64_t n = space_size(degree, n_t);
    const std::uint64_t width = degree + 1;
    CsrRowBuilder<Index> out(n, n, checked_mul(n, checked_mul(width, 2)));
    for (std::uint64_t c = 0; c < n_t; ++c) {
        const bool has_left = c > 0 || periodic;
        const std::uint64_t left = c > 0 ? c - 1 : n_t - 1;
        for (std::uint64_t i = 0; i <= degree; ++i) {
            const double v_plus = i % 2 ? -1.0 : 1.0;  // v(t_c^+) = P_i(-1)
            // -u(t_c^-) v(t_c^+): u(t_c^-) = sum_j u_(c-1, j) P_j(1).
            if (has_left) {
                for (std::uint64_t j = 0; j <= degree; ++j) out.add(left * width + j, -v_plus);
            }
            // u(t_c^+) v(t_c^+) = sum_j u_(c, j) P_j(-1) P_i(-1).
            for (std::uint64_t j = 0; j <= degree; ++j) out.add(c * width + j, (i + j) % 2 ? -1.0 : 1.0);
            out.end_row();
        }
    }
    return std::move(out).finish();
}

#define TAVIK_INSTANTIATE(Index)                                                                               \
    template CsrArrays<Index> legendre_mass_matrix<Index>(std::uint64_t, std::uint64_t, double);             \
    template CsrArrays<Index> legendre_derivative_matrix<Index>(std::uint64_t, std::uint64_t);               \
    template CsrArrays<Index> legendre_jump_matrix<Index>(std::uint64_t, std::uint64_t, bool);
TAVIK_INSTANTIATE(std::int32_t)
TAVIK_INSTANTIATE(std::int64_t)
#undef TAVIK_INSTANTIATE

}  // namespace tavik
