// Nodal points and interpolation of the Lagrange space on a mesh of nodes;
// see lagrange_on_nodes.hpp for the conventions.
#include "bases/lagrange_on_nodes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "bases/lagrange_basis.hpp"
#include "bases/lagrange_matrices_exact.hpp"

namespace tavik {

std::vector<double> lagrange_points_on_nodes(std::uint64_t degree, std::span<const double> nodes, bool periodic) {
    const std::uint64_t d = degree;
    if (d == 0) fatal(messages::kLagrangeMatrixDegreeZero);
    if (nodes.size() < 2) fatal(messages::kMeshNoIntervals);
    const std::uint64_t n = nodes.size() - 1;
    std::vector<double> points(checked_array_length<double>(lagrange_dofs(d, n, periodic)));
    const double D = static_cast<double>(d);
    std::uint64_t p = 0;
    for (std::uint64_t c = 0; c < n; ++c) {
        const double a = nodes[c];
        const double step = nodes[c + 1] - a;
        points[p++] = a;
        for (std::uint64_t j = 1; j < d; ++j) points[p++] = a + (step * static_cast<double>(j)) / D;
    }
    if (!periodic) points[p] = nodes[n];
    return points;
}

CsrShape interpolation_to_points_shape(std::uint64_t degree, std::uint64_t n_points, std::uint64_t n_dofs) noexcept {
    return {n_points, n_dofs, saturating_mul(n_points, saturating_add(degree, 1))};
}

template <class Index>
CsrArrays<Index> lagrange_interpolation_to_points(std::uint64_t degree, std::span<const double> nodes,
                                                  std::span<const double> points, std::span<const double> targets,
                                                  bool periodic) {
    const std::uint64_t d = degree;
    if (d == 0) fatal(messages::kLagrangeMatrixDegreeZero);
    if (d > max_exact_prolongation_degree) {
        fatal(messages::degree_limit(messages::kLagrangeDegreeLimit, d, max_exact_prolongation_degree));
    }
    if (nodes.size() < 2) fatal(messages::kMeshNoIntervals);
    const std::uint64_t n = nodes.size() - 1;
    const std::uint64_t cols = lagrange_dofs(d, n, periodic);
    if (points.size() != cols) fatal(messages::kNodalPointCount);
    CsrRowBuilder<Index> out(interpolation_to_points_shape(d, targets.size(), cols));

    // prod_(m != k) (k - m) = (-1)^(d - k) k! (d - k)!, exact up to degree 18.
    // The position y and the products are formed in long double: at degree
    // 14 one unit of rounding in y alone moves a row by about 1e-12 in l1.
    long double denominators[max_exact_prolongation_degree + 1];
    long double t[max_exact_prolongation_degree + 1];
    for (std::uint64_t k = 0; k <= d; ++k) {
        long double f = 1.0L;
        for (std::uint64_t m = 2; m <= k; ++m) f *= static_cast<long double>(m);
        for (std::uint64_t m = 2; m <= d - k; ++m) f *= static_cast<long double>(m);
        denominators[k] = (d - k) % 2 ? -f : f;
    }
    const long double D = static_cast<long double>(d);
    const auto column = [&](std::uint64_t c, std::uint64_t k) {
        const std::uint64_t g = c * d + k;
        return periodic ? g % cols : g;
    };

    std::uint64_t c = 0;
    for (const double x : targets) {
        // c = the number of inner nodes <= x (0 for NaN): walk on from the
        // last point's interval for a few nodes (sorted targets), and search
        // afresh only when x lies before it or further on (unsorted ones).
        for (int walked = 0; walked < 8 && c + 1 < n && nodes[c + 1] <= x; ++walked) ++c;
        if (std::isnan(x)) {
            c = 0;
        } else if ((c > 0 && nodes[c] > x) || (c + 1 < n && nodes[c + 1] <= x)) {
            const auto inner = nodes.subspan(1, n - 1);
            c = static_cast<std::uint64_t>(std::upper_bound(inner.begin(), inner.end(), x) - inner.begin());
        }

        std::uint64_t hit = d + 1;
        for (std::uint64_t k = 0; k <= d; ++k) {
            if (x == points[column(c, k)]) {
                hit = k;
                break;
            }
        }
        const long double a = nodes[c];
        const long double y = ((static_cast<long double>(x) - a) * D) / (static_cast<long double>(nodes[c + 1]) - a);
        if (hit > d && y >= 0.0L && y <= D && y == std::floor(y)) hit = static_cast<std::uint64_t>(y);
        if (hit <= d) {
            out.add(column(c, hit), 1.0);
        } else {
            long double product = 1.0L;
            for (std::uint64_t m = 0; m <= d; ++m) {
                t[m] = y - static_cast<long double>(m);
                product *= t[m];
            }
            for (std::uint64_t k = 0; k <= d; ++k) {
                out.add(column(c, k), static_cast<double>(product / (t[k] * denominators[k])));
            }
        }
        out.end_row();
    }
    return std::move(out).finish();
}

template CsrArrays<std::int32_t> lagrange_interpolation_to_points<std::int32_t>(std::uint64_t,
                                                                                std::span<const double>,
                                                                                std::span<const double>,
                                                                                std::span<const double>, bool);
template CsrArrays<std::int64_t> lagrange_interpolation_to_points<std::int64_t>(std::uint64_t,
                                                                                std::span<const double>,
                                                                                std::span<const double>,
                                                                                std::span<const double>, bool);

}  // namespace tavik
