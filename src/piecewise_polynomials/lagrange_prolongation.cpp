// Coarse-to-fine prolongation of Lagrange coefficients.
//
// Each fine node is located in the coarse mesh in reference units and the
// coarse basis functions of its interval are evaluated there with the
// barycentric formula of the second kind. The weights depend only on the
// degree, so they are computed once; every row then costs O(degree) with
// one reused buffer.
#include <cmath>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "sparse_matrix_tools/sparse_matrix.hpp"

namespace tavik {

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::uint64_t nt_fine) const {
    const std::uint64_t d = degree_;
    const std::uint64_t n_c = n_t_;
    const std::uint64_t n_f = nt_fine;
    if (d == 0) fatal("Lagrange prolongation requires polynomial degree at least 1");
    if (n_c == 0) fatal("Lagrange prolongation requires at least one coarse interval");
    if (n_f == 0) fatal("Lagrange prolongation requires at least one fine interval");

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

    CooMatrix coo(m_rows, points_.size());
    // Every row stores at least one entry, usually exactly one on meshes
    // that refine the coarse one.
    coo.reserve(m_rows);
    std::vector<double> values(n_local);
    const double D_double = static_cast<double>(D);
    const double C_double = static_cast<double>(n_c);
    for (std::uint64_t w = 0; w < m_rows; ++w) {
        // Position of the fine node in coarse intervals; the last node of a
        // non-periodic mesh lands on s = n_c and is clamped into the last
        // interval.
        const double s = (static_cast<double>(w) / D_double) * C_double;
        std::uint64_t E = saturating_floor_to_u64(s);
        if (E >= n_c) E = n_c - 1;
        const double offset = s - static_cast<double>(E);
        const double xi = (offset + offset) - 1.0;

        for (std::uint64_t k = 0; k < n_local; ++k) values[k] = 0.0;
        // The tolerance is absolute and strict: a node that rounding moves by
        // more than 1e-14 takes the barycentric path below, which still gives
        // nearly 1.0 in its column and tiny values elsewhere.
        bool hit = false;
        for (std::uint64_t k = 0; k < n_local; ++k) {
            if (std::fabs(xi - nodes[k]) < 1e-14) {
                values[k] = 1.0;
                hit = true;
                break;
            }
        }
        if (!hit) {
            double F = 0.0;
            for (std::uint64_t k = 0; k < n_local; ++k) {
                values[k] = weights[k] / (xi - nodes[k]);
                F = k == 0 ? values[k] : F + values[k];
            }
            for (std::uint64_t k = 0; k < n_local; ++k) values[k] = values[k] / F;
        }

        const std::uint64_t first_column = E * d;
        for (std::uint64_t k = 0; k < n_local; ++k) {
            if (values[k] != 0.0) {
                std::uint64_t column = first_column + k;
                if (periodic_) column %= points_.size();
                coo.push(w, column, values[k]);
            }
        }
    }
    return coo_to_csr(coo);
}

}  // namespace tavik
