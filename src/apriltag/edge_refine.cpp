#include "apriltag/edge_refine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "geometry/quad.hpp"

namespace morvelin {
namespace {

struct Vec2 {
  double x = 0, y = 0;
};

// A line n . p = offset with unit normal n.
struct Line {
  Vec2 normal;
  double offset = 0;
};

constexpr double kProfileStep = 0.5;  // pixels between samples across a side
constexpr int kMaxSamplesPerSide = 16;

// Bilinear intensity at (x, y), pixel centres at integer coordinates,
// coordinates clamped to the image (NaN to 0).
double intensity(GrayView image, double x, double y) {
  const double cx = x > 0 ? std::min(x, static_cast<double>(image.width - 1)) : 0.0;
  const double cy = y > 0 ? std::min(y, static_cast<double>(image.height - 1)) : 0.0;
  const auto x0 = static_cast<std::uint32_t>(cx);
  const auto y0 = static_cast<std::uint32_t>(cy);
  const std::uint32_t x1 = std::min(x0 + 1, image.width - 1);
  const std::uint32_t y1 = std::min(y0 + 1, image.height - 1);
  const double fx = cx - x0;
  const double fy = cy - y0;
  const double top = image.at(x0, y0) + fx * (image.at(x1, y0) - image.at(x0, y0));
  const double bottom = image.at(x0, y1) + fx * (image.at(x1, y1) - image.at(x0, y1));
  return top + fy * (bottom - top);
}

// Position of the dark-to-light edge across `centre` along `normal`, as an
// offset from `centre`, and its contrast: the centroid and the sum of the
// rises of the intensity profile over [-radius, radius]. Falls are ignored,
// so the inner edge of the marker's border and the far side of a quiet zone
// do not pull the estimate.
std::pair<double, double> edge_across(GrayView image, Vec2 centre, Vec2 normal, double radius) {
  const int steps = static_cast<int>(std::ceil(2 * radius / kProfileStep));
  double previous = intensity(image, centre.x - radius * normal.x, centre.y - radius * normal.y);
  double moment = 0, contrast = 0;
  for (int j = 1; j <= steps; ++j) {
    const double s = -radius + j * kProfileStep;
    const double value = intensity(image, centre.x + s * normal.x, centre.y + s * normal.y);
    const double rise = value - previous;
    if (rise > 0) {
      moment += rise * (s - kProfileStep / 2);
      contrast += rise;
    }
    previous = value;
  }
  return {contrast > 0 ? moment / contrast : 0.0, contrast};
}

// The refined line of the side from `a` to `b` whose outside is in direction
// `outward`: a contrast-weighted total least squares fit through the edge
// positions found across the side, away from its ends.
std::optional<Line> refine_side(GrayView image, Vec2 a, Vec2 b, Vec2 outward, double radius) {
  const double length = std::hypot(b.x - a.x, b.y - a.y);
  const double end_margin = std::max(0.1 * length, radius + 1);
  const double usable = length - 2 * end_margin;
  if (!(usable > 0)) return std::nullopt;
  const Vec2 along{(b.x - a.x) / length, (b.y - a.y) / length};
  const auto samples = static_cast<int>(std::clamp(usable / 2, 2.0, static_cast<double>(kMaxSamplesPerSide)));
  double w = 0, wx = 0, wy = 0, wxx = 0, wxy = 0, wyy = 0;
  for (int k = 0; k < samples; ++k) {
    const double t = end_margin + usable * (k + 0.5) / samples;
    const Vec2 centre{a.x + t * along.x, a.y + t * along.y};
    const auto [offset, contrast] = edge_across(image, centre, outward, radius);
    if (contrast <= 0) continue;
    const double x = centre.x + offset * outward.x;
    const double y = centre.y + offset * outward.y;
    w += contrast;
    wx += contrast * x;
    wy += contrast * y;
    wxx += contrast * x * x;
    wxy += contrast * x * y;
    wyy += contrast * y * y;
  }
  if (!(w > 0)) return std::nullopt;
  const double mx = wx / w, my = wy / w;
  const double cxx = wxx / w - mx * mx, cxy = wxy / w - mx * my, cyy = wyy / w - my * my;
  // The line runs along the principal axis of the points; with too few
  // distinct points that axis is unknown and the side keeps its direction.
  const double theta = 0.5 * std::atan2(2 * cxy, cxx - cyy);
  Vec2 direction{std::cos(theta), std::sin(theta)};
  if (!(cxx + cyy > 1e-6)) direction = along;
  const Vec2 normal{-direction.y, direction.x};
  return Line{normal, normal.x * mx + normal.y * my};
}

std::optional<Vec2> intersect(const Line& p, const Line& q) {
  const double det = p.normal.x * q.normal.y - p.normal.y * q.normal.x;
  if (std::fabs(det) < 1e-9) return std::nullopt;
  return Vec2{(p.offset * q.normal.y - q.offset * p.normal.y) / det,
              (p.normal.x * q.offset - q.normal.x * p.offset) / det};
}

// One refinement of every side of `quad`; nothing when any side fails.
std::optional<Quad> refine_once(GrayView image, const Quad& quad, double search_radius) {
  std::array<Vec2, 4> corners;
  Vec2 centroid;
  for (std::size_t i = 0; i < 4; ++i) {
    corners[i] = {quad[i].x, quad[i].y};
    centroid.x += corners[i].x / 4;
    centroid.y += corners[i].y / 4;
  }
  std::array<Line, 4> lines;
  for (std::size_t i = 0; i < 4; ++i) {
    const Vec2& a = corners[i];
    const Vec2& b = corners[(i + 1) % 4];
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    if (!(length > 0)) return std::nullopt;
    Vec2 outward{(b.y - a.y) / length, -(b.x - a.x) / length};
    if (outward.x * ((a.x + b.x) / 2 - centroid.x) + outward.y * ((a.y + b.y) / 2 - centroid.y) < 0) {
      outward = {-outward.x, -outward.y};
    }
    const auto line = refine_side(image, a, b, outward, search_radius);
    if (!line) return std::nullopt;
    lines[i] = *line;
  }
  // Corner i lies where side i - 1 meets side i.
  Quad refined;
  for (std::size_t i = 0; i < 4; ++i) {
    const auto corner = intersect(lines[(i + 3) % 4], lines[i]);
    if (!corner || !std::isfinite(corner->x) || !std::isfinite(corner->y)) return std::nullopt;
    refined[i] = {static_cast<float>(corner->x), static_cast<float>(corner->y)};
  }
  return refined;
}

}  // namespace

double edge_search_radius(double decimate) { return 1.0 + std::max(1.0, std::min(decimate, 8.0)); }

Quad refine_quad_edges(GrayView image, const Quad& quad, double search_radius) {
  if (image.empty()) return quad;
  // The profile window is centred on the current side, and a blurred edge
  // whose tail the window cuts off reads slightly towards the window's
  // centre; a second pass centred on the first pass's sides removes most of
  // what is left of the fitted line's offset.
  const auto first = refine_once(image, quad, search_radius);
  if (!first) return quad;
  const auto second = refine_once(image, *first, search_radius);
  if (!second) return quad;
  const double limit = 2 * search_radius + 1;
  for (std::size_t i = 0; i < 4; ++i) {
    if (!(std::hypot((*second)[i].x - quad[i].x, (*second)[i].y - quad[i].y) <= limit)) return quad;
  }
  return is_convex_quad(*second) ? *second : quad;
}

}  // namespace morvelin
