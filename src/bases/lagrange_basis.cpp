#include "bases/lagrange_basis.hpp"

#include <format>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "formulas/uniform_mesh.hpp"

namespace tavik {

namespace {

// Point k of n equidistant subdivisions of [a, b], in the one operation
// order that every caller shares.
inline double equidistant_point(double a, double b, std::uint64_t k, std::uint64_t n) noexcept {
    return a + ((b - a) * static_cast<double>(k)) / static_cast<double>(n);
}

}  // namespace

void check_prolongation_request(std::uint64_t degree, std::uint64_t nt_coarse, std::uint64_t nt_fine) {
    if (degree == 0) fatal(messages::kProlongationDegree);
    if (nt_coarse == 0) fatal(messages::kProlongationCoarse);
    if (nt_fine == 0) fatal(messages::kProlongationFine);
    if (degree > max_prolongation_degree) {
        fatal(messages::degree_limit(messages::kLagrangeDegreeLimit, degree, max_prolongation_degree));
    }
}

void check_transformation_request(std::uint64_t degree, std::uint64_t n_t) {
    if (degree == 0) fatal(messages::kTransformationDegreeZero);
    if (n_t > 0 && degree > max_lagrange_to_legendre_degree) fatal(messages::kSingularVandermonde);
}

std::vector<double> equidistant_points_on_interval(double a, double b, std::uint64_t n) {
    const std::uint64_t count = checked_array_length<double>(checked_add(n, 1));
    std::vector<double> points(count);
    for (std::uint64_t k = 0; k < count; ++k) points[k] = equidistant_point(a, b, k, n);
    return points;
}

LagrangeBasis LagrangeBasis::create(std::uint64_t degree, std::uint64_t n_t, double T, bool periodic) {
    if (periodic) {
        if (degree == 0) fatal(messages::kPeriodicDegree);
        if (n_t == 0) fatal(messages::kPeriodicIntervals);
    }
    const std::uint64_t n_dofs = checked_array_length<double>(lagrange_dofs(degree, n_t, periodic));

    std::vector<double> points;
    points.reserve(n_dofs);
    const double h = mesh_interval_length(T, n_t);
    // Each interval contributes its nodes except the right end, which is the
    // next interval's first node. With degree 0 no interval contributes
    // anything, so the loop is skipped rather than run over up to 2^64 - 1
    // empty intervals.
    if (degree > 0) {
        for (std::uint64_t i = 0; i < n_t; ++i) {
            const double a = interval_left_end(h, i);
            const double b = interval_right_end(h, a);
            for (std::uint64_t k = 0; k < degree; ++k) points.push_back(equidistant_point(a, b, k, degree));
        }
    }
    // The closing node is T as given, not the computed right end of the last
    // interval, so the last node is exact.
    if (!periodic) points.push_back(T);
    return LagrangeBasis(std::move(points), degree, n_t, periodic);
}

std::vector<std::uint64_t> LagrangeBasis::get_dofs_for_interval(std::uint64_t i) const {
    if (i >= n_t_) fatal(messages::kLagrangeIntervalOutOfRange);
    // i < n_t means the basis has (n_t * degree + 1 or n_t * degree) nodes
    // allocated, so degree + 1 and every i * degree + k are representable.
    std::vector<std::uint64_t> dofs(degree_ + 1);
    for (std::uint64_t k = 0; k <= degree_; ++k) dofs[k] = global_dof(i, k);
    return dofs;
}

}  // namespace tavik
