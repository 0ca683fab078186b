#include "piecewise_polynomials/legendre_basis.hpp"

#include <cmath>
#include <cstddef>
#include <optional>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "piecewise_polynomials/legendre_polynomials.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"

namespace tavik {

namespace {

// Walks k = 0 ... degree and hands P_k'(xi) to `emit`.
//
// Away from the ends P_k' comes from the quotient
//   ((xi * P_k - P_(k-1)) * k) / ((xi * xi - 1) + 1e-15),
// whose guard constant keeps the denominator non-zero. Within 1/1024 of +-1
// that quotient loses all accuracy (and at +-1 it is 0 instead of the end
// slope), so there the exact recurrence P'_(k+1) = P'_(k-1) + (2k + 1) P_k
// takes over; at +-1 it gives k(k+1)/2 and (-1)^(k+1) k(k+1)/2 exactly.
//
// legendre_basis_batch.cpp repeats this computation (and evaluate's sum) lane
// by lane for the batch operations; change both together, the batch tests
// compare them bit for bit.
template <class Emit>
[[gnu::always_inline]] inline void for_each_legendre_derivative(double xi, std::uint64_t degree, Emit&& emit) {
    LegendreRecurrence p(xi);
    const bool near_end = (1.0 - std::fabs(xi)) < (1.0 / 1024.0);
    double d_prev = 0.0;  // P'_(k-1), near the ends only
    double d_cur = 0.0;   // P'_k, near the ends only
    for (std::uint64_t k = 0;; ++k) {
        double dk;
        if (k == 0) {
            dk = 0.0;
        } else if (k == 1) {
            dk = 1.0;
        } else if (near_end) {
            dk = d_cur;
        } else {
            const double kd = static_cast<double>(k);
            dk = ((xi * p.value() - p.previous()) * kd) / ((xi * xi - 1.0) + 1e-15);
        }
        emit(k, dk);
        if (k == degree) break;
        if (near_end) {
            const double kd = static_cast<double>(k);
            const double next = k == 0 ? 1.0 : d_prev + (kd + kd + 1.0) * p.value();
            d_prev = d_cur;
            d_cur = next;
        }
        p.advance();
    }
}

}  // namespace

ColumnMajorView ColumnMajorView::for_basis(std::span<const double> data, std::uint64_t n_t, std::uint64_t degree) {
    const std::optional<std::uint64_t> needed = product_with_successor(n_t, degree);
    if (!needed || *needed > data.size()) fatal(messages::kMatrixTooSmall);
    // With n_t = 0 the column count may not fit; no evaluation reads it then.
    const std::uint64_t cols = degree == UINT64_MAX ? UINT64_MAX : degree + 1;
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
    LegendreRecurrence p(loc.xi);
    double sum = -0.0;
    for (std::uint64_t k = 0;; ++k) {
        sum = sum + p.value() * column[k * stride];
        if (k == degree_) break;
        p.advance();
    }
    return sum;
}

double LegendreBasis::evaluate_derivative(const ColumnMajorView& coeffs, double t) const {
    require_intervals();
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    check_shape(coeffs, loc.interval);
    const double* column = coeffs.data() + loc.interval;
    const std::uint64_t stride = coeffs.rows();
    double sum = -0.0;
    for_each_legendre_derivative(loc.xi, degree_,
                                 [&](std::uint64_t k, double dk) { sum = sum + dk * column[k * stride]; });
    return (sum + sum) / h;
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    require_intervals();
    std::vector<double> out(n_basis_functions(), 0.0);
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    LegendreRecurrence p(loc.xi);
    for (std::uint64_t k = 0;; ++k) {
        out[loc.interval + n_t_ * k] = p.value();
        if (k == degree_) break;
        p.advance();
    }
    return out;
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    require_intervals();
    std::vector<double> out(n_basis_functions(), 0.0);
    const double h = mesh_interval_length(T_, n_t_);
    const MeshLocation loc = locate_in_mesh(h, n_t_, t);
    for_each_legendre_derivative(loc.xi, degree_, [&](std::uint64_t k, double dk) {
        out[loc.interval + n_t_ * k] = (dk + dk) / h;
    });
    return out;
}

}  // namespace tavik
