#include "piecewise_polynomials/legendre_integrals.hpp"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"
#include "piecewise_polynomials/worker_pool.hpp"

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

// The chunked reduction shared by both sums: sums(first, last, partial,
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

// One non-zero entry of the map: d_i gets a * x_k.
struct MapEntry {
    std::uint64_t i, k;
    double a;
};

// One chunk of mapped squares; `d` holds components doubles of the running
// thread's own. Row-major entries: those of d_0 first, k increasing.
void chunk_mapped(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t width,
                  std::uint64_t components, std::span<const MapEntry> entries, const double* weights, double* d,
                  double* partial) noexcept {
    for (std::uint64_t j = 0; j < components; ++j) partial[j] = 0.0;
    for (std::uint64_t r = first; r < last; ++r) {
        const double* row = values + r * width * components;
        for (std::size_t e = 0; e < entries.size();) {
            const std::uint64_t i = entries[e].i;
            // The three arrays never overlap (d is the thread's scratch):
            // saying so lets each loop run on vector lanes without checks.
            double* __restrict di = d;
            {
                const double a = entries[e].a;
                const double* __restrict x = row + entries[e].k * components;
                for (std::uint64_t j = 0; j < components; ++j) di[j] = a * x[j];
            }
            for (++e; e < entries.size() && entries[e].i == i; ++e) {
                const double a = entries[e].a;
                const double* __restrict x = row + entries[e].k * components;
                for (std::uint64_t j = 0; j < components; ++j) di[j] += a * x[j];
            }
            const double w = weights[i];
            double* __restrict sums = partial;
            for (std::uint64_t j = 0; j < components; ++j) sums[j] += w * (di[j] * di[j]);
        }
    }
}

void narrow_mapped(const double* values, std::uint64_t first, std::uint64_t last, std::uint64_t width,
                   std::uint64_t components, std::span<const MapEntry> entries, const double* weights,
                   double* partial) noexcept {
    narrow_dispatch(components, [&](auto m) {
        constexpr std::uint64_t M = decltype(m)::value;
        narrow_chunk<M>(first, last, [&](std::uint64_t r, double* sums) __attribute__((always_inline)) {
            const double* row = values + r * width * M;
            for (std::size_t e = 0; e < entries.size();) {
                const std::uint64_t i = entries[e].i;
                double d[M];
                for (std::uint64_t j = 0; j < M; ++j) d[j] = entries[e].a * row[entries[e].k * M + j];
                for (++e; e < entries.size() && entries[e].i == i; ++e) {
                    for (std::uint64_t j = 0; j < M; ++j) d[j] += entries[e].a * row[entries[e].k * M + j];
                }
                for (std::uint64_t j = 0; j < M; ++j) sums[j] += weights[i] * (d[j] * d[j]);
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

void mapped_square_sums_into(std::span<const double> values, std::uint64_t rows, std::uint64_t width,
                             std::uint64_t components, std::span<const double> map, std::span<const double> weights,
                             std::span<double> out) {
    const std::uint64_t size = checked_mul(checked_mul(rows, width), components);
    const std::uint64_t mapped = weights.size();
    if (values.size() != size || out.size() != components || map.size() != checked_mul(mapped, width)) {
        fatal(messages::kSquareSumsShape);
    }
    std::vector<MapEntry> entries;
    for (std::uint64_t i = 0; i < mapped; ++i) {
        for (std::uint64_t k = 0; k < width; ++k) {
            if (map[i * width + k] != 0.0) entries.push_back({i, k, map[i * width + k]});
        }
    }
    const double* v = values.data();
    const double* w = weights.data();
    chunked_sums(rows, width, components, out, components,
                 [&](std::uint64_t first, std::uint64_t last, double* partial, double* d) {
                     if (components < kLanes) {
                         narrow_mapped(v, first, last, width, components, entries, w, partial);
                     } else {
                         chunk_mapped(v, first, last, width, components, entries, w, d, partial);
                     }
                 });
}

}  // namespace tavik
