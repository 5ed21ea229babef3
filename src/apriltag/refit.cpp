#include "apriltag/refit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "apriltag/edge_refine.hpp"
#include "apriltag/quad_fit.hpp"
#include "apriltag/quad_threshold.hpp"
#include "apriltag/segmentation.hpp"
#include "numeric/conversions.hpp"

namespace morvelin {
namespace {

struct Vec2 {
  double x = 0, y = 0;
};

// One side of the current outline, from corner `from` along `dir` (unit).
struct Edge {
  Vec2 from;
  Vec2 dir;
  double length = 0;
};

// The marker's current outline in crop coordinates. `inward` makes the
// signed distance to every edge line positive inside the quad.
struct Outline {
  std::array<Vec2, 4> corners;
  std::array<Edge, 4> edges;
  double inward = 1.0;
  double cell = 0;  // side of one marker cell, pixels

  double signed_distance(std::size_t i, double x, double y) const {
    const Edge& e = edges[i];
    return inward * (e.dir.x * (y - e.from.y) - e.dir.y * (x - e.from.x));
  }
};

struct CropRect {
  std::uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

double cell_size(const Quad& q, std::uint32_t marker_size, std::int32_t border_cells) {
  const std::int64_t border = std::max<std::int32_t>(border_cells, 0);
  const std::int64_t cells = std::max<std::int64_t>(1, static_cast<std::int64_t>(marker_size) + 2 * border);
  double longest = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Point2f& a = q[i];
    const Point2f& b = q[(i + 1) % 4];
    longest = std::max(longest, std::hypot(static_cast<double>(b.x) - a.x, static_cast<double>(b.y) - a.y));
  }
  return longest / static_cast<double>(cells);
}

// The corners' bounding box grown by `margin`, snapped outwards to the 4-pixel
// tile grid and clamped to the image.
std::optional<CropRect> crop_rect(const Quad& q, double margin, GrayView image) {
  double xmin = q[0].x, xmax = xmin, ymin = q[0].y, ymax = ymin;
  for (const Point2f& p : q) {
    xmin = std::min<double>(xmin, p.x);
    xmax = std::max<double>(xmax, p.x);
    ymin = std::min<double>(ymin, p.y);
    ymax = std::max<double>(ymax, p.y);
  }
  const auto snap = [](double v, bool up, std::uint32_t limit) {
    const double tile = 4.0 * (up ? std::ceil(v / 4.0) : std::floor(v / 4.0));
    return std::min(limit, saturating_cast<std::uint32_t>(tile));  // negative values give 0
  };
  const CropRect r{snap(xmin - margin, false, image.width), snap(ymin - margin, false, image.height),
                   snap(xmax + margin, true, image.width), snap(ymax + margin, true, image.height)};
  if (r.x1 <= r.x0 || r.y1 <= r.y0) return std::nullopt;
  return r;
}

GrayImage copy_crop(GrayView image, const CropRect& r) {
  GrayImage crop(r.x1 - r.x0, r.y1 - r.y0);
  for (std::uint32_t y = r.y0; y < r.y1; ++y) {
    const std::uint8_t* src = image.row(y) + r.x0;
    std::copy(src, src + crop.width, crop.row(y - r.y0));
  }
  return crop;
}

std::optional<Outline> outline_in_crop(const Quad& q, const CropRect& r, double cell) {
  Outline o;
  o.cell = cell;
  for (std::size_t i = 0; i < 4; ++i) o.corners[i] = {static_cast<double>(q[i].x) - r.x0, static_cast<double>(q[i].y) - r.y0};
  double twice_area = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Vec2& a = o.corners[i];
    const Vec2& b = o.corners[(i + 1) % 4];
    twice_area += a.x * b.y - b.x * a.y;
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    if (!(length > 0)) return std::nullopt;
    o.edges[i] = {a, {(b.x - a.x) / length, (b.y - a.y) / length}, length};
  }
  if (twice_area == 0) return std::nullopt;
  o.inward = twice_area > 0 ? 1.0 : -1.0;
  return o;
}

// Sets every pixel outside the band around the marker's border to unknown:
// more than a cell (+ 4 px) outside the outline, or deeper inside than the
// border (+ half a cell + 4 px). Pixel centres are at integer coordinates.
void keep_border_band(TernaryImage& ternary, const Outline& o, std::int32_t border_cells) {
  const double outer = -(o.cell + 4);
  const double inner = (std::max<std::int32_t>(border_cells, 0) + 0.5) * o.cell + 4;
  for (std::uint32_t y = 0; y < ternary.height; ++y) {
    std::uint8_t* row = ternary.row(y);
    for (std::uint32_t x = 0; x < ternary.width; ++x) {
      double d = o.signed_distance(0, x, y);
      for (std::size_t i = 1; i < 4; ++i) d = std::min(d, o.signed_distance(i, x, y));
      if (d < outer || d > inner) row[x] = kTernaryUnknown;
    }
  }
}

// True when the boundary point lies within `t` of one of the outline's edges
// (segments extended by `t` at both ends).
bool near_outline(const Outline& o, const BoundaryPoint& p, double t) {
  const double x = p.x / 2.0;
  const double y = p.y / 2.0;
  for (const Edge& e : o.edges) {
    const double along = (x - e.from.x) * e.dir.x + (y - e.from.y) * e.dir.y;
    const double across = std::fabs(e.dir.x * (y - e.from.y) - e.dir.y * (x - e.from.x));
    if (along > -t && along < e.length + t && across < t) return true;
  }
  return false;
}

// The region pair with the most boundary points near the outline (ties to the
// larger key) among those with enough points in all; none without near points.
std::optional<std::uint64_t> choose_outline_cluster(const Vec<ClusterTally>& tallies, std::int32_t min_cluster_pixels) {
  const std::int64_t minimum = std::max<std::int64_t>(24, min_cluster_pixels);
  std::optional<std::uint64_t> best;
  std::uint32_t best_near = 0;
  for (const ClusterTally& t : tallies) {  // ascending keys: >= lets the larger key win a tie
    if (t.total < minimum || t.near == 0 || t.near < best_near) continue;
    best = t.key;
    best_near = t.near;
  }
  return best;
}

// The cyclic rotation of `fitted` closest to the current corners (ties to
// the lower rotation).
Quad align_to(const Quad& fitted, const std::array<Vec2, 4>& current) {
  std::size_t best_rotation = 0;
  double best = 0;
  for (std::size_t r = 0; r < 4; ++r) {
    double sum = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const Point2f& f = fitted[(i + r) % 4];
      sum += std::pow(f.x - current[i].x, 2) + std::pow(f.y - current[i].y, 2);
    }
    if (r == 0 || sum < best) {
      best = sum;
      best_rotation = r;
    }
  }
  Quad aligned;
  for (std::size_t i = 0; i < 4; ++i) aligned[i] = fitted[(i + best_rotation) % 4];
  return aligned;
}

}  // namespace

