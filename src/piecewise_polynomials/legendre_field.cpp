#include "piecewise_polynomials/legendre_field.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "piecewise_polynomials/legendre_polynomials.hpp"
#include "piecewise_polynomials/uniform_mesh.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

namespace tavik {

namespace {

constexpr const char* no_intervals_message = "the mesh has no intervals (n_t is 0)";
constexpr const char* coefficient_size_message =
    "field evaluation: the coefficients do not hold n_t * (degree + 1) * components values";
constexpr const char* field_output_size_message =
    "field evaluation: the result does not hold times * components values";
constexpr const char* rows_size_message =
    "basis rows: values and columns must hold times * (degree + 1) elements each";
constexpr const char* narrow_columns_message = "basis rows: n_t * (degree + 1) does not fit 32-bit columns";

// Products per batch from which the worker pool pays for itself; 8192 makes
// a one-component, degree-3 field go parallel where LegendreBasis's batches do.
constexpr std::uint64_t kParallelProducts = 8192;

// What one chunk of a batch reads and writes; fixed for the batch.
struct FieldBatch {
    const double* coefficients;
    std::uint64_t components;
    std::uint64_t width;  // degree + 1
    std::uint64_t n_t;
    double h;
    NodeSide side;
    const double* times;
    double* out;
};

[[gnu::always_inline]] inline MeshLocation locate(const FieldBatch& in, double t) noexcept {
    return in.side == NodeSide::left ? locate_in_mesh_from_left(in.h, in.n_t, t) : locate_in_mesh(in.h, in.n_t, t);
}

[[gnu::always_inline]] inline void basis_at(FieldQuantity quantity, double xi, std::uint64_t width, double* b) noexcept {
    if (quantity == FieldQuantity::value) {
        legendre_values(xi, width - 1, b);
    } else {
        legendre_derivatives(xi, width - 1, b);
    }
}

// Times [begin, end): one row of components per time, accumulated over k in
// the row itself, so the component loops are plain contiguous multiply-adds
// that vectorise across components (the same operations per component as a
// scalar sum: the build keeps multiplies and adds apart).
template <FieldQuantity Q>
[[gnu::always_inline]] inline void field_chunk(const FieldBatch& in, std::size_t begin, std::size_t end) {
    const std::uint64_t m = in.components;
    const std::uint64_t width = in.width;
    std::vector<double> basis(width);
    for (std::size_t i = begin; i < end; ++i) {
        const MeshLocation loc = locate(in, in.times[i]);
        basis_at(Q, loc.xi, width, basis.data());
        const double* __restrict interval = in.coefficients + loc.interval * width * m;
        double* __restrict row = in.out + i * m;
        for (std::uint64_t j = 0; j < m; ++j) row[j] = -0.0;
        for (std::uint64_t k = 0; k < width; ++k) {
            const double b = basis[k];
            const double* __restrict ck = interval + k * m;
            for (std::uint64_t j = 0; j < m; ++j) row[j] = row[j] + b * ck[j];
        }
        if constexpr (Q == FieldQuantity::derivative) {
            const double h = in.h;
            for (std::uint64_t j = 0; j < m; ++j) row[j] = (row[j] + row[j]) / h;
        }
    }
}

// One clone per instruction set, chosen when the module loads from what the
// processor offers (never from what the build machine had).
[[gnu::target_clones("avx512f", "avx2", "default")]] void value_chunk(const FieldBatch& in, std::size_t begin,
                                                                     std::size_t end) {
    field_chunk<FieldQuantity::value>(in, begin, end);
}

[[gnu::target_clones("avx512f", "avx2", "default")]] void derivative_chunk(const FieldBatch& in, std::size_t begin,
                                                                          std::size_t end) {
    field_chunk<FieldQuantity::derivative>(in, begin, end);
}

template <class Index>
void basis_rows(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                std::span<double> values, std::span<Index> columns) {
    if (basis.n_t() == 0) fatal(no_intervals_message);
    const std::uint64_t width = checked_add(basis.degree(), 1);
    const std::uint64_t n_dofs = checked_mul(basis.n_t(), width);
    const std::uint64_t nnz = checked_mul(times.size(), width);
    if (values.size() != nnz || columns.size() != nnz) fatal(rows_size_message);
    if (n_dofs > static_cast<std::uint64_t>(std::numeric_limits<Index>::max())) fatal(narrow_columns_message);
    const FieldBatch in{nullptr, 1, width, basis.n_t(), mesh_interval_length(basis.T(), basis.n_t()), side,
                        times.data(), nullptr};
    double* v = values.data();
    Index* col = columns.data();
    parallel_map(times.size(), field_parallel_threshold(basis.degree(), 1), [&](std::size_t begin, std::size_t end) {
        std::vector<double> b(width);
        for (std::size_t i = begin; i < end; ++i) {
            const MeshLocation loc = locate(in, in.times[i]);
            basis_at(quantity, loc.xi, width, b.data());
            double* row_values = v + i * width;
            Index* row_columns = col + i * width;
            const std::uint64_t first = loc.interval * width;
            for (std::uint64_t k = 0; k < width; ++k) {
                row_values[k] = quantity == FieldQuantity::value ? b[k] : (b[k] + b[k]) / in.h;
                row_columns[k] = static_cast<Index>(first + k);
            }
        }
    });
}

}  // namespace

std::size_t field_parallel_threshold(std::uint64_t degree, std::uint64_t components) noexcept {
    const unsigned __int128 products =
        (static_cast<unsigned __int128>(degree) + 1) * std::max<std::uint64_t>(components, 1);
    if (products >= kParallelProducts / 2) return 2;
    return static_cast<std::size_t>(kParallelProducts / products);
}

void evaluate_field_into(const LegendreBasis& basis, std::span<const double> coefficients, std::uint64_t components,
                         std::span<const double> times, FieldQuantity quantity, NodeSide side, std::span<double> out) {
    if (basis.n_t() == 0) fatal(no_intervals_message);
    const std::uint64_t width = checked_add(basis.degree(), 1);
    const std::uint64_t n_dofs = checked_mul(basis.n_t(), width);
    if (coefficients.size() != checked_mul(n_dofs, components)) fatal(coefficient_size_message);
    if (out.size() != checked_mul(times.size(), components)) fatal(field_output_size_message);
    if (times.empty() || components == 0) return;

    if (components == 1 && quantity == FieldQuantity::value && side == NodeSide::right &&
        times.size() >= n_dofs) {
        // The batch kernel of LegendreBasis reads the column-major (interval
        // fastest) layout of tavik.
        std::vector<double> column_major(n_dofs);
        for (std::uint64_t c = 0; c < basis.n_t(); ++c) {
            for (std::uint64_t k = 0; k < width; ++k) column_major[c + basis.n_t() * k] = coefficients[c * width + k];
        }
        basis.evaluate_many_into(ColumnMajorView(column_major.data(), basis.n_t(), width), times, out);
        return;
    }

    const FieldBatch in{coefficients.data(), components, width, basis.n_t(),
                        mesh_interval_length(basis.T(), basis.n_t()), side, times.data(), out.data()};
    const std::size_t threshold = field_parallel_threshold(basis.degree(), components);
    if (quantity == FieldQuantity::value) {
        parallel_map(times.size(), threshold, [&](std::size_t begin, std::size_t end) { value_chunk(in, begin, end); });
    } else {
        parallel_map(times.size(), threshold,
                     [&](std::size_t begin, std::size_t end) { derivative_chunk(in, begin, end); });
    }
}

void basis_rows_into(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, std::span<double> values, std::span<std::int64_t> columns) {
    basis_rows(basis, times, quantity, side, values, columns);
}

void basis_rows_into(const LegendreBasis& basis, std::span<const double> times, FieldQuantity quantity,
                     NodeSide side, std::span<double> values, std::span<std::int32_t> columns) {
    basis_rows(basis, times, quantity, side, values, columns);
}

}  // namespace tavik
