#include "bases/legendre_integrals.hpp"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "parallel/worker_pool.hpp"

namespace tavik {

namespace {

// Values per chunk: large enough that a chunk's partial sums (one per
// component) cost little next to its reads, small enough that a pool of a
// few threads gets several chunks each from arrays of a few megabytes.
constexpr std::uint64_t kChunkValues = 65536;

// Arrays of fewer values stay on the calling thread: handing them to the
// pool costs more than it saves.
constexpr std::uint64_t kParallelValues = 262144;

// One chunk's sums into partial (components doubles): rows [first, last).
// The component loop is innermost, so it runs on vector lanes without
// reordering any component's sum.
void chunk_sums(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t width,
                std::uint64_t components, const double* weights, bool weight_per_row, double* partial) noexcept {
    for (std::uint64_t j = 0; j < components; ++j) partial[j] = 0.0;
    for (std::uint64_t r = first; r < last; ++r) {
        const double* w = weights + (weight_per_row ? r * width : 0);
        const double* row = values + r * width * components;
        for (std::uint64_t k = 0; k < width; ++k) {
            const double wk = w[k];
            const double* x = row + k * components;
            for (std::uint64_t j = 0; j < components; ++j) partial[j] += wk * (x[j] * x[j]);
        }
    }
}

// Fewer components than kLanes: one component's terms would form one long
// chain of dependent additions, so the rows of a chunk are dealt to kLanes
// sums (row first + s, first + s + kLanes, ... to sum s) that the processor
// overlaps, combined in lane order at the end of the chunk.
constexpr std::uint64_t kLanes = 4;

// add_row(r, sums) adds row r's terms to sums[0 .. M) in the contract's order.
template <std::uint64_t M, class AddRow>
void narrow_chunk(std::uint64_t first, std::uint64_t last, const AddRow& add_row, double* partial) noexcept {
    double lane[kLanes][M];
    for (auto& sums : lane) {
        for (std::uint64_t j = 0; j < M; ++j) sums[j] = 0.0;
    }
    std::uint64_t r = first;
    for (; r + kLanes <= last; r += kLanes) {
        for (std::uint64_t s = 0; s < kLanes; ++s) add_row(r + s, lane[s]);
    }
    for (std::uint64_t s = 0; r < last; ++r, ++s) add_row(r, lane[s]);
    for (std::uint64_t j = 0; j < M; ++j) {
        double sum = lane[0][j];
        for (std::uint64_t s = 1; s < kLanes; ++s) sum += lane[s][j];
        partial[j] = sum;
    }
}

// chunk(first, last, partial) for components < kLanes, by the compile-time
// count M = components.
template <class Narrow>
void narrow_dispatch(std::uint64_t components, const Narrow& narrow) {
    switch (components) {
        case 1: narrow(std::integral_constant<std::uint64_t, 1>{}); break;
        case 2: narrow(std::integral_constant<std::uint64_t, 2>{}); break;
        default: narrow(std::integral_constant<std::uint64_t, 3>{}); break;
    }
}

void narrow_sums(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t width,
                 std::uint64_t components, const double* weights, bool weight_per_row, double* partial) noexcept {
    narrow_dispatch(components, [&](auto m) {
        constexpr std::uint64_t M = decltype(m)::value;
        narrow_chunk<M>(first, last, [&](std::uint64_t r, double* sums) __attribute__((always_inline)) {
            const double* w = weights + (weight_per_row ? r * width : 0);
            const double* row = values + r * width * M;
            for (std::uint64_t k = 0; k < width; ++k) {
                const double wk = w[k];
                for (std::uint64_t j = 0; j < M; ++j) sums[j] += wk * (row[k * M + j] * row[k * M + j]);
            }
        }, partial);
    });
}

}  // namespace

std::uint64_t integral_chunk_rows(std::uint64_t width, std::uint64_t components) noexcept {
    const std::uint64_t per_row = std::max<std::uint64_t>(width * components, 1);
    return std::max<std::uint64_t>(kChunkValues / per_row, 1);
}

namespace {

// The chunked reduction shared by the sums: sums(first, last, partial,
// scratch) writes the sums of rows [first, last) into partial (components
// doubles), with `scratch` doubles of working memory of the running
// thread's own, allocated by the pool on the calling thread.
template <class ChunkSums>
void chunked_sums(std::uint64_t rows, std::uint64_t width, std::uint64_t components, std::span<double> out,
                  std::size_t scratch, const ChunkSums& sums) {
    if (components == 0) return;
    if (rows == 0 || width == 0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    const std::uint64_t size = rows * width * components;
    const std::uint64_t chunk_rows = integral_chunk_rows(width, components);
    const std::uint64_t chunks = (rows + chunk_rows - 1) / chunk_rows;
    // Chunk 0 sums straight into out; the others into partials the caller
    // allocates here, before any worker starts.
    std::vector<double> partials(checked_array_length<double>(checked_mul(chunks - 1, components)));
    double* o = out.data();
    double* p = partials.data();
    auto body = [&](std::size_t begin, std::size_t end, std::span<double> working) noexcept {
        for (std::size_t chunk = begin; chunk < end; ++chunk) {
            const std::uint64_t first = chunk * chunk_rows, last = std::min(rows, first + chunk_rows);
            sums(first, last, chunk == 0 ? o : p + (chunk - 1) * components, working.data());
        }
    };
    parallel_map(chunks, size >= kParallelValues ? 2 : SIZE_MAX, scratch, body);
    for (std::uint64_t chunk = 1; chunk < chunks; ++chunk) {
        const double* partial = p + (chunk - 1) * components;
        for (std::uint64_t j = 0; j < components; ++j) o[j] += partial[j];
    }
}

// One chunk of derivative squares. `suffix` holds 2 * components doubles
// of the running thread's own: the running sums T of the two parities.
void chunk_derivative(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t width,
                      std::uint64_t components, const double* weights, double* suffix, double* partial) noexcept {
    for (std::uint64_t j = 0; j < components; ++j) partial[j] = 0.0;
    double* __restrict sums = partial;
    for (std::uint64_t r = first; r < last; ++r) {
        const double* row = values + r * width * components;
        for (std::uint64_t k = width - 1; k >= 1; --k) {
            const double* __restrict x = row + k * components;
            double* __restrict t = suffix + (k % 2) * components;
            const bool top = k + 2 >= width;  // T_(k+2) is empty
            const double scale = static_cast<double>(2 * k - 1), w = weights[k - 1];
            if (top) {
                for (std::uint64_t j = 0; j < components; ++j) t[j] = x[j];
            } else {
                for (std::uint64_t j = 0; j < components; ++j) t[j] = x[j] + t[j];
            }
            for (std::uint64_t j = 0; j < components; ++j) {
                const double d = scale * t[j];
                sums[j] += w * (d * d);
            }
        }
    }
}

// chunk_derivative for a width known at compile time: the running sums of
// one component stay in registers, so the component loop runs on vector
// lanes with nothing stored but the sums (the same operations in the same
// order).
template <std::uint64_t W>
void fixed_derivative(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t components,
                      const double* weights, double* partial) noexcept {
    for (std::uint64_t j = 0; j < components; ++j) partial[j] = 0.0;
    double* __restrict sums = partial;
    for (std::uint64_t r = first; r < last; ++r) {
        const double* __restrict row = values + r * W * components;
        for (std::uint64_t j = 0; j < components; ++j) {
            double t[W + 2];
            double s = sums[j];
            for (std::uint64_t k = W - 1; k >= 1; --k) {
                t[k] = k + 2 >= W ? row[k * components + j] : row[k * components + j] + t[k + 2];
                const double d = static_cast<double>(2 * k - 1) * t[k];
                s += weights[k - 1] * (d * d);
            }
            sums[j] = s;
        }
    }
}

void narrow_derivative(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t width,
                       std::uint64_t components, const double* weights, double* partial) noexcept {
    narrow_dispatch(components, [&](auto m) {
        constexpr std::uint64_t M = decltype(m)::value;
        narrow_chunk<M>(first, last, [&](std::uint64_t r, double* sums) __attribute__((always_inline)) {
            const double* row = values + r * width * M;
            double t[2][M];
            for (std::uint64_t k = width - 1; k >= 1; --k) {
                const bool top = k + 2 >= width;
                const double scale = static_cast<double>(2 * k - 1), w = weights[k - 1];
                for (std::uint64_t j = 0; j < M; ++j) {
                    t[k % 2][j] = top ? row[k * M + j] : row[k * M + j] + t[k % 2][j];
                    const double d = scale * t[k % 2][j];
                    sums[j] += w * (d * d);
                }
            }
        }, partial);
    });
}

}  // namespace

void weighted_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                               std::uint64_t components, std::span<const double> weights, std::span<double> out) {
    const std::uint64_t size = checked_mul(checked_mul(rows, width), components);
    const bool weight_per_row = weights.size() != width;
    if (values.size() != size || out.size() != components ||
        (weight_per_row && weights.size() != checked_mul(rows, width))) {
        fatal(messages::kSquareSumsShape);
    }
    const double* v = values.data();
    const double* w = weights.data();
    chunked_sums(rows, width, components, out, 0, [&](std::uint64_t first, std::uint64_t last, double* partial, double*) {
        if (components < kLanes) {
            narrow_sums(v, first, last, width, components, w, weight_per_row, partial);
        } else {
            chunk_sums(v, first, last, width, components, w, weight_per_row, partial);
        }
    });
}

void derivative_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                                 std::uint64_t components, std::span<const double> weights, std::span<double> out) {
    const std::uint64_t size = checked_mul(checked_mul(rows, width), components);
    if (values.size() != size || out.size() != components || width == 0 || weights.size() != width - 1) {
        fatal(messages::kSquareSumsShape);
    }
    const double* v = values.data();
    const double* w = weights.data();
    chunked_sums(rows, width, components, out, checked_mul(2, components),
                 [&](std::uint64_t first, std::uint64_t last, double* partial, double* suffix) {
                     if (components < kLanes) {
                         narrow_derivative(v, first, last, width, components, w, partial);
                         return;
                     }
                     switch (width) {
                         case 2: return fixed_derivative<2>(v, first, last, components, w, partial);
                         case 3: return fixed_derivative<3>(v, first, last, components, w, partial);
                         case 4: return fixed_derivative<4>(v, first, last, components, w, partial);
                         case 5: return fixed_derivative<5>(v, first, last, components, w, partial);
                         case 6: return fixed_derivative<6>(v, first, last, components, w, partial);
                         case 7: return fixed_derivative<7>(v, first, last, components, w, partial);
                         case 8: return fixed_derivative<8>(v, first, last, components, w, partial);
                         default: return chunk_derivative(v, first, last, width, components, w, suffix, partial);
                     }
                 });
}

}  // namespace tavik
