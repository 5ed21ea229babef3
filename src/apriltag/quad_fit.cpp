#include "apriltag/quad_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

QuadFitSettings quad_fit_settings(const DetectorParameters& params) {
  return {params.april_tag_max_nmaxima, params.april_tag_critical_rad, params.april_tag_max_line_fit_mse};
}

namespace {

struct SortedPoint {
  double angle = 0.0;  // pseudo-angle in (-2, 2], increasing with the polar angle
  std::int32_t x = 0;  // doubled coordinates
  std::int32_t y = 0;
};

// Weighted sums of 1, x, y, x^2, xy, y^2.
struct Moments {
  double w = 0, wx = 0, wy = 0, wxx = 0, wxy = 0, wyy = 0;

  Moments operator+(const Moments& o) const {
    return {w + o.w, wx + o.wx, wy + o.wy, wxx + o.wxx, wxy + o.wxy, wyy + o.wyy};
  }
  Moments operator-(const Moments& o) const {
    return {w - o.w, wx - o.wx, wy - o.wy, wxx - o.wxx, wxy - o.wxy, wyy - o.wyy};
  }
};

struct Covariance {
  double mx, my, cxx, cxy, cyy;
};

Covariance covariance(const Moments& m) {
  const double mx = m.wx / m.w;
  const double my = m.wy / m.w;
  return {mx, my, m.wxx / m.w - mx * mx, m.wxy / m.w - mx * my, m.wyy / m.w - my * my};
}

// Line nx * x + ny * y + c = 0 with a unit normal; err = points * mse.
struct Line {
  double nx = 0, ny = 0, c = 0, mse = 0, err = 0;
};

// Prefix sums of the point moments: any cyclic run of points in O(1).
class CumulativeMoments {
 public:
  explicit CumulativeMoments(std::size_t n) : prefix_(n + 1) {}
  void set(std::size_t i, const Moments& m) { prefix_[i + 1] = prefix_[i] + m; }
  std::size_t points() const { return prefix_.size() - 1; }

  // Points a ... b inclusive, wrapping past the end when a > b.
  std::size_t count(std::size_t a, std::size_t b) const { return a <= b ? b - a + 1 : points() - a + b + 1; }
  Moments sum(std::size_t a, std::size_t b) const {
    if (a <= b) return prefix_[b + 1] - prefix_[a];
    return (prefix_.back() - prefix_[a]) + prefix_[b + 1];
  }

 private:
  Vec<Moments> prefix_;
};

double pseudo_angle(double dx, double dy) {
  double a;
  if (dy >= 0) {
    a = dx >= 0 ? dy / (dx + dy) : 1 - dx / (dy - dx);
  } else {
    a = dx < 0 ? 2 - dy / (-dx - dy) : dx / (dx - dy) + 3;
  }
  return a > 2 ? a - 4 : a;
}

// Centre, polarity test, angular order and removal of repeated positions.
std::optional<Vec<SortedPoint>> order_around_centre(std::span<const BoundaryPoint> cluster) {
  std::int32_t xmin = cluster[0].x, xmax = xmin, ymin = cluster[0].y, ymax = ymin;
  for (const BoundaryPoint& p : cluster) {
    xmin = std::min(xmin, p.x);
    xmax = std::max(xmax, p.x);
    ymin = std::min(ymin, p.y);
    ymax = std::max(ymax, p.y);
  }
  // The odd offsets keep the centre off every point and every axis through one.
  const double cx = (static_cast<double>(xmin) + xmax) / 2.0 + 0.05118;
  const double cy = (static_cast<double>(ymin) + ymax) / 2.0 - 0.028581;

  // Gradients point from dark to light: outwards for a dark blob.
  double outward = 0.0;
  for (const BoundaryPoint& p : cluster) outward += p.gx * (p.x - cx) + p.gy * (p.y - cy);
  if (outward < 0) return std::nullopt;

  Vec<SortedPoint> points(cluster.size());
  for (std::size_t i = 0; i < cluster.size(); ++i) {
    points[i] = {pseudo_angle(cluster[i].x - cx, cluster[i].y - cy), cluster[i].x, cluster[i].y};
  }
  std::sort(points.begin(), points.end(), [](const SortedPoint& a, const SortedPoint& b) {
    if (a.angle != b.angle) return a.angle < b.angle;
    return a.x != b.x ? a.x < b.x : a.y < b.y;
  });
  const auto end = std::unique(points.begin(), points.end(),
                               [](const SortedPoint& a, const SortedPoint& b) { return a.x == b.x && a.y == b.y; });
  points.erase(end, points.end());
  if (points.size() < 24) return std::nullopt;
  return points;
}

// Points in pixel coordinates with pixel corners at integer coordinates
// (a boundary between pixels px and px + 1 lies at px + 1), weighted by 1 +
// the central-difference gradient magnitude of the image at the pixel whose
// square holds the point.
CumulativeMoments weighted_moments(const Vec<SortedPoint>& points, const GrayImage& image) {
  CumulativeMoments moments(points.size());
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double x = points[i].x / 2.0 + 0.5;
    const double y = points[i].y / 2.0 + 0.5;
    const auto ix = static_cast<std::int64_t>(std::floor(x));
    const auto iy = static_cast<std::int64_t>(std::floor(y));
    double weight = 1.0;
    if (ix >= 1 && ix + 1 < w && iy >= 1 && iy + 1 < h) {
      const auto px = static_cast<std::uint32_t>(ix);
      const auto py = static_cast<std::uint32_t>(iy);
      const double gx = static_cast<double>(image.at(px + 1, py)) - image.at(px - 1, py);
      const double gy = static_cast<double>(image.at(px, py + 1)) - image.at(px, py - 1);
      weight += std::hypot(gx, gy);
    }
    moments.set(i, {weight, weight * x, weight * y, weight * x * x, weight * x * y, weight * y * y});
  }
  return moments;
}

