// Batch evaluation of a piecewise Legendre expansion at many times.
//
// Every element must come out bit for bit as the single-time evaluate /
// evaluate_derivative computes it, whichever thread, chunk and kernel
// variant computes it: the kernels (legendre_batch_kernels.hpp) are
// instantiated from the same formulas as the single-time operations. This
// file settles the batch's fixed inputs once and maps the kernel over the
// worker pool.
#include <cstdint>
#include <span>
#include <vector>

#include "fatal_error.hpp"
#include "messages.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_batch_kernels.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace tavik {

namespace {

template <class Single>
void evaluate_batch(const LegendreBasis& basis, const ColumnMajorView& coeffs, std::span<const double> times,
                    std::span<double> out, bool derivative, Single single) {
    const std::size_t n = times.size();
    if (out.size() != n) fatal(messages::kBatchStorageMismatch);
    if (n > 0 && (basis.n_t() == 0 || coeffs.cols() <= basis.degree())) {
        // Every element would fail; the first one, evaluated on its own,
        // fails with the same error the sequential loop would give.
        single(times[0]);
        fatal(messages::kColumnOutOfBounds);
    }
    const BatchInput in{coeffs.data(),
                        coeffs.rows(),
                        basis.n_t(),
                        basis.degree(),
                        mesh_interval_length(basis.T(), basis.n_t()),
                        is_narrow_mesh(basis.n_t()),
                        coeffs.rows() < basis.n_t()};
    const BatchKernelFn kernel = select_batch_kernel(basis.degree(), derivative);
    const double* t = times.data();
    double* o = out.data();
    parallel_map(n, LegendreBasis::kParallelThreshold,
                 [&](std::size_t begin, std::size_t end) { kernel(in, t + begin, o + begin, end - begin); });
}

}  // namespace

void LegendreBasis::evaluate_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                       std::span<double> out) const {
    evaluate_batch(*this, coeffs, times, out, false, [&](double t) { (void)evaluate(coeffs, t); });
}

void LegendreBasis::evaluate_derivative_many_into(const ColumnMajorView& coeffs, std::span<const double> times,
                                                  std::span<double> out) const {
    evaluate_batch(*this, coeffs, times, out, true, [&](double t) { (void)evaluate_derivative(coeffs, t); });
}

std::vector<double> LegendreBasis::evaluate_many(const ColumnMajorView& coeffs, std::span<const double> times) const {
    std::vector<double> out(times.size());
    evaluate_many_into(coeffs, times, out);
    return out;
}

std::vector<double> LegendreBasis::evaluate_derivative_many(const ColumnMajorView& coeffs,
                                                            std::span<const double> times) const {
    std::vector<double> out(times.size());
    evaluate_derivative_many_into(coeffs, times, out);
    return out;
}

}  // namespace tavik
