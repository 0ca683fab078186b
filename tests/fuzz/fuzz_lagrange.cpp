// Fuzz target: the Lagrange basis -- its nodes, the global numbering of the
// interval nodes, the coarse-to-fine prolongation and the transformation
// into Legendre coefficients.
//
// Properties: a basis is refused exactly for the periodic parameters that
// have no basis and for node counts that cannot be one array; otherwise it
// has n_t * degree (+ 1) nodes starting at 0 and ending at T; interval
// nodes are numbered i * degree + k (modulo the node count when periodic);
// every prolongation row interpolates (its values sum to 1), equal meshes
// give the identity up to rounding; the transformation maps the constant 1 to the
// Legendre coefficients (1, 0, ..., 0) on every interval. The prolongation
// by exact node location has the same refusals, rows summing to 1 and the
// exact identity on equal meshes. The interpolation from a mesh of nodes is
// refused exactly for its preconditions, stays within its arrays for any
// node values and points, and sums each row to 1 inside an increasing mesh.
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_support.hpp"
#include "bases/lagrange_basis.hpp"
#include "bases/lagrange_matrices_exact.hpp"
#include "bases/lagrange_on_nodes.hpp"
#include "sparse/csr_tools.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

constexpr unsigned __int128 kMaxNodes = 1 << 12;

// The exact-location prolongation of the array interface: refused exactly
// when the contract's is; canonical rows that sum to 1; equal meshes give
// the identity exactly.
void check_exact_prolongation(const LagrangeBasis& coarse, std::uint64_t nt_fine, bool counts_refused) {
    const bool refused = counts_refused || coarse.degree() > max_exact_prolongation_degree;
    std::unique_ptr<CsrArrays<std::int64_t>> p;
    const bool ok = accepted([&] {
        p = std::make_unique<CsrArrays<std::int64_t>>(
            exact_lagrange_prolongation<std::int64_t>(coarse.degree(), coarse.n_t(), nt_fine, coarse.periodic()));
    });
    FUZZ_REQUIRE(ok == !refused);
    if (!ok) return;
    for (std::uint64_t w = 0; w < p->nrows; ++w) {
        double sum = 0.0;
        for (auto q = p->indptr[w]; q < p->indptr[w + 1]; ++q) {
            FUZZ_REQUIRE(p->data[q] != 0.0 && static_cast<std::uint64_t>(p->indices[q]) < p->ncols);
            if (q > p->indptr[w]) FUZZ_REQUIRE(p->indices[q - 1] < p->indices[q]);
            sum += p->data[q];
        }
        FUZZ_REQUIRE(std::fabs(sum - 1.0) < 1e-12);
        if (nt_fine == coarse.n_t()) {
            FUZZ_REQUIRE(p->indptr[w + 1] - p->indptr[w] == 1 && p->data[p->indptr[w]] == 1.0 &&
                         static_cast<std::uint64_t>(p->indices[p->indptr[w]]) == w);
        }
    }
}