// Smoothed error of a line fitted through the 2k + 1 points around each point.
std::optional<Vec<double>> bend_curve(const CumulativeMoments& moments) {
  const std::size_t n = moments.points();
  const std::size_t k = std::min<std::size_t>(20, n / 12);
  Vec<double> error(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t a = (i + n - k) % n;
    const std::size_t b = (i + k) % n;
    const std::size_t m = moments.count(a, b);
    const Moments s = moments.sum(a, b);
    if (m <= 2 || s.w <= 0) return std::nullopt;
    const Covariance c = covariance(s);
    const double spread = std::sqrt((c.cxx - c.cyy) * (c.cxx - c.cyy) + 4 * c.cxy * c.cxy);
    error[i] = static_cast<double>(m) * std::max(0.0, (c.cxx + c.cyy - spread) / 2);
  }
  static constexpr std::array<double, 7> kSmooth = {0.011108996, 0.135335283, 0.606530659, 1.0,
                                                    0.606530659, 0.135335283, 0.011108996};
  Vec<double> smooth(n);
  for (std::size_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (std::size_t j = 0; j < kSmooth.size(); ++j) s += error[(i + n + j - 3) % n] * kSmooth[j];
    smooth[i] = s;
  }
  return smooth;
}

// Indices of the strict local maxima of the cyclic curve; the strongest
// `limit` of them when there are more, back in ascending index order.
Vec<std::size_t> strongest_maxima(const Vec<double>& s, std::int32_t limit) {
  const std::size_t n = s.size();
  Vec<std::size_t> maxima;
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] > s[(i + 1) % n] && s[i] > s[(i + n - 1) % n]) maxima.push_back(i);
  }
  const auto keep = static_cast<std::size_t>(std::max<std::int32_t>(limit, 0));
  if (maxima.size() > keep) {
    std::sort(maxima.begin(), maxima.end(), [&](std::size_t a, std::size_t b) {
      return s[a] != s[b] ? s[a] > s[b] : a < b;  // equal values keep their order
    });
    maxima.resize(keep);
    std::sort(maxima.begin(), maxima.end());
  }
  return maxima;
}

std::optional<Line> fit_line(const CumulativeMoments& moments, std::size_t a, std::size_t b) {
  const std::size_t count = moments.count(a, b);
  const Moments s = moments.sum(a, b);
  if (count < 3 || s.w <= 0) return std::nullopt;
  const Covariance c = covariance(s);
  const double half = std::atan2(2 * c.cxy, c.cxx - c.cyy) / 2;
  const double sn = std::sin(half);
  const double cs = std::cos(half);
  Line line;
  line.nx = -sn;
  line.ny = cs;
  line.c = -(line.nx * c.mx + line.ny * c.my);
  line.mse = std::max(0.0, cs * cs * c.cyy + sn * sn * c.cxx - 2 * sn * cs * c.cxy);
  line.err = static_cast<double>(count) * line.mse;
  return line;
}

