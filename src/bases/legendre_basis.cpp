#include "bases/legendre_basis.hpp"

#include <cmath>
#include <cstddef>
#include <optional>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "formulas/legendre_sums.hpp"
#include "formulas/legendre_polynomials.hpp"
#include "formulas/uniform_mesh.hpp"

namespace tavik {

ColumnMajorView ColumnMajorView::for_basis(std::span<const double> data, std::uint64_t n_t, std::uint64_t degree) {
    const std::optional<std::uint64_t> needed = product_with_successor(n_t, degree);
    if (!needed || *needed > data.size()) fatal(messages::kMatrixTooSmall);
    // With n_t = 0 the column count may not fit; no evaluation reads it then.
    const std::uint64_t cols = saturating_add(degree, 1);
    return ColumnMajorView(data.data(), n_t, cols);
}

void LegendreBasis::require_intervals() const {
    if (n_t_ == 0) fatal(messages::kNoIntervals);
}

void LegendreBasis::check_shape(const ColumnMajorView& coeffs, std::uint64_t row) const {
    if (row >= coeffs.rows()) fatal(messages::kRowOutOfBounds);
    if (coeffs.cols() <= degree_) fatal(messages::kColumnOutOfBounds);
}

std::uint64_t LegendreBasis::n_basis_functions() const {
    const std::optional<std::uint64_t> n = product_with_successor(n_t_, degree_);
    if (!n) fatal(messages::kCapacityOverflow);
    return checked_array_length<double>(*n);
}

double LegendreBasis::evaluate(const ColumnMajorView& coeffs, double t) const {
    require_intervals();
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    check_shape(coeffs, loc.interval);
    const double* column = coeffs.data() + loc.interval;
    const std::uint64_t stride = coeffs.rows();
    return legendre_sum<kAnyDegree>(loc.xi, degree_, [&](std::uint64_t k) { return column[k * stride]; });
}

double LegendreBasis::evaluate_derivative(const ColumnMajorView& coeffs, double t) const {
    require_intervals();
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    check_shape(coeffs, loc.interval);
    const double* column = coeffs.data() + loc.interval;
    const std::uint64_t stride = coeffs.rows();
    return legendre_time_derivative<kAnyDegree>(loc.xi, degree_, h,
                                                [&](std::uint64_t k) { return column[k * stride]; });
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    require_intervals();
    std::vector<double> out(n_basis_functions(), 0.0);
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    for_each_legendre_value<kAnyDegree>(loc.xi, degree_,
                                        [&](std::uint64_t k, double p) { out[loc.interval + n_t_ * k] = p; });
    return out;
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    require_intervals();
    std::vector<double> out(n_basis_functions(), 0.0);
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    for_each_legendre_derivative<kAnyDegree>(loc.xi, degree_, [&](std::uint64_t k, double dp) {
        out[loc.interval + n_t_ * k] = time_derivative_of(dp, h);
    });
    return out;
}

}  // namespace tavik