void refit_marker_full_resolution(GrayView image, const RefitSettings& settings, Quad& corners) {
  const Quad& current = corners;
  for (const Point2f& p : current) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
  }
  const double cell = cell_size(current, settings.marker_size, settings.border_cells);
  const auto rect = crop_rect(current, cell + 16, image);
  if (!rect || check_segmentable(rect->x1 - rect->x0, rect->y1 - rect->y0)) return;
  const auto outline = outline_in_crop(current, *rect, cell);
  if (!outline) return;

  const GrayImage crop = copy_crop(image, *rect);
  TernaryImage ternary = threshold_tiles(crop, settings.min_white_black_diff);
  if (settings.deglitch) deglitch(ternary);
  keep_border_band(ternary, *outline, settings.border_cells);
  auto segmentation = segment(ternary);
  if (!segmentation) return;

  const double t = std::max(2.0, cell / 2);
  const Vec<ClusterTally> tallies =
      tally_boundary(*segmentation, [&](const BoundaryPoint& p) { return near_outline(*outline, p, t); });
  const auto key = choose_outline_cluster(tallies, settings.min_cluster_pixels);
  if (!key) return;
  const Vec<BoundaryPoint> points = collect_boundary(*segmentation, *key);
  const auto fitted = fit_quad(points, crop, settings.fit);
  if (!fitted) return;

  const Quad aligned = align_to(*fitted, outline->corners);
  const double tolerance = std::max(3.0, 0.4 * cell);
  for (std::size_t i = 0; i < 4; ++i) {
    const double d = std::hypot(aligned[i].x - outline->corners[i].x, aligned[i].y - outline->corners[i].y);
    if (!(d <= tolerance)) return;
  }
  Quad refitted;
  for (std::size_t i = 0; i < 4; ++i) {
    refitted[i] = {static_cast<float>(aligned[i].x + static_cast<double>(rect->x0)),
                   static_cast<float>(aligned[i].y + static_cast<double>(rect->y0))};
  }
  corners = refine_quad_edges(image, refitted, edge_search_radius(1.0));
}

}  // namespace morvelin