// The four maxima whose runs fit four lines with the least total error.
std::optional<std::array<Line, 4>> best_four_lines(const CumulativeMoments& moments, const Vec<std::size_t>& maxima,
                                                   const QuadFitSettings& settings) {
  const std::size_t k = maxima.size();
  const double max_mse = settings.max_line_fit_mse;
  const double max_dot = std::cos(settings.critical_rad);
  const auto fit = [&](std::size_t i, std::size_t j) -> std::optional<Line> {
    auto line = fit_line(moments, maxima[i], maxima[j]);
    if (line && line->mse > max_mse) return std::nullopt;
    return line;
  };
  std::optional<std::array<Line, 4>> best;
  double best_error = 0.0;
  for (std::size_t m0 = 0; m0 + 3 < k; ++m0) {
    for (std::size_t m1 = m0 + 1; m1 + 2 < k; ++m1) {
      const auto l0 = fit(m0, m1);
      if (!l0) continue;
      for (std::size_t m2 = m1 + 1; m2 + 1 < k; ++m2) {
        const auto l1 = fit(m1, m2);
        if (!l1 || std::fabs(l0->nx * l1->nx + l0->ny * l1->ny) > max_dot) continue;
        for (std::size_t m3 = m2 + 1; m3 < k; ++m3) {
          const auto l2 = fit(m2, m3);
          if (!l2) continue;
          const auto l3 = fit(m3, m0);
          if (!l3) continue;
          const double error = l0->err + l1->err + l2->err + l3->err;
          if (!best || error < best_error) {
            best = std::array<Line, 4>{*l0, *l1, *l2, *l3};
            best_error = error;
          }
        }
      }
    }
  }
  if (best && best_error / static_cast<double>(moments.points()) >= max_mse) return std::nullopt;
  return best;
}

// Corner i is where line i meets line i + 1.
std::optional<Quad> intersect_lines(const std::array<Line, 4>& lines) {
  Quad quad;
  for (std::size_t i = 0; i < 4; ++i) {
    const Line& p = lines[i];
    const Line& q = lines[(i + 1) % 4];
    const double det = p.nx * q.ny - p.ny * q.nx;
    if (std::fabs(det) < 0.001) return std::nullopt;
    // The lines were fitted with pixel corners at integer coordinates;
    // corners leave with pixel centres there, like every other image point.
    const double x = (p.ny * q.c - p.c * q.ny) / det - 0.5;
    const double y = (p.c * q.nx - p.nx * q.c) / det - 0.5;
    if (!(std::fabs(x) <= kFloatMax && std::fabs(y) <= kFloatMax)) return std::nullopt;
    quad[i] = {static_cast<float>(x), static_cast<float>(y)};
  }
  return quad;
}

bool is_convex(const Quad& q) {
  bool positive = false, negative = false;
  for (std::size_t i = 0; i < 4; ++i) {
    const Point2f& a = q[i];
    const Point2f& b = q[(i + 1) % 4];
    const Point2f& c = q[(i + 2) % 4];
    const double cross = (static_cast<double>(b.x) - a.x) * (static_cast<double>(c.y) - b.y) -
                         (static_cast<double>(b.y) - a.y) * (static_cast<double>(c.x) - b.x);
    positive = positive || cross > 0;
    negative = negative || cross < 0;
  }
  return !(positive && negative);
}

double area(const Quad& q) {
  double twice = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Point2f& a = q[i];
    const Point2f& b = q[(i + 1) % 4];
    twice += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
  }
  return std::fabs(twice) / 2;
}

bool angles_within(const Quad& q, double critical_rad) {
  const auto lo = static_cast<float>(critical_rad);
  const auto hi = static_cast<float>(std::numbers::pi - critical_rad);
  for (std::size_t i = 0; i < 4; ++i) {
    const Point2f& c = q[i];
    const Point2f& prev = q[(i + 3) % 4];
    const Point2f& next = q[(i + 1) % 4];
    const float ux = prev.x - c.x, uy = prev.y - c.y;
    const float vx = next.x - c.x, vy = next.y - c.y;
    const float cosine = (ux * vx + uy * vy) / (std::sqrt(ux * ux + uy * uy) * std::sqrt(vx * vx + vy * vy));
    const float angle = std::acos(std::clamp(cosine, -1.0f, 1.0f));
    if (!(angle >= lo && angle <= hi)) return false;  // also refuses a zero-length edge (NaN)
  }
  return true;
}

}  // namespace

std::optional<Quad> fit_quad(std::span<const BoundaryPoint> cluster, const GrayImage& image,
                             const QuadFitSettings& settings) {
  if (cluster.size() < 24) return std::nullopt;
  const auto points = order_around_centre(cluster);
  if (!points) return std::nullopt;
  const CumulativeMoments moments = weighted_moments(*points, image);
  const auto curve = bend_curve(moments);
  if (!curve) return std::nullopt;
  const Vec<std::size_t> maxima = strongest_maxima(*curve, settings.max_nmaxima);
  if (maxima.size() < 4) return std::nullopt;
  const auto lines = best_four_lines(moments, maxima, settings);
  if (!lines) return std::nullopt;
  const auto quad = intersect_lines(*lines);
  if (!quad || !is_convex(*quad) || area(*quad) < 64.0 || !angles_within(*quad, settings.critical_rad)) {
    return std::nullopt;
  }
  return quad;
}

}  // namespace morvelin
