// Building the bucket table of a mesh of nodes (graded_mesh.hpp).
#include "formulas/graded_mesh.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "checked_size.hpp"
#include "fatal_error.hpp"
#include "messages.hpp"

namespace tavik {

namespace {

// Search steps from which doubling the buckets is tried: two steps (four
// candidates per bucket) keep a lane's search to two gathers. Buckets stop
// doubling at kBucketCap or 8 per node (bit_ceil), whichever is larger, so
// that the table of a small mesh stays within the second-level cache and a
// large mesh's table stays a small multiple of its nodes; crowded nodes
// beyond that cost more steps, never a wrong interval.
constexpr int kWantedSteps = 2;
constexpr std::uint64_t kBucketCap = std::uint64_t{1} << 16;
constexpr std::uint64_t kMostBuckets = std::uint64_t{1} << 31;

}  // namespace

GradedMesh::GradedMesh(std::span<const double> nodes) {
    if (nodes.size() < 2) fatal(messages::kGradedMeshTooFewNodes);
    nodes_.assign(nodes.begin(), nodes.end());
    const std::uint64_t n = nodes_.size() - 1;
    const std::uint64_t cap =
        std::min(kMostBuckets, std::max(kBucketCap, std::bit_ceil(checked_mul(std::min(n, kMostBuckets), 8))));
    GradedLocator probe{};
    probe.n_t = n;
    probe.start = nodes_.front();
    probe.end = nodes_.back();
    std::vector<std::uint64_t> count;
    for (std::uint64_t b = std::min(std::bit_ceil(std::min(n, kMostBuckets)), cap);; b *= 2) {
        probe.buckets = b;
        probe.inverse_width = static_cast<double>(b) / (probe.end - probe.start);
        count.assign(b, 0);
        for (std::uint64_t j = 1; j < n; ++j) ++count[graded_bucket<double>(probe, nodes_[j])];
        const std::uint64_t crowd = *std::max_element(count.begin(), count.end());
        buckets_ = b;
        steps_ = std::bit_width(crowd);
        if (steps_ <= kWantedSteps || b * 2 > cap) break;
    }
    lower_.assign(checked_add(buckets_, 1), 0.0);
    std::uint64_t below = 0;
    for (std::uint64_t k = 0; k < buckets_; ++k) {
        lower_[k] = std::bit_cast<double>(count[k] == 0 ? below : below | kCrowdedBucket);
        below += count[k];
    }
    lower_[buckets_] = std::bit_cast<double>(below);
    search_.assign(checked_add(n, std::uint64_t{1} << steps_), std::numeric_limits<double>::quiet_NaN());
    std::copy(nodes_.begin() + 1, nodes_.end() - 1, search_.begin() + 1);
}

GradedLocator GradedMesh::locator(NodeSide side, bool periodic) const noexcept {
    GradedLocator view{};
    view.nodes = nodes_.data();
    view.search = search_.data();
    view.lower = lower_.data();
    view.n_t = n_t();
    view.buckets = buckets_;
    view.first_step = steps_ == 0 ? 0 : std::int64_t{1} << (steps_ - 1);
    view.start = nodes_.front();
    view.end = nodes_.back();
    view.inverse_width = static_cast<double>(buckets_) / (view.end - view.start);
    view.periodic = periodic;
    view.left = side == NodeSide::left;
    return view;
}

}  // namespace tavik
