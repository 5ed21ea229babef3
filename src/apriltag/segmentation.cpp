#include "apriltag/segmentation.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace morvelin {

std::uint32_t RegionForest::add() {
  const auto label = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back({label, 1});
  return label;
}

std::uint32_t RegionForest::find(std::uint32_t label) {
  std::uint32_t root = label;
  while (nodes_[root].parent != root) root = nodes_[root].parent;
  while (nodes_[label].parent != root) {
    const std::uint32_t next = nodes_[label].parent;
    nodes_[label].parent = root;
    label = next;
  }
  return root;
}

void RegionForest::join(std::uint32_t current, std::uint32_t above) {
  const std::uint32_t a = find(current);
  const std::uint32_t b = find(above);
  if (a == b) return;
  if (nodes_[a].size > nodes_[b].size) {
    nodes_[b].parent = a;
    nodes_[a].size += nodes_[b].size;
  } else {
    nodes_[a].parent = b;
    nodes_[b].size += nodes_[a].size;
  }
}

std::uint64_t Segmentation::key(const BoundaryRecord& record) {
  const std::uint32_t ra = regions.find(labels[record.a]);
  const std::uint32_t rb = regions.find(labels[record.b]);
  return (static_cast<std::uint64_t>(std::min(ra, rb)) << 32) | std::max(ra, rb);
}

std::optional<Error> check_segmentable(std::uint32_t width, std::uint32_t height) {
  constexpr std::uint64_t kMaxPixels = 0xFFFFFFFEull;
  constexpr std::uint32_t kMaxSide = 1u << 30;
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
  if (pixels <= kMaxPixels && width <= kMaxSide && height <= kMaxSide) return std::nullopt;
  return value_error("image too large for the AprilTag quad detector: " + std::to_string(width) + " x " +
                     std::to_string(height) + " pixels after decimation; at most " + std::to_string(kMaxPixels) +
                     " pixels and " + std::to_string(kMaxSide) + " per side are supported");
}

namespace {

// One row of the scan: labels the row's pixels, joins them with the row
// above and appends the boundary records towards the right and the row below.
class RowScanner {
 public:
  RowScanner(const TernaryImage& ternary, Segmentation& out) : t_(ternary), out_(out) {}

  void scan(std::uint32_t y) {
    const std::uint32_t w = t_.width;
    const bool last_row = y + 1 == t_.height;
    const std::uint8_t* row = t_.row(y);
    std::uint32_t* labels = out_.labels.data() + static_cast<std::size_t>(y) * w;
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t v = row[x];
      if (v == kTernaryUnknown) continue;
      const bool took_left = !last_row && x >= 2 && row[x - 1] == v;
      labels[x] = took_left ? labels[x - 1] : out_.regions.add();
      if (x >= 1 && x + 1 < w) {
        if (y >= 1) join_above(x, y, took_left);
        if (!last_row) append_boundary(x, y);
      }
    }
  }

 private:
  void join_above(std::uint32_t x, std::uint32_t y, bool took_left) {
    const std::uint32_t w = t_.width;
    const std::uint8_t v = t_.row(y)[x];
    const std::uint8_t* up = t_.row(y - 1);
    const std::uint32_t* up_labels = out_.labels.data() + static_cast<std::size_t>(y - 1) * w;
    const std::uint32_t label = out_.labels[static_cast<std::size_t>(y) * w + x];
    // White regions connect diagonally as well, black ones only straight up.
    const int reach = v == kTernaryWhite ? 1 : 0;
    for (int dx = -reach; dx <= reach; ++dx) {
      const std::uint32_t ax = x + dx;
      if (up[ax] != v) continue;
      // The left neighbour already joined whatever shares a run with the
      // pixel above-left.
      if (took_left && up_labels[ax] == up_labels[x - 1]) continue;
      out_.regions.join(label, up_labels[ax]);
    }
  }

  void append_boundary(std::uint32_t x, std::uint32_t y) {
    static constexpr int kDx[4] = {1, 0, -1, 1};
    static constexpr int kDy[4] = {0, 1, 1, 1};
    const std::uint32_t w = t_.width;
    const std::uint8_t v = t_.row(y)[x];
    const std::size_t a = static_cast<std::size_t>(y) * w + x;
    for (int k = 0; k < 4; ++k) {
      const std::size_t b = static_cast<std::size_t>(y + kDy[k]) * w + (x + kDx[k]);
      const std::uint8_t nb = t_.pixels[b];
      if ((nb ^ v) != 0xFF) continue;  // only black against white
      const std::int32_t diff = static_cast<std::int32_t>(nb) - static_cast<std::int32_t>(v);
      const BoundaryPoint p{static_cast<std::int32_t>(2 * x) + kDx[k], static_cast<std::int32_t>(2 * y) + kDy[k],
                            kDx[k] * diff, kDy[k] * diff};
      out_.boundary.push_back({p, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)});
    }
  }

  const TernaryImage& t_;
  Segmentation& out_;
};

