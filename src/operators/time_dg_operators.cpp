#include "operators/time_dg_operators.hpp"

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

namespace {

std::uint64_t space_size(std::uint64_t degree, std::uint64_t n_t) noexcept {
    return saturating_mul(n_t, saturating_add(degree, 1));
}

void require_intervals(std::uint64_t n_t) {
    if (n_t == 0) fatal(messages::kMeshNoIntervals);
}

}  // namespace

CsrShape legendre_mass_shape(std::uint64_t degree, std::uint64_t n_t) noexcept {
    const std::uint64_t n = space_size(degree, n_t);
    return {n, n, n};
}

CsrShape legendre_derivative_shape(std::uint64_t degree, std::uint64_t n_t) noexcept {
    const std::uint64_t n = space_size(degree, n_t);
    // (d + 1)^2 / 4 rounded up bounds the pairs i < j with i + j odd; a
    // saturated square stays saturated.
    const std::uint64_t square = saturating_mul(saturating_add(degree, 1), saturating_add(degree, 1));
    const std::uint64_t pairs = square == kSaturatedCount ? kSaturatedCount : square / 4 + 1;
    return {n, n, saturating_mul(n_t, pairs)};
}

CsrShape legendre_jump_shape(std::uint64_t degree, std::uint64_t n_t) noexcept {
    const std::uint64_t n = space_size(degree, n_t);
    return {n, n, saturating_mul(n, saturating_mul(saturating_add(degree, 1), 2))};
}

CsrShape legendre_basis_matrix_shape(std::uint64_t degree, std::uint64_t n_t, std::uint64_t times) noexcept {
    return {times, space_size(degree, n_t), saturating_mul(times, saturating_add(degree, 1))};
}

template <class Index>
CsrArrays<Index> legendre_mass_matrix(std::uint64_t degree, std::uint64_t n_t, double h) {
    require_intervals(n_t);
    CsrRowBuilder<Index> out(legendre_mass_shape(degree, n_t));
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
    require_intervals(n_t);
    CsrRowBuilder<Index> out(legendre_derivative_shape(degree, n_t));
    const std::uint64_t width = degree + 1;
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
    require_intervals(n_t);
    CsrRowBuilder<Index> out(legendre_jump_shape(degree, n_t));
    const std::uint64_t width = degree + 1;
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
