// The array interface's evaluations: check the shapes, settle the batch's
// fixed inputs once, and map the kernels of kernels/kernels.hpp over the
// worker pool.
#include "bases/legendre_field.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "bases/legendre_basis.hpp"
#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "formulas/uniform_mesh.hpp"
#include "messages.hpp"
#include "parallel/worker_pool.hpp"

namespace tavik {

namespace {

// Products per batch from which the worker pool pays for itself; 8192 makes
// a one-component, degree-3 field go parallel where LegendreBasis's batches do.
constexpr std::uint64_t kParallelProducts = 8192;

// The mesh of nodes' locator for this batch, or null for a uniform mesh;
// fatal when the mesh and n_t disagree.
const GradedLocator* graded_locator(const FieldSpace& space, NodeSide side, bool periodic, GradedLocator& view) {
    if (space.mesh == nullptr) return nullptr;
    if (space.mesh->n_t() != space.n_t) fatal(messages::kGradedMeshIntervals);
    view = space.mesh->locator(side, periodic);
    return &view;
}

template <class Index>
void basis_rows(const FieldSpace& space, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                bool periodic, std::span<double> values, std::span<Index> columns) {
    if (space.n_t == 0) fatal(messages::kMeshNoIntervals);
    const std::uint64_t width = checked_add(space.degree, 1);
    const std::uint64_t n_dofs = checked_mul(space.n_t, width);
    const std::uint64_t nnz = checked_mul(times.size(), width);
    if (values.size() != nnz || columns.size() != nnz) fatal(messages::kBasisRowsSize);
    if (n_dofs > static_cast<std::uint64_t>(std::numeric_limits<Index>::max())) {
        fatal(messages::kBasisRowsNarrowColumns);
    }
    // Nothing to compute; the scratch size of a width this large may not even be countable.
    GradedLocator view;
    const GradedLocator* graded = graded_locator(space, side, periodic, view);
    if (times.empty()) return;
    const FieldInput in{nullptr,      1,       width,   node_rule(space.T, space.n_t, side, periodic), quantity,
                        times.data(), nullptr, nullptr, graded};
    double* v = values.data();
    Index* col = columns.data();
    const KernelTable& kernels = active_kernels();
    parallel_map(times.size(), field_parallel_threshold(space.degree, 1), field_scratch(width),
                 [&](std::size_t begin, std::size_t end, std::span<double> scratch) {
                     if constexpr (sizeof(Index) == 4) {
                         kernels.rows_32(in, v, col, begin, end, scratch.data());
                     } else {
                         kernels.rows_64(in, v, col, begin, end, scratch.data());
                     }
                 });
}

// One-component values: the kernels of LegendreBasis's batches, reading the
// C order in place (interval stride degree + 1, degree stride 1), with the
// node rule in place of the plain location.
void evaluate_one_component(const FieldSpace& space, const double* coefficients, std::span<const double> times,
                            const NodeRule& rule, const GradedLocator* graded, double* out) {
    const BatchInput in{coefficients, space.degree + 1, 1,     space.n_t, space.n_t, space.degree,
                        rule.h,       rule.narrow,      false, &rule,     graded};
    const BatchKernelFn kernel = select_batch_kernel(space.degree, false);
    const double* t = times.data();
    parallel_map(times.size(), LegendreBasis::kParallelThreshold,
                 [&](std::size_t begin, std::size_t end) { kernel(in, t + begin, out + begin, end - begin); });
}

// Coefficient bytes from which taking the times interval by interval pays:
// beyond what the caches keep, random times re-read an interval's
// coefficients from memory once per time (measured: 2000 components of
// degree 2 on 1000 intervals, 48 MB, read 10 times over by 10^4 times).
// Below that the order costs more than it saves, its rows being written
// scattered (63 components on 64 intervals, 129 kB: 7.4 ms in time order,
// 11.3 ms grouped by interval).
constexpr std::uint64_t kOrderFromBytes = std::uint64_t{4} << 20;

// The times' order grouped by interval (a stable counting sort of their
// plain intervals, or on a mesh of nodes their table search without the
// node rule; the kernels still locate each time exactly), or empty
// when ordering cannot pay: small coefficients, fewer times than intervals,
// times already in interval order, more times than 32-bit positions, or no
// memory for the order (it is only an optimisation).
std::vector<std::uint32_t> interval_order(std::uint64_t n_t, std::size_t coefficient_count,
                                          std::span<const double> times, double h, const GradedLocator* graded) {
    const std::uint64_t n = times.size();
    if (coefficient_count < kOrderFromBytes / sizeof(double) || n < n_t ||
        n > std::numeric_limits<std::uint32_t>::max()) {
        return {};
    }
    try {
        std::vector<std::uint32_t> key(n);
        std::vector<std::uint32_t> start(n_t + 1, 0);
        bool sorted = true;
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t c =
                graded != nullptr
                    ? locate_graded_unclamped<double>(*graded, times[i], scalar_gather).interval
                    : std::min(saturating_floor_to_u64(times[i] / h), n_t - 1);
            key[i] = static_cast<std::uint32_t>(c);
            sorted = sorted && (i == 0 || key[i - 1] <= key[i]);
            ++start[c + 1];
        }
        if (sorted) return {};
        for (std::uint64_t c = 0; c < n_t; ++c) start[c + 1] += start[c];
        std::vector<std::uint32_t> order(n);
        for (std::uint64_t i = 0; i < n; ++i) order[start[key[i]]++] = static_cast<std::uint32_t>(i);
        return order;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace

std::size_t field_parallel_threshold(std::uint64_t degree, std::uint64_t components) noexcept {
    const auto products = product_with_successor(std::max<std::uint64_t>(components, 1), degree);
    if (!products || *products >= kParallelProducts / 2) return 2;
    return static_cast<std::size_t>(kParallelProducts / *products);
}

void evaluate_field_into(const FieldSpace& space, std::span<const double> coefficients, std::uint64_t components,
                         std::span<const double> times, FieldQuantity quantity, NodeSide side, bool periodic,
                         std::span<double> out) {
    if (space.n_t == 0) fatal(messages::kMeshNoIntervals);
    const std::uint64_t width = checked_add(space.degree, 1);
    const std::uint64_t n_dofs = checked_mul(space.n_t, width);
    if (coefficients.size() != checked_mul(n_dofs, components)) fatal(messages::kFieldCoefficientSize);
    if (out.size() != checked_mul(times.size(), components)) fatal(messages::kFieldOutputSize);
    GradedLocator view;
    const GradedLocator* graded = graded_locator(space, side, periodic, view);
    if (times.empty() || components == 0) return;

    const NodeRule rule = node_rule(space.T, space.n_t, side, periodic);
    if (components == 1 && quantity == FieldQuantity::value) {
        evaluate_one_component(space, coefficients.data(), times, rule, graded, out.data());
        return;
    }
    const std::vector<std::uint32_t> order = interval_order(space.n_t, coefficients.size(), times, rule.h, graded);
    const FieldInput in{coefficients.data(), components,   width,      rule,
                        quantity,            times.data(), out.data(), order.empty() ? nullptr : order.data(),
                        graded};
    const KernelTable& kernels = active_kernels();
    parallel_map(times.size(), field_parallel_threshold(space.degree, components), field_scratch(width),
                 [&](std::size_t begin, std::size_t end, std::span<double> scratch) {
                     kernels.field(in, begin, end, scratch.data());
                 });
}

void basis_rows_into(const FieldSpace& space, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                     bool periodic, std::span<double> values, std::span<std::int64_t> columns) {
    basis_rows(space, times, quantity, side, periodic, values, columns);
}

void basis_rows_into(const FieldSpace& space, std::span<const double> times, FieldQuantity quantity, NodeSide side,
                     bool periodic, std::span<double> values, std::span<std::int32_t> columns) {
    basis_rows(space, times, quantity, side, periodic, values, columns);
}

}  // namespace tavik
