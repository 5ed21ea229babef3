// Segmentation of the ternary image into black and white regions, and the
// boundary points where a black region meets a white one, grouped by the pair
// of regions they separate. Regions grow in one top-to-bottom scan over runs
// of equal labels with a union-find forest (union by size, path halving); the
// boundary is marked per pixel alongside, and once the forest is complete
// every pixel holds its region's root and the boundary points are keyed by
// region pair, in parallel over bands of rows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>

#include "apriltag/quad_threshold.hpp"
#include "runtime/allocator.hpp"
#include "runtime/owned_array.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// A point between a pixel and its neighbour, in doubled coordinates: the
// boundary between (px, py) and (px + dx, py + dy) is (2 px + dx, 2 py + dy).
// (gx, gy) = (dx, dy) * (neighbour value - pixel value): it points from dark
// to light, with components 0 or +-255.
struct BoundaryPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t gx = 0;
  std::int32_t gy = 0;

  bool operator==(const BoundaryPoint&) const = default;
};

struct BoundaryRecord {
  BoundaryPoint point;
  std::uint32_t a = 0;  // pixel index of the pixel
  std::uint32_t b = 0;  // pixel index of its neighbour
};

// The neighbours (dx, dy) a pixel's boundary points lie towards, in the
// order its records come in.
constexpr int kBoundaryNeighbours[4][2] = {{1, 0}, {0, 1}, {-1, 1}, {1, 1}};
// Boundary marks: set besides the neighbour bits on marked white pixels.
constexpr std::uint8_t kBoundaryWhitePixel = 0x10;

constexpr std::uint32_t kNoLabel = 0xFFFFFFFFu;

// Disjoint sets of region labels. Labels are handed out in order 0, 1, ...
class RegionForest {
 public:
  std::uint32_t add() {
    const auto label = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back({label, 1});
    return label;
  }
  // Adds single-label sets up to `count` labels.
  void grow(std::uint32_t count);
  // The root, halving the path on the way (every node on it then points to
  // its grandparent; roots never change by it).
  std::uint32_t find(std::uint32_t label) {
    Node* nodes = nodes_.data();
    while (nodes[label].parent != label) {
      const std::uint32_t grandparent = nodes[nodes[label].parent].parent;
      nodes[label].parent = grandparent;
      label = grandparent;
    }
    return label;
  }
  // Unites the sets of `current` (the pixel being scanned) and `above`: the
  // smaller set goes under the larger one; on equal sizes under `above`'s root.
  void join(std::uint32_t current, std::uint32_t above) { unite(find(current), above); }
  // join for a current label whose root is already known; returns the root
  // of the united set.
  std::uint32_t unite(std::uint32_t current_root, std::uint32_t above) { return link(current_root, find(above)); }
  // unite for two roots.
  std::uint32_t link(std::uint32_t current_root, std::uint32_t b) {
    if (current_root == b) return b;
    Node* nodes = nodes_.data();
    if (nodes[current_root].size > nodes[b].size) {
      nodes[b].parent = current_root;
      nodes[current_root].size += nodes[b].size;
      return current_root;
    }
    nodes[current_root].parent = b;
    nodes[b].size += nodes[current_root].size;
    return b;
  }
  std::size_t size() const noexcept { return nodes_.size(); }
  // The root of every label, indexed by label.
  UninitializedVec<std::uint32_t> roots() const;

 private:
  struct Node {
    std::uint32_t parent;
    std::uint32_t size;
  };
  UninitializedVec<Node> nodes_;
};

struct Segmentation {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Per pixel: the root label of its region (kNoLabel for unknown pixels).
  OwnedArray<std::uint32_t> labels;
  RegionForest regions;
  // Per pixel: bit k is set when the pixel and its neighbour
  // kBoundaryNeighbours[k] are black and white (in either order), for pixels
  // at 1 <= x < width - 1 above the last row; every other pixel has none. A
  // marked white pixel also has kBoundaryWhitePixel.
  OwnedArray<std::uint8_t> boundary;
};

// Labels and boundary indices are 32-bit and doubled coordinates are signed
// 32-bit, so the labelled image must have at most 0xFFFFFFFE pixels and at
// most 2^30 pixels per side. Gives the ValueError for larger images.
std::optional<Error> check_segmentable(std::uint32_t width, std::uint32_t height);

// Labels the black and white regions and marks the boundary between them.
// Fails only for images check_segmentable refuses.
Result<Segmentation> segment(const TernaryImage& ternary);

// Every boundary record, in scan order: by pixel, then by neighbour.
Vec<BoundaryRecord> boundary_records(const Segmentation& segmentation);

// The boundary points of every kept region pair, cluster after cluster, by
// ascending key; each cluster's points in scan order.
class BoundaryClusters {
 public:
  // One cluster: the outline shared by one black and one white region.
  struct Cluster {
    std::uint64_t key;  // (smaller root label << 32) | larger root label
    std::span<const BoundaryPoint> points;
  };

  BoundaryClusters() = default;
  BoundaryClusters(Vec<std::uint64_t> keys, Vec<std::size_t> starts, OwnedArray<BoundaryPoint> points)
      : keys_(std::move(keys)), starts_(std::move(starts)), points_(std::move(points)) {}

  std::size_t size() const noexcept { return keys_.size(); }
  bool empty() const noexcept { return keys_.empty(); }
  Cluster operator[](std::size_t i) const noexcept {
    return {keys_[i], {points_.data() + starts_[i], starts_[i + 1] - starts_[i]}};
  }

 private:
  Vec<std::uint64_t> keys_;
  Vec<std::size_t> starts_;  // cluster i is points_[starts_[i], starts_[i + 1])
  OwnedArray<BoundaryPoint> points_;
};

// Groups the boundary points by region pair, drops the clusters with fewer
// than max(24, min_cluster_pixels) points and returns the rest by ascending
// key.
BoundaryClusters cluster_boundary(const Segmentation& segmentation, std::int32_t min_cluster_pixels);

// Boundary counts of one region pair: all its points, and those `near` accepts.
struct ClusterTally {
  std::uint64_t key = 0;
  std::uint32_t total = 0;
  std::uint32_t near = 0;
};

// The tally of every region pair, by ascending key; no points are kept.
Vec<ClusterTally> tally_boundary(const Segmentation& segmentation,
                                 const std::function<bool(const BoundaryPoint&)>& near);

// The boundary points of one region pair, in scan order.
Vec<BoundaryPoint> collect_boundary(const Segmentation& segmentation, std::uint64_t key);

}  // namespace morvelin