using KeyIndex = std::unordered_map<std::uint64_t, std::uint32_t, std::hash<std::uint64_t>, std::equal_to<>,
                                    Allocator<std::pair<const std::uint64_t, std::uint32_t>>>;

// Numbers the distinct keys of the boundary records in order of first
// appearance; owner[i] is the number of record i's key.
struct KeyNumbering {
  Vec<std::uint64_t> keys;
  Vec<std::uint32_t> counts;
  Vec<std::uint32_t> owner;
};

KeyNumbering number_keys(Segmentation& s) {
  KeyNumbering n;
  n.owner.resize(s.boundary.size());
  KeyIndex index;
  bool have_last = false;
  std::uint64_t last_key = 0;
  std::uint32_t last = 0;
  for (std::size_t i = 0; i < s.boundary.size(); ++i) {
    const std::uint64_t key = s.key(s.boundary[i]);
    if (!have_last || key != last_key) {  // neighbouring records mostly share a key
      const auto [it, inserted] = index.try_emplace(key, static_cast<std::uint32_t>(n.keys.size()));
      if (inserted) {
        n.keys.push_back(key);
        n.counts.push_back(0);
      }
      last = it->second;
      last_key = key;
      have_last = true;
    }
    ++n.counts[last];
    n.owner[i] = last;
  }
  return n;
}

}  // namespace

Result<Segmentation> segment(const TernaryImage& ternary) {
  if (auto error = check_segmentable(ternary.width, ternary.height)) return *error;
  Segmentation s;
  s.labels.assign(ternary.pixels.size(), kNoLabel);
  RowScanner scanner(ternary, s);
  for (std::uint32_t y = 0; y < ternary.height; ++y) scanner.scan(y);
  return s;
}

Vec<BoundaryCluster> cluster_boundary(Segmentation& segmentation, std::int32_t min_cluster_pixels) {
  const std::uint32_t minimum = static_cast<std::uint32_t>(std::max<std::int32_t>(24, min_cluster_pixels));
  const KeyNumbering n = number_keys(segmentation);
  Vec<std::uint32_t> kept;
  for (std::uint32_t c = 0; c < n.keys.size(); ++c) {
    if (n.counts[c] >= minimum) kept.push_back(c);
  }
  std::sort(kept.begin(), kept.end(), [&](std::uint32_t a, std::uint32_t b) { return n.keys[a] < n.keys[b]; });
  constexpr std::uint32_t kDropped = 0xFFFFFFFFu;
  Vec<std::uint32_t> slot(n.keys.size(), kDropped);
  Vec<BoundaryCluster> clusters(kept.size());
  for (std::uint32_t k = 0; k < kept.size(); ++k) {
    slot[kept[k]] = k;
    clusters[k].key = n.keys[kept[k]];
    clusters[k].points.reserve(n.counts[kept[k]]);
  }
  for (std::size_t i = 0; i < segmentation.boundary.size(); ++i) {
    const std::uint32_t k = slot[n.owner[i]];
    if (k != kDropped) clusters[k].points.push_back(segmentation.boundary[i].point);
  }
  return clusters;
}

Vec<ClusterTally> tally_boundary(Segmentation& segmentation,
                                 const std::function<bool(const BoundaryPoint&)>& near) {
  const KeyNumbering n = number_keys(segmentation);
  Vec<ClusterTally> tallies(n.keys.size());
  for (std::size_t c = 0; c < n.keys.size(); ++c) tallies[c] = {n.keys[c], n.counts[c], 0};
  for (std::size_t i = 0; i < segmentation.boundary.size(); ++i) {
    if (near(segmentation.boundary[i].point)) ++tallies[n.owner[i]].near;
  }
  std::sort(tallies.begin(), tallies.end(), [](const ClusterTally& a, const ClusterTally& b) { return a.key < b.key; });
  return tallies;
}

Vec<BoundaryPoint> collect_boundary(Segmentation& segmentation, std::uint64_t key) {
  Vec<BoundaryPoint> points;
  for (const BoundaryRecord& record : segmentation.boundary) {
    if (segmentation.key(record) == key) points.push_back(record.point);
  }
  return points;
}

}  // namespace morvelin