void check_prolongation(const LagrangeBasis& coarse, std::uint64_t nt_fine) {
    const std::uint64_t d = coarse.degree();
    const unsigned __int128 rows =
        static_cast<unsigned __int128>(nt_fine) * d + (coarse.periodic() ? 0 : 1);
    const bool counts_refused =
        d == 0 || coarse.n_t() == 0 || nt_fine == 0 || refused_count<std::uint64_t>(rows);
    const bool refused = counts_refused || d > max_prolongation_degree;
    if (!refused && rows > kMaxNodes) return;  // would really allocate
    check_exact_prolongation(coarse, nt_fine, counts_refused);
    std::unique_ptr<CsrMatrix> p;
    const bool ok = accepted([&] { p = std::make_unique<CsrMatrix>(coarse.get_prolongation_matrix_to(nt_fine)); });
    FUZZ_REQUIRE(ok == !refused);
    if (!ok) return;
    FUZZ_REQUIRE(p->nrows() == rows && p->ncols() == coarse.n_dofs());
    for (std::uint64_t w = 0; w < p->nrows(); ++w) {
        const std::uint64_t begin = p->row_offsets()[w], end = p->row_offsets()[w + 1];
        FUZZ_REQUIRE(end > begin);
        double sum = 0.0;
        for (std::uint64_t q = begin; q < end; ++q) {
            FUZZ_REQUIRE(p->col_indices()[q] < p->ncols());
            FUZZ_REQUIRE(p->values()[q] != 0.0);
            sum += p->values()[q];
        }
        // Every accepted degree keeps a row within 1e-6 in l1 of the exact
        // basis at the located node, whose values sum to 1.
        FUZZ_REQUIRE(std::fabs(sum - 1.0) < 1e-6);
        if (nt_fine == coarse.n_t()) {
            // Fine node w is coarse node w: 1 there, nothing anywhere else,
            // up to the rounding of the node's position (~2e-14 in reference
            // units on these meshes) times the basis' slope at a node, which
            // grows like 2^degree.
            for (std::uint64_t q = begin; q < end; ++q) {
                const bool diagonal = p->col_indices()[q] == w % p->ncols();
                FUZZ_REQUIRE(std::fabs(p->values()[q] - (diagonal ? 1.0 : 0.0)) < 1e-6);
            }
        }
    }
}

// The nodes are any doubles (the core trusts its caller to have validated
// them, but must not leave its arrays whatever they are) or an increasing
// mesh; the points are the mesh's own, sometimes one short.
void check_interpolation_on_nodes(FuzzedDataProvider& in, bool periodic) {
    const std::uint64_t d = in.ConsumeIntegralInRange<std::uint64_t>(0, 16);
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    const bool increasing = in.ConsumeBool();
    std::vector<double> nodes(count);
    double t = in.ConsumeFloatingPointInRange<double>(-4.0, 4.0);
    for (double& node : nodes) {
        node = increasing ? t : any_double(in);
        t += in.ConsumeFloatingPointInRange<double>(0.25, 4.0);
    }
    std::vector<double> points;
    const bool have_points = accepted([&] { points = lagrange_points_on_nodes(d, nodes, periodic); });
    FUZZ_REQUIRE(have_points == (d != 0 && count >= 2));
    if (!have_points) return;
    FUZZ_REQUIRE(points.size() == lagrange_dofs(d, count - 1, periodic) && same(points[0], nodes[0]));
    if (in.ConsumeBool()) points.pop_back();
    const bool inside_mesh = increasing && in.ConsumeBool();
    std::vector<double> targets(in.ConsumeIntegralInRange<std::size_t>(0, 16));
    for (double& x : targets) {
        x = inside_mesh ? in.ConsumeFloatingPointInRange<double>(nodes.front(), nodes.back()) : any_double(in);
    }
    std::unique_ptr<CsrArrays<std::int32_t>> m;
    const bool ok = accepted([&] {
        m = std::make_unique<CsrArrays<std::int32_t>>(
            lagrange_interpolation_to_points<std::int32_t>(d, nodes, points, targets, periodic));
    });
    FUZZ_REQUIRE(ok == (points.size() == lagrange_dofs(d, count - 1, periodic) && d <= max_exact_prolongation_degree));
    if (!ok) return;
    FUZZ_REQUIRE(m->nrows == targets.size() && m->ncols == points.size() && m->indptr.size() == targets.size() + 1);
    for (std::uint64_t w = 0; w < m->nrows; ++w) {
        double sum = 0.0;
        for (auto q = m->indptr[w]; q < m->indptr[w + 1]; ++q) {
            FUZZ_REQUIRE(static_cast<std::uint64_t>(m->indices[q]) < m->ncols && m->data[q] != 0.0);
            if (q > m->indptr[w]) FUZZ_REQUIRE(m->indices[q - 1] < m->indices[q]);
            sum += m->data[q];
        }
        // Steps within a factor 16 of each other, degree <= 14: the rows'
        // rounding stays far below this.
        if (inside_mesh) FUZZ_REQUIRE(std::fabs(sum - 1.0) < 1e-9);
    }
}

