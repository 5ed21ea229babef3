#include "chessboard/chessboard_quads.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "contours/border_following.hpp"
#include "geometry/quad.hpp"
#include "imgproc/polygon_approximation.hpp"

namespace morvelin {
namespace {

float shoelace_area(const Quad& q) {
  float twice = 0.0f;
  for (int i = 0; i < 4; ++i) {
    const Point2f a = q[i];
    const Point2f b = q[(i + 1) % 4];
    twice += a.x * b.y - b.x * a.y;
  }
  return std::fabs(twice) * 0.5f;
}

// The polygon tolerances: 1 pixel, raised by 1 while the polygon has more
// than four vertices, up to kMaxQuadTolerance.
constexpr std::array<float, 7> kQuadTolerances = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, kMaxQuadTolerance};

// Polygon of one border at the first tolerance that leaves at most four
// vertices, kept when it has exactly four and passes the quad filters.
class QuadCollector {
 public:
  QuadCollector(std::uint32_t width, std::uint32_t height, float outward_shift)
      : width_(width), height_(height), outward_shift_(outward_shift) {}

  // A border of at least kMinQuadBorderLength positions.
  void consider(std::span<const ContourPoint> contour) {
    points_.resize(contour.size());
    for (std::size_t i = 0; i < contour.size(); ++i) {
      points_[i] = {static_cast<float>(contour[i].x), static_cast<float>(contour[i].y)};
    }
    if (!polygon_.approximate(points_, kQuadTolerances, 4, vertices_) || vertices_.size() != 4) return;
    Quad polygon = {vertices_[0], vertices_[1], vertices_[2], vertices_[3]};
    if (outward_shift_ != 0.0f) polygon = shift_outward(polygon, outward_shift_);
    if (auto quad = accept_chessboard_quad(order_by_angle(polygon), width_, height_)) quads_.push_back(*quad);
  }

  ChessboardQuadList take() { return std::move(quads_); }

 private:
  std::uint32_t width_;
  std::uint32_t height_;
  float outward_shift_;
  CoarsestPolygon polygon_;
  Vec<Point2f> points_;
  Vec<Point2f> vertices_;
  ChessboardQuadList quads_;
};

Point2f centroid(const Quad& quad) {
  return {(quad[0].x + quad[1].x + quad[2].x + quad[3].x) / 4.0f, (quad[0].y + quad[1].y + quad[2].y + quad[3].y) / 4.0f};
}

}  // namespace

Quad shift_outward(const Quad& quad, float shift) {
  const Point2f c = centroid(quad);
  const auto away = [shift](float v, float from) { return v > from ? v + shift : (v < from ? v - shift : v); };
  Quad out = quad;
  for (Point2f& p : out) p = {away(p.x, c.x), away(p.y, c.y)};
  return out;
}

Quad order_by_angle(const Quad& quad) {
  const auto [cx, cy] = centroid(quad);
  std::array<float, 4> angle{};
  std::array<int, 4> order = {0, 1, 2, 3};
  for (int i = 0; i < 4; ++i) angle[i] = std::atan2(quad[i].y - cy, quad[i].x - cx);
  // Insertion sort: stable like std::stable_sort, without the buffer that
  // one allocates for every quad.
  for (int i = 1; i < 4; ++i) {
    const int moving = order[i];
    int j = i;
    for (; j > 0 && angle[moving] < angle[order[j - 1]]; --j) order[j] = order[j - 1];
    order[j] = moving;
  }
  return {quad[order[0]], quad[order[1]], quad[order[2]], quad[order[3]]};
}

std::optional<ChessboardQuad> accept_chessboard_quad(const Quad& q, std::uint32_t width, std::uint32_t height) {
  if (!is_convex_quad(q)) return std::nullopt;
  const float area = shoelace_area(q);
  const double max_area = 0.35 * static_cast<double>(width) * static_cast<double>(height);
  if (area < 25.0f || static_cast<double>(area) > max_area) return std::nullopt;
  const std::array<float, 4> side = {distance(q[0], q[1]), distance(q[1], q[2]), distance(q[2], q[3]), distance(q[3], q[0])};
  const float shortest = std::min({side[0], side[1], side[2], side[3]});
  const float longest = std::max({side[0], side[1], side[2], side[3]});
  if (shortest < 4.0f || longest > 4.0f * shortest) return std::nullopt;
  const float min_diagonal = 0.15f * (side[0] + side[1] + side[2] + side[3]);
  if (distance(q[0], q[2]) < min_diagonal || distance(q[1], q[3]) < min_diagonal) return std::nullopt;
  if (!(side[0] * side[1] < 1.8f * area)) return std::nullopt;
  return ChessboardQuad{q, shortest};
}

ChessboardQuadList extract_chessboard_quads(BinaryImage& binary, float outward_shift,
                                            const std::function<bool()>& stop) {
  QuadCollector collector(binary.width, binary.height, outward_shift);
  trace_all_borders(
      binary, [&collector](std::span<const ContourPoint> contour) { collector.consider(contour); }, stop,
      kMinQuadBorderLength);
  return collector.take();
}

}  // namespace morvelin
