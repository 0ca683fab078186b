// Lagrange-to-Legendre transformation.
//
// On every interval the nodal values at the degree + 1 equidistant nodes fix
// the polynomial, and one local matrix L (Legendre index by local node) turns
// them into Legendre coefficients. The global matrix applies L on every
// interval through the global node numbering, so shared interval ends and
// the periodic wrap come for free.
#include <Eigen/Dense>

#include <cstdint>
#include <utility>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "bases/lagrange_basis.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "sparse/csr_tools.hpp"
#include "sparse/sparse_matrix.hpp"

namespace tavik {

namespace lagrange_accuracy_internals {

// Degrees 1 and 2 use fixed tables (the doubles nearest the exact
// fractions), higher degrees invert the Vandermonde matrix numerically with a
// rank-revealing LU so that a numerical breakdown is reported instead of
// returning garbage.
std::vector<double> vandermonde_lagrange_to_legendre(std::uint64_t d) {
    if (d == 1) return {0.5, 0.5, -0.5, 0.5};
    if (d == 2) {
        return {0.16666666666666666, 0.6666666666666666, 0.16666666666666666,
                -0.5, 0.0, 0.5,
                0.3333333333333333, -0.6666666666666666, 0.3333333333333333};
    }
    if (d == 0) fatal(messages::kTransformationDegreeZero);
    if (d > max_measured_degree) fatal(messages::filled(messages::kMeasuredDegreeLimit, max_measured_degree));

    const std::uint64_t n = d + 1;
    const auto size = static_cast<Eigen::Index>(n);

    const std::vector<double> nodes = equidistant_points_on_interval(-1.0, 1.0, d);
    // A(k, i) = P_k(xi_i), row = Legendre index, column = node. One run of
    // the recurrence per node gives the same values as a fresh run per k.
    Eigen::MatrixXd A(size, size);
    for (Eigen::Index i = 0; i < size; ++i) {
        LegendreRecurrence p(nodes[static_cast<std::size_t>(i)]);
        for (Eigen::Index k = 0; k < size; ++k) {
            A(k, i) = p.value();
            p.advance();
        }
    }
    const Eigen::FullPivLU<Eigen::MatrixXd> lu(A);
    if (!lu.isInvertible()) fatal(messages::kSingularVandermonde);
    const Eigen::MatrixXd inverse = lu.inverse();

    // A is the transpose of V, so L = V^-1 is the transpose of A^-1.
    std::vector<double> L(static_cast<std::size_t>(n * n));
    for (Eigen::Index k = 0; k < size; ++k) {
        for (Eigen::Index j = 0; j < size; ++j) L[static_cast<std::size_t>(k * size + j)] = inverse(j, k);
    }
    return L;
}

}  // namespace lagrange_accuracy_internals

CsrMatrix LagrangeBasis::legendre_block(const std::vector<double>& L, std::uint64_t k) const {
    const std::uint64_t n_local = degree_ + 1;
    CooMatrix coo(n_t_, points_.size());
    coo.reserve(checked_mul(n_t_, n_local));
    const double* row = L.data() + k * n_local;
    for (std::uint64_t i = 0; i < n_t_; ++i) {
        // Every value is pushed, zeros included; the two ends of a periodic
        // single interval share column 0 and are added by the conversion.
        for (std::uint64_t j = 0; j < n_local; ++j) coo.push(i, global_dof(i, j), row[j]);
    }
    return coo_to_csr(std::move(coo));
}

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::uint64_t k) const {
    check_transformation_request(degree_, n_t_);
    // Without intervals the block has no rows and needs no L.
    std::vector<double> L;
    if (n_t_ > 0) L = lagrange_accuracy_internals::vandermonde_lagrange_to_legendre(degree_);
    if (k > degree_) fatal(messages::kRowOutOfBounds);
    if (n_t_ == 0) return coo_to_csr(CooMatrix(0, points_.size()));
    return legendre_block(L, k);
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
    check_transformation_request(degree_, n_t_);
    // Without intervals every block is empty: the stack is 0 x n_dofs,
    // whatever the degree, and is formed without degree + 1 empty blocks
    // (degree may be as large as 2^64 - 1).
    if (n_t_ == 0) return coo_to_csr(CooMatrix(0, points_.size()));
    // L depends only on the degree, so one computation serves all blocks.
    const std::vector<double> L = lagrange_accuracy_internals::vandermonde_lagrange_to_legendre(degree_);
    const std::uint64_t n_blocks = degree_ + 1;
    std::vector<CsrMatrix> blocks;
    blocks.reserve(n_blocks);
    for (std::uint64_t k = 0; k < n_blocks; ++k) blocks.push_back(legendre_block(L, k));

    CsrBlockGrid grid(n_blocks, 1);
    for (std::uint64_t k = 0; k < n_blocks; ++k) grid.set(k, 0, blocks[k]);
    return csr_block_from_ndarray(grid);
}

}  // namespace tavik