void check_transformation(const LagrangeBasis& basis) {
    const std::uint64_t d = basis.degree();
    std::unique_ptr<CsrMatrix> m;
    const bool ok = accepted([&] { m = std::make_unique<CsrMatrix>(basis.get_transormation_matrix_to_legendre()); });
    FUZZ_REQUIRE(ok == (d != 0 && (basis.n_t() == 0 || d <= max_lagrange_to_legendre_degree)));
    if (!ok) return;
    const std::uint64_t n_t = basis.n_t();
    FUZZ_REQUIRE(m->nrows() == (d + 1) * n_t && m->ncols() == basis.n_dofs());
    // The constant 1 in nodal values is P_0 on every interval.
    for (std::uint64_t row = 0; row < m->nrows(); ++row) {
        double sum = 0.0;
        for (std::uint64_t q = m->row_offsets()[row]; q < m->row_offsets()[row + 1]; ++q) sum += m->values()[q];
        FUZZ_REQUIRE(std::fabs(sum - (row < n_t ? 1.0 : 0.0)) < 1e-8);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint64_t degree = any_count(in, 16);
    const std::uint64_t n_t = any_count(in, 40);
    const double T = any_double(in);
    const bool periodic = in.ConsumeBool();

    // Equidistant points: n + 1 of them from a, or refused.
    {
        const std::uint64_t n = any_count(in, 64);
        const double a = any_double(in), b = any_double(in);
        if (refused_count<double>(static_cast<unsigned __int128>(n) + 1)) {
            FUZZ_REQUIRE(!accepted([&] { (void)equidistant_points_on_interval(a, b, n); }));
        } else if (n <= kMaxNodes) {
            const std::vector<double> x = equidistant_points_on_interval(a, b, n);
            FUZZ_REQUIRE(x.size() == n + 1);
            if (n >= 1 && std::isfinite(a) && std::isfinite(b) && std::isfinite(b - a)) FUZZ_REQUIRE(x[0] == a);
        }
    }

    const unsigned __int128 nodes =
        degree == 0 ? (periodic ? 0 : 1) : static_cast<unsigned __int128>(n_t) * degree + (periodic ? 0 : 1);
    const bool refused = (periodic && (degree == 0 || n_t == 0)) || refused_count<double>(nodes);
    if (!refused && nodes > kMaxNodes) return 0;  // would really allocate
    std::unique_ptr<LagrangeBasis> basis;
    const bool ok = accepted([&] { basis = std::make_unique<LagrangeBasis>(LagrangeBasis::create(degree, n_t, T, periodic)); });
    FUZZ_REQUIRE(ok == !refused);
    if (!ok) return 0;

    const std::vector<double>& points = basis->points();
    FUZZ_REQUIRE(basis->n_dofs() == nodes && points.size() == nodes);
    if (!periodic) FUZZ_REQUIRE(same(points.back(), T));
    if (degree >= 1 && n_t >= 1 && std::isfinite(T)) FUZZ_REQUIRE(points[0] == 0.0);

    for (int probe = 0; probe < 3; ++probe) {
        const std::uint64_t i = in.ConsumeIntegralInRange<std::uint64_t>(0, n_t < 64 ? n_t : 64);
        std::vector<std::uint64_t> dofs;
        const bool exists = accepted([&] { dofs = basis->get_dofs_for_interval(i); });
        FUZZ_REQUIRE(exists == (i < n_t));
        if (!exists) continue;
        FUZZ_REQUIRE(dofs.size() == degree + 1);
        for (std::uint64_t k = 0; k <= degree; ++k) {
            const std::uint64_t g = i * degree + k;
            FUZZ_REQUIRE(dofs[k] == (periodic ? g % nodes : g) && dofs[k] < nodes);
        }
    }

    check_prolongation(*basis, any_count(in, 40));
    check_transformation(*basis);
    check_interpolation_on_nodes(in, periodic);
    return 0;
}
