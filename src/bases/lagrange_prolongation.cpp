// Coarse-to-fine prolongation of Lagrange coefficients.
//
// Each fine node is located in the coarse mesh in reference units and the
// coarse basis functions of its interval are evaluated there with the
// barycentric formula of the second kind. The weights depend only on the
// degree, so they are computed once; every row then costs O(degree) with
// one reused buffer.
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "checked_size.hpp"
#include "bases/lagrange_basis.hpp"
#include "formulas/uniform_mesh.hpp"
#include "sparse/sparse_matrix.hpp"

namespace tavik {

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::uint64_t nt_fine) const {
    const std::uint64_t d = degree_;
    const std::uint64_t n_c = n_t_;
    const std::uint64_t n_f = nt_fine;
    check_prolongation_request(d, n_c, n_f);

    // Fine row count and the scale D = d * n_f of the node index. A basis
    // with d >= 1 and n_c >= 1 exists, so d + 1 local nodes fit in memory.
    const std::uint64_t D = checked_mul(d, n_f);
    const std::uint64_t m_rows = periodic_ ? D : checked_add(D, 1);
    const std::uint64_t n_local = d + 1;

    const std::vector<double> nodes = equidistant_points_on_interval(-1.0, 1.0, d);
    std::vector<double> weights(n_local);
    for (std::uint64_t k = 0; k < n_local; ++k) {
        double product = 1.0;
        for (std::uint64_t m = 0; m < n_local; ++m) {
            if (m != k) product *= nodes[k] - nodes[m];
        }
        weights[k] = 1.0 / product;
    }

    const double D_double = static_cast<double>(D);
    const double C_double = static_cast<double>(n_c);
    // Locates fine node w: its coarse interval E, its reference coordinate
    // xi in that interval, and the first coarse node within the tolerance
    // (n_local if none). The tolerance is absolute and strict: a node that
    // rounding moves by more than 1e-14 takes the barycentric path, which
    // still gives nearly 1.0 in its column and tiny values elsewhere.
    struct Location {
        std::uint64_t E;
        double xi;
        std::uint64_t hit;
    };
    const auto locate = [&](std::uint64_t w) {
        // Position in coarse intervals; the last node of a non-periodic mesh
        // lands on s = n_c and is clamped into the last interval.
        const double s = (static_cast<double>(w) / D_double) * C_double;
        std::uint64_t E = saturating_floor_to_u64(s);
        if (E >= n_c) E = n_c - 1;
        const double offset = s - static_cast<double>(E);
        const double xi = (offset + offset) - 1.0;
        std::uint64_t hit = n_local;
        for (std::uint64_t k = 0; k < n_local; ++k) {
            if (std::fabs(xi - nodes[k]) < 1e-14) {
                hit = k;
                break;
            }
        }
        return Location{E, xi, hit};
    };

    // Every row stores at least one entry; reserving that much first makes
    // a fine mesh too large for memory fail at once. A counting pass then
    // sizes the accumulator exactly (a node gives one entry, any other point
    // n_local, up to the rare barycentric value that comes out as 0.0).
    CooMatrix coo(m_rows, points_.size());
    coo.reserve(m_rows);
    std::uint64_t capacity = 0;
    for (std::uint64_t w = 0; w < m_rows; ++w) capacity = checked_add(capacity, locate(w).hit < n_local ? 1 : n_local);
    coo.reserve(capacity);
    std::vector<double> values(n_local);
    for (std::uint64_t w = 0; w < m_rows; ++w) {
        const Location at = locate(w);
        for (std::uint64_t k = 0; k < n_local; ++k) values[k] = 0.0;
        if (at.hit < n_local) {
            values[at.hit] = 1.0;
        } else {
            double F = 0.0;
            for (std::uint64_t k = 0; k < n_local; ++k) {
                values[k] = weights[k] / (at.xi - nodes[k]);
                F = k == 0 ? values[k] : F + values[k];
            }
            for (std::uint64_t k = 0; k < n_local; ++k) values[k] = values[k] / F;
        }

        const std::uint64_t first_column = at.E * d;
        for (std::uint64_t k = 0; k < n_local; ++k) {
            if (values[k] != 0.0) {
                std::uint64_t column = first_column + k;
                if (periodic_) column %= points_.size();
                coo.push(w, column, values[k]);
            }
        }
    }
    return coo_to_csr(std::move(coo));
}

}  // namespace tavik
