// Segmentation of the ternary image into black and white regions, and the
// boundary points where a black region meets a white one, grouped by the pair
// of regions they separate. Regions grow in one top-to-bottom scan with a
// union-find forest (union by size, path compression); the boundary points
// are collected in the same scan and keyed once the forest is complete.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "apriltag/quad_threshold.hpp"
#include "runtime/allocator.hpp"
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

// The outline shared by one black and one white region.
struct BoundaryCluster {
  std::uint64_t key = 0;  // (smaller root label << 32) | larger root label
  Vec<BoundaryPoint> points;
};

constexpr std::uint32_t kNoLabel = 0xFFFFFFFFu;

// Disjoint sets of region labels. Labels are handed out in order 0, 1, ...
class RegionForest {
 public:
  std::uint32_t add();
  std::uint32_t find(std::uint32_t label);  // the root, compressing the path behind
  // Unites the sets of `current` (the pixel being scanned) and `above`: the
  // smaller set goes under the larger one; on equal sizes under `above`'s root.
  void join(std::uint32_t current, std::uint32_t above);
  std::size_t size() const noexcept { return nodes_.size(); }

 private:
  struct Node {
    std::uint32_t parent;
    std::uint32_t size;
  };
  Vec<Node> nodes_;
};

struct Segmentation {
  Vec<std::uint32_t> labels;  // per pixel; kNoLabel for unknown pixels
  RegionForest regions;
  Vec<BoundaryRecord> boundary;  // in scan order

  // Cluster key of the two regions a record separates.
  std::uint64_t key(const BoundaryRecord& record);
};

// Labels and boundary indices are 32-bit and doubled coordinates are signed
// 32-bit, so the labelled image must have at most 0xFFFFFFFE pixels and at
// most 2^30 pixels per side. Gives the ValueError for larger images.
std::optional<Error> check_segmentable(std::uint32_t width, std::uint32_t height);

// Labels the black and white regions and collects the boundary records in
// one scan. Fails only for images check_segmentable refuses.
Result<Segmentation> segment(const TernaryImage& ternary);

// Groups the boundary points by region pair, drops the clusters with fewer
// than max(24, min_cluster_pixels) points and returns the rest by ascending
// key; each cluster keeps its points in scan order.
Vec<BoundaryCluster> cluster_boundary(Segmentation& segmentation, std::int32_t min_cluster_pixels);

// Boundary counts of one region pair: all its points, and those `near` accepts.
struct ClusterTally {
  std::uint64_t key = 0;
  std::uint32_t total = 0;
  std::uint32_t near = 0;
};

// The tally of every region pair, by ascending key; no points are kept.
Vec<ClusterTally> tally_boundary(Segmentation& segmentation,
                                 const std::function<bool(const BoundaryPoint&)>& near);

// The boundary points of one region pair, in scan order.
Vec<BoundaryPoint> collect_boundary(Segmentation& segmentation, std::uint64_t key);

}  // namespace morvelin
