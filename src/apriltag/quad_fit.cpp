#include "apriltag/quad_fit.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

namespace {

struct SortedPoint {
  double angle;  // pseudo-angle in (-2, 2], increasing with the polar angle
  std::int32_t x;  // doubled coordinates
  std::int32_t y;
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

// Two doubles in one SIMD register. Each lane does what the scalar code
// does, operation for operation, so both give the same bits.
typedef double Pair __attribute__((vector_size(16)));

Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double root(double x) { return std::sqrt(x); }
Pair root(Pair x) {
#if defined(__SSE2__)
  return (Pair)_mm_sqrt_pd((__m128d)x);
#else
  return Pair{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

// max(0, x), NaN giving 0.
template <class T>
T positive_part(T x) {
  const T zero{};
  return zero < x ? x : zero;
}

template <class T>
struct Covariance {
  T mx, my, cxx, cxy, cyy;
};

template <class T>
Covariance<T> covariance(T w, T wx, T wy, T wxx, T wxy, T wyy) {
  const T mx = wx / w;
  const T my = wy / w;
  return {mx, my, wxx / w - mx * mx, wxy / w - mx * my, wyy / w - my * my};
}

Covariance<double> covariance(const Moments& m) { return covariance(m.w, m.wx, m.wy, m.wxx, m.wxy, m.wyy); }

// The least mean squared residual of any line through the points.
template <class T>
T least_eigenvalue(const Covariance<T>& c) {
  return (c.cxx + c.cyy - root((c.cxx - c.cyy) * (c.cxx - c.cyy) + 4.0 * c.cxy * c.cxy)) / 2.0;
}

// Line nx * x + ny * y + c = 0 with a unit normal; err = points * mse.
struct Line {
  double nx = 0, ny = 0, c = 0, mse = 0, err = 0;
};

// Prefix sums of the point moments: any cyclic run of points in O(1). Each
// of the six sums has its own array, so that consecutive windows load their
// sums into SIMD lanes.
class CumulativeMoments {
 public:
  enum Part { kW, kWx, kWy, kWxx, kWxy, kWyy };

  // Uses `storage` (resized to six arrays of n + 1 entries) as its storage.
  CumulativeMoments(UninitializedVec<double>& storage, std::size_t n) : n_(n) {
    storage.resize(6 * (n + 1));
    data_ = storage.data();
    put(0, Moments{});
  }
  void set(std::size_t i, const Moments& m) { put(i + 1, at(i) + m); }
  std::size_t points() const { return n_; }

  // Sums over the points before entry j (0 ... n), one array per moment.
  const double* part(Part p) const { return data_ + p * (n_ + 1); }

  // Points a ... b inclusive, wrapping past the end when a > b.
  std::size_t count(std::size_t a, std::size_t b) const { return a <= b ? b - a + 1 : n_ - a + b + 1; }
  Moments sum(std::size_t a, std::size_t b) const {
    if (a <= b) return at(b + 1) - at(a);
    return (at(n_) - at(a)) + at(b + 1);
  }

 private:
  Moments at(std::size_t j) const {
    const std::size_t s = n_ + 1;
    return {data_[j], data_[s + j], data_[2 * s + j], data_[3 * s + j], data_[4 * s + j], data_[5 * s + j]};
  }
  void put(std::size_t j, const Moments& m) {
    const std::size_t s = n_ + 1;
    data_[j] = m.w;
    data_[s + j] = m.wx;
    data_[2 * s + j] = m.wy;
    data_[3 * s + j] = m.wxx;
    data_[4 * s + j] = m.wxy;
    data_[5 * s + j] = m.wyy;
  }

  std::size_t n_;
  double* data_;
};

// Four doubles in one SIMD register, for passes over points. The functions
// that serve both one point and four take and give them by reference: by
// value, four would need the wider registers' calling convention.
typedef double Double4 __attribute__((vector_size(32)));

// The polar angle of (dx, dy) as a number in (-2, 2] that grows with it: the
// quadrant plus a ratio within the quadrant. Without branches, so that the
// same operations serve one point or the lanes of a vector.
template <typename T>
void pseudo_angle(const T& dx, const T& dy, T& angle) {
  const auto right = dx >= 0, up = dy >= 0;
  const T ax = right ? dx : -dx, ay = up ? dy : -dy;
  const T zero{};
  const T quadrant = up ? (right ? zero : zero + 1) : (right ? zero + 3 : zero + 2);
  const T a = quadrant + (up == right ? ay : ax) / (ax + ay);
  angle = a > 2 ? a - 4 : a;
}

void roots(const double& x, double& r) { r = root(x); }
void roots(const Double4& x, Double4& r) {
  const Pair low = root(Pair{x[0], x[1]}), high = root(Pair{x[2], x[3]});
  r = Double4{low[0], low[1], high[0], high[1]};
}

// The offsets from (cx, cy) of points p[0] ... p[3].
void offsets_of_four(const BoundaryPoint* p, double cx, double cy, Double4& dx, Double4& dy) {
  typedef std::int32_t Int8 __attribute__((vector_size(32)));
  static_assert(sizeof(BoundaryPoint) == 4 * sizeof(std::int32_t));
  Int8 first, second;  // x, y, gx, gy of points 0, 1 and of 2, 3
  std::memcpy(&first, p, sizeof first);
  std::memcpy(&second, p + 2, sizeof second);
  dx = __builtin_convertvector(__builtin_shufflevector(first, second, 0, 4, 8, 12), Double4) - cx;
  dy = __builtin_convertvector(__builtin_shufflevector(first, second, 1, 5, 9, 13), Double4) - cy;
}

// Which of `count` equal parts of (-2, 2] holds an angle, as a whole number
// in [0, count - 1].
template <typename T>
void angle_bucket(const T& angle, double count, T& bucket) {
  const T at = (angle + 2.0) * (count / 4.0);  // in (0, count]
  const T zero{};
  bucket = at > 0.0 ? (at < count - 1 ? at : zero + (count - 1)) : zero;
}

bool angle_order(const SortedPoint& a, const SortedPoint& b) {
  if (a.angle != b.angle) return a.angle < b.angle;
  return a.x != b.x ? a.x < b.x : a.y < b.y;
}

// Squared central-difference gradients of an image, for the points' weights.
class Gradients {
 public:
  explicit Gradients(GrayView image)
      : pixels_(image.pixels), width_(image.width), columns_(inner(image.width)), rows_(inner(image.height)) {}

  // At the pixel whose square holds the point (doubled coordinates), or -1
  // at the image's edge.
  double squared(std::int32_t x2, std::int32_t y2) const {
    // floor(X / 2 + 0.5) of a doubled coordinate X, less 1: the pixels off
    // the edge, 1 ... side - 2, are 0 ... side - 3, and every other one is
    // out of range as an unsigned number.
    const auto x = static_cast<std::uint64_t>((std::int64_t{x2} + 1) >> 1) - 1;
    const auto y = static_cast<std::uint64_t>((std::int64_t{y2} + 1) >> 1) - 1;
    if (!(x < columns_ && y < rows_)) return -1.0;
    const std::uint8_t* p = pixels_ + (y + 1) * width_ + (x + 1);
    const std::int32_t gx = std::int32_t{p[1]} - p[-1];
    const std::int32_t gy = std::int32_t{p[width_]} - p[-static_cast<std::ptrdiff_t>(width_)];
    return gx * gx + gy * gy;  // exact
  }

 private:
  static std::uint64_t inner(std::uint32_t side) { return side > 2 ? side - 2 : 0; }

  const std::uint8_t* pixels_;
  std::size_t width_;
  std::uint64_t columns_, rows_;
};

// The weight of a point: 1 + the gradient's magnitude, 1 at the image's edge.
template <typename T>
void weight_of(const T& squared_gradient, T& weight) {
  const T zero{};
  T magnitude;
  roots(squared_gradient, magnitude);
  weight = squared_gradient < 0 ? zero + 1.0 : 1.0 + magnitude;
}

double point_weight(std::int32_t x2, std::int32_t y2, const Gradients& gradients) {
  double w;
  weight_of(gradients.squared(x2, y2), w);
  return w;
}

// Buffers of one fit, reused from cluster to cluster; all but the bucket
// counts are written in full before they are read.
struct FitScratch {
  UninitializedVec<SortedPoint> points;
  UninitializedVec<double> angles;
  Vec<std::uint32_t> buckets;
  UninitializedVec<std::uint32_t> bucket_of;
  UninitializedVec<double> prefix;  // six arrays of cumulative moments
  UninitializedVec<double> error;
  UninitializedVec<double> smooth;
  Vec<std::size_t> maxima;
};

// In scan order a position repeats where two diagonal neighbours cross,
// within three records, and nowhere else: the point between pixels (x, y)
// and (x + 1, y + 1) is also the one between (x + 1, y) and (x, y + 1), whose
// record follows at most three records later. Leaving the repeat out early
// sorts fewer points.
bool repeats_recent(std::span<const BoundaryPoint> cluster, std::size_t i) {
  const auto position = [&](std::size_t k) {  // x and y in one word
    std::uint64_t xy;
    std::memcpy(&xy, &cluster[k], sizeof xy);
    return xy;
  };
  if ((cluster[i].x & cluster[i].y & 1) == 0) return false;  // only points between diagonal neighbours repeat
  const std::uint64_t here = position(i);
  return (i >= 1 && position(i - 1) == here) || (i >= 2 && position(i - 2) == here) ||
         (i >= 3 && position(i - 3) == here);
}

// The cluster's points with their pseudo-angles about (cx, cy), sorted by
// angle, then x, then y, into scratch.points, less the positions repeated
// within three records (the caller removes any other repeat). The points are
// first distributed over two buckets per point by angle, which leaves each at
// most a few places from its final one, and an insertion sort finishes the
// order. Whatever the distribution, the insertion sort alone guarantees the
// result.
void sort_by_angle(std::span<const BoundaryPoint> cluster, double cx, double cy, FitScratch& scratch) {
  const std::size_t n = cluster.size();
  const std::size_t count = 2 * n;
  scratch.angles.resize(n);
  scratch.bucket_of.resize(n);
  double* angles = scratch.angles.data();
  std::uint32_t* bucket_of = scratch.bucket_of.data();
  std::size_t i = 0;
  if (count <= std::numeric_limits<std::int32_t>::max()) {  // four points at a time
    typedef std::int32_t Int4 __attribute__((vector_size(16)));
    for (; i + 4 <= n; i += 4) {
      Double4 dx, dy, angle, bucket;
      offsets_of_four(&cluster[i], cx, cy, dx, dy);
      pseudo_angle(dx, dy, angle);
      angle_bucket(angle, static_cast<double>(count), bucket);
      const Int4 b = __builtin_convertvector(bucket, Int4);
      std::memcpy(angles + i, &angle, sizeof angle);
      std::memcpy(bucket_of + i, &b, sizeof b);
    }
  }
  for (; i < n; ++i) {
    double bucket;
    pseudo_angle(cluster[i].x - cx, cluster[i].y - cy, angles[i]);
    angle_bucket(angles[i], static_cast<double>(count), bucket);
    bucket_of[i] = static_cast<std::uint32_t>(bucket);
  }
  // Repeats go to one more bucket, after every other, and are cut off.
  Vec<std::uint32_t>& buckets = scratch.buckets;
  buckets.assign(count + 2, 0);
  std::size_t kept = 0;
  for (i = 0; i < n; ++i) {
    const bool repeat = repeats_recent(cluster, i);
    bucket_of[i] = repeat ? static_cast<std::uint32_t>(count) : bucket_of[i];
    ++buckets[bucket_of[i] + 1];
    kept += repeat ? 0 : 1;
  }
  for (std::size_t b = 1; b <= count; ++b) buckets[b] += buckets[b - 1];
  UninitializedVec<SortedPoint>& points = scratch.points;
  points.resize(n);
  for (i = 0; i < n; ++i) points[buckets[bucket_of[i]]++] = {angles[i], cluster[i].x, cluster[i].y};
  points.resize(kept);
  SortedPoint* p = points.data();
  for (i = 1; i < kept; ++i) {
    if (!angle_order(p[i], p[i - 1])) continue;
    const SortedPoint moving = p[i];
    std::size_t j = i;
    do {
      p[j] = p[j - 1];
      --j;
    } while (j > 0 && angle_order(moving, p[j - 1]));
    p[j] = moving;
  }
}

// Clusters of at least this many points are first tested for four lines
// over coarse angular sectors; smaller ones seldom fail that test.
constexpr std::size_t kSectorTestMinPoints = 1536;
constexpr std::size_t kSectors = 32;

// Whether no choice of four bends can have four lines within `max_mse`,
// decided before the points are sorted. Each run of the search is a range
// of angles: it holds every point of the sectors strictly between its ends'
// sectors (its inner sectors), and part of the two end sectors. Its mean
// squared error is its least weighted sum of squared residuals over its
// weight; that sum is at least the inner sectors' own (the points are a
// subset), and the weight at most that of the inner and end sectors. When
// no four sectors in angular order give four runs whose bounds pass, no
// choice does. The bounds allow for the rounding of the search's sums. The
// sums leave out the repeats that repeats_recent finds, the only ones in a
// cluster gathered in scan order.
bool four_lines_ruled_out(std::span<const BoundaryPoint> cluster, double cx, double cy, double reach,
                          GrayView image, double max_mse) {
  constexpr std::size_t S = kSectors;
  // Moments w, wu, wv, wuu, wuv, wvv of each sector about the centre, in
  // pixel units: sector k's at k + 1 and again at S + k + 1 to close the
  // circle, then summed cumulatively.
  std::array<std::array<double, 2 * S + 1>, 6> sum{};
  std::array<double, S> sector_weight{};
  std::size_t points = 0;
  const Gradients gradients(image);
  // Adds the point with offset (dx, dy) from the centre, weight w (0 for a
  // repeat, which adds nothing) and sector k.
  const auto add = [&](double dx, double dy, double w, std::size_t k) {
    const double u = dx / 2.0, v = dy / 2.0;
    sum[0][k + 1] += w;
    sum[1][k + 1] += w * u;
    sum[2][k + 1] += w * v;
    sum[3][k + 1] += w * u * u;
    sum[4][k + 1] += w * u * v;
    sum[5][k + 1] += w * v * v;
  };
  const std::size_t n = cluster.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Double4 dx, dy, angle, bucket, squared, weight;
    offsets_of_four(&cluster[i], cx, cy, dx, dy);
    pseudo_angle(dx, dy, angle);
    angle_bucket(angle, static_cast<double>(S), bucket);
    for (std::size_t l = 0; l < 4; ++l) squared[l] = gradients.squared(cluster[i + l].x, cluster[i + l].y);
    weight_of(squared, weight);
    for (std::size_t l = 0; l < 4; ++l) {
      const bool repeat = repeats_recent(cluster, i + l);
      points += repeat ? 0 : 1;
      add(dx[l], dy[l], repeat ? 0.0 : weight[l], static_cast<std::size_t>(bucket[l]));
    }
  }
  for (; i < n; ++i) {
    if (repeats_recent(cluster, i)) continue;
    const double dx = cluster[i].x - cx, dy = cluster[i].y - cy;
    double angle, bucket;  // as the sort's buckets
    pseudo_angle(dx, dy, angle);
    angle_bucket(angle, static_cast<double>(S), bucket);
    add(dx, dy, point_weight(cluster[i].x, cluster[i].y, gradients), static_cast<std::size_t>(bucket));
    ++points;
  }
  double total_weight = 0.0;
  for (std::size_t k = 0; k < S; ++k) {
    sector_weight[k] = sum[0][k + 1];
    total_weight += sector_weight[k];
  }
  for (auto& part : sum) {
    for (std::size_t k = 1; k <= S; ++k) part[S + k] = part[k];
    for (std::size_t k = 1; k <= 2 * S; ++k) part[k] += part[k - 1];
  }
  // The search's sums are prefix sums of absolute coordinates; a run's
  // covariance may be off by about n eps sum(w r^2) / W, its least
  // eigenvalue by a small multiple of that, and its own slack is 1e-12 of
  // the covariance's size. `reach` is at least x^2 + y^2 of every point.
  const double rounding = 64.0 * static_cast<double>(points) * std::numeric_limits<double>::epsilon() *
                          total_weight * reach;  // divided by the run's weight
  const double limit = max_mse * (1.0 + 1e-9) + 1e-9 * reach;

  // The run from sector i to sector i + d (d = S: round to i itself), whose
  // inner sectors are i + 1 ... i + d - 1, may fit a line when its bound
  // passes; it ends at j = i + d if that is later, else it closes the circle.
  std::array<std::uint64_t, S> later{};    // bit j >= i: a run from sector i to j may fit
  std::array<std::uint64_t, S> closing{};  // bit j <= i: a run from i round to j may fit
  for (std::size_t i = 0; i < S; ++i) {
    later[i] = std::uint64_t{1} << i;
    for (std::size_t d = 1; d <= S; ++d) {
      const auto inner = [&](std::size_t part) { return sum[part][i + d] - sum[part][i + 1]; };
      const double w = inner(0);
      const double ends = sector_weight[i] + (d < S ? sector_weight[(i + d) % S] : 0.0);
      // w^2 times the least eigenvalue of the inner sectors' covariance.
      const double a = w * inner(3) - inner(1) * inner(1);
      const double b = w * inner(5) - inner(2) * inner(2);
      const double c = w * inner(4) - inner(1) * inner(2);
      const double least = (a + b - std::sqrt((a - b) * (a - b) + 4.0 * c * c)) / 2.0;
      // least / w^2 * w / (w + ends) > limit + rounding / w, times w (w + ends):
      if (w > 0.0 && least > (limit * w + rounding) * (w + ends)) continue;
      (i + d < S ? later : closing)[i] |= std::uint64_t{1} << (i + d) % S;
    }
  }
  // Ends in sectors c0 <= c1 <= c2 <= c3, the last run closing the circle.
  for (std::size_t c0 = 0; c0 < S; ++c0) {
    std::uint64_t reached = later[c0];
    for (int step = 0; step < 2; ++step) {
      std::uint64_t next = 0;
      for (std::uint64_t r = reached; r != 0; r &= r - 1) next |= later[std::countr_zero(r)];
      reached = next;
    }
    for (std::uint64_t r = reached; r != 0; r &= r - 1) {
      if (closing[std::countr_zero(r)] >> c0 & 1) return false;
    }
  }
  return true;
}

// Centre, polarity test, the sector test of large clusters, angular order and
// removal of repeated positions, into scratch.points. False when the cluster
// is rejected.
bool order_around_centre(std::span<const BoundaryPoint> cluster, GrayView image, double max_mse,
                         FitScratch& scratch) {
  std::int32_t xmin = cluster[0].x, xmax = xmin, ymin = cluster[0].y, ymax = ymin;
  std::int64_t moment = 0, sum_gx = 0, sum_gy = 0;  // sums of g . p and of g
  for (const BoundaryPoint& p : cluster) {
    xmin = std::min(xmin, p.x);
    xmax = std::max(xmax, p.x);
    ymin = std::min(ymin, p.y);
    ymax = std::max(ymax, p.y);
    moment += std::int64_t{p.gx} * p.x + std::int64_t{p.gy} * p.y;
    sum_gx += p.gx;
    sum_gy += p.gy;
  }
  // The odd offsets keep the centre off every point and every axis through one.
  const double cx = (static_cast<double>(xmin) + xmax) / 2.0 + 0.05118;
  const double cy = (static_cast<double>(ymin) + ymax) / 2.0 - 0.028581;

  // Gradients point from dark to light: outwards for a dark blob. The test
  // is the sign of the sum of g . (p - centre) taken point by point in
  // doubles; the integer sums give that sum up to a bound on both roundings,
  // and the point by point sum is taken only when they leave its sign open.
  const double n = static_cast<double>(cluster.size());
  const double u = std::numeric_limits<double>::epsilon() / 2;
  const double gx = static_cast<double>(sum_gx), gy = static_cast<double>(sum_gy);
  const double outward_exact = static_cast<double>(moment) - cx * gx - cy * gy;
  const double spread = 255.0 * n * (static_cast<double>(xmax) - xmin + static_cast<double>(ymax) - ymin + 2.0);
  const double doubt = 2.0 * (n + 4.0) * u * spread +
                       4.0 * u * (std::fabs(static_cast<double>(moment)) + std::fabs(cx * gx) + std::fabs(cy * gy));
  if (!(std::fabs(outward_exact) > doubt)) {
    double outward = 0.0;
    for (const BoundaryPoint& p : cluster) outward += p.gx * (p.x - cx) + p.gy * (p.y - cy);
    if (outward < 0) return false;
  } else if (outward_exact < 0) {
    return false;
  }
  if (cluster.size() >= kSectorTestMinPoints) {
    const auto farthest = [](std::int32_t lo, std::int32_t hi) {  // in pixel units
      return std::max(std::fabs(static_cast<double>(lo)), std::fabs(static_cast<double>(hi))) / 2.0 + 0.5;
    };
    const double reach = std::pow(farthest(xmin, xmax), 2) + std::pow(farthest(ymin, ymax), 2);
    if (four_lines_ruled_out(cluster, cx, cy, reach, image, max_mse)) return false;
  }

  sort_by_angle(cluster, cx, cy, scratch);
  UninitializedVec<SortedPoint>& points = scratch.points;
  const auto end = std::unique(points.begin(), points.end(),
                               [](const SortedPoint& a, const SortedPoint& b) { return a.x == b.x && a.y == b.y; });
  points.erase(end, points.end());
  return points.size() >= 24;
}

// The sorted points' cumulative moments, in pixel coordinates with pixel
// corners at integer coordinates (a boundary between pixels px and px + 1
// lies at px + 1), each point weighted by point_weight.
CumulativeMoments weighted_moments(FitScratch& scratch, GrayView image) {
  const UninitializedVec<SortedPoint>& points = scratch.points;
  CumulativeMoments moments(scratch.prefix, points.size());
  const Gradients gradients(image);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double x = points[i].x / 2.0 + 0.5;
    const double y = points[i].y / 2.0 + 0.5;
    const double weight = point_weight(points[i].x, points[i].y, gradients);
    moments.set(i, {weight, weight * x, weight * y, weight * x * x, weight * x * y, weight * y * y});
  }
  return moments;
}

// Smoothed error of a line fitted through the 2k + 1 points around each
// point, into scratch.smooth. False when the cluster is rejected.
bool bend_curve(const CumulativeMoments& moments, FitScratch& scratch) {
  using Part = CumulativeMoments::Part;
  const std::size_t n = moments.points();  // at least 24, so 2 <= k and 2k + 1 < n
  const std::size_t k = std::min<std::size_t>(20, n / 12);
  const double m = static_cast<double>(2 * k + 1);  // points in every window
  UninitializedVec<double>& error = scratch.error;
  error.resize(n);
  const auto window = [&](std::size_t i) {
    const Moments s = moments.sum(i >= k ? i - k : i + n - k, i + k < n ? i + k : i + k - n);
    error[i] = m * positive_part(least_eigenvalue(covariance(s)));
    return s.w > 0;
  };
  // Windows of points k ... n - k - 1 do not wrap: two at a time.
  typedef long long PairMask __attribute__((vector_size(16)));
  PairMask no_weight{};
  std::size_t i = k;
  for (; i + 2 <= n - k; i += 2) {
    const auto sums = [&](Part p) {
      return load_pair(moments.part(p) + i + k + 1) - load_pair(moments.part(p) + i - k);
    };
    const Pair w = sums(Part::kW);
    const Covariance<Pair> c =
        covariance(w, sums(Part::kWx), sums(Part::kWy), sums(Part::kWxx), sums(Part::kWxy), sums(Part::kWyy));
    const Pair e = m * positive_part(least_eigenvalue(c));
    std::memcpy(&error[i], &e, sizeof e);
    no_weight |= (w <= 0.0);
  }
  if (no_weight[0] || no_weight[1]) return false;
  for (; i < n - k; ++i) {
    if (!window(i)) return false;
  }
  for (std::size_t j = 0; j < k; ++j) {
    if (!window(j) || !window(n - k + j)) return false;
  }

  static constexpr std::array<double, 7> kSmooth = {0.011108996, 0.135335283, 0.606530659, 1.0,
                                                    0.606530659, 0.135335283, 0.011108996};
  UninitializedVec<double>& smooth = scratch.smooth;
  smooth.resize(n);
  const auto smooth_at = [&](std::size_t i) {
    double s = 0.0;
    std::size_t at = i >= 3 ? i - 3 : i + n - 3;  // cyclic index of e(i - 3)
    for (std::size_t j = 0; j < kSmooth.size(); ++j) {
      s += error[at] * kSmooth[j];
      at = at + 1 == n ? 0 : at + 1;
    }
    smooth[i] = s;
  };
  // Points 3 ... n - 4 do not wrap: two at a time.
  std::size_t at = 3;
  for (; at + 2 <= n - 3; at += 2) {
    Pair s{};
    for (std::size_t j = 0; j < kSmooth.size(); ++j) s += load_pair(&error[at - 3 + j]) * kSmooth[j];
    std::memcpy(&smooth[at], &s, sizeof s);
  }
  for (; at < n - 3; ++at) smooth_at(at);
  for (std::size_t j = 0; j < 3; ++j) {
    smooth_at(j);
    smooth_at(n - 3 + j);
  }
  return true;
}

// Indices of the strict local maxima of the cyclic curve; the strongest
// `limit` of them when there are more, back in ascending index order.
void strongest_maxima(const UninitializedVec<double>& s, std::int32_t limit, Vec<std::size_t>& maxima) {
  const std::size_t n = s.size();
  maxima.resize(n);
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {  // without branches: the outcome is as good as random
    const double next = s[i + 1 < n ? i + 1 : 0];
    const double prev = s[i > 0 ? i - 1 : n - 1];
    maxima[count] = i;
    count += static_cast<std::size_t>(s[i] > next) & static_cast<std::size_t>(s[i] > prev);
  }
  maxima.resize(count);
  const auto keep = static_cast<std::size_t>(std::max<std::int32_t>(limit, 0));
  if (maxima.size() > keep) {
    std::partial_sort(maxima.begin(), maxima.begin() + static_cast<std::ptrdiff_t>(keep), maxima.end(),
                      [&](std::size_t a, std::size_t b) {
                        return s[a] != s[b] ? s[a] > s[b] : a < b;  // equal values keep their order
                      });
    maxima.resize(keep);
    std::sort(maxima.begin(), maxima.end());
  }
}

// The point count and covariance of the run of points a ... b (cyclic), or
// nothing when no line can be fitted to it: fewer than 3 points or no weight.
struct RunCovariance {
  std::size_t count;
  Covariance<double> c;
};

std::optional<RunCovariance> run_covariance(const CumulativeMoments& moments, std::size_t a, std::size_t b) {
  const std::size_t count = moments.count(a, b);
  const Moments s = moments.sum(a, b);
  if (count < 3 || s.w <= 0) return std::nullopt;
  return RunCovariance{count, covariance(s)};
}

std::optional<Line> fit_line(const CumulativeMoments& moments, std::size_t a, std::size_t b) {
  const auto run = run_covariance(moments, a, b);
  if (!run) return std::nullopt;
  const Covariance<double>& c = run->c;
  const double half = std::atan2(2 * c.cxy, c.cxx - c.cyy) / 2;
  const double sn = std::sin(half);
  const double cs = std::cos(half);
  Line line;
  line.nx = -sn;
  line.ny = cs;
  line.c = -(line.nx * c.mx + line.ny * c.my);
  line.mse = std::max(0.0, cs * cs * c.cyy + sn * sn * c.cxx - 2 * sn * cs * c.cxy);
  line.err = static_cast<double>(run->count) * line.mse;
  return line;
}

// What the covariance of a run tells before its line is fitted: its least
// eigenvalue is the least mean squared residual over all lines, which the
// fit's half-angle form reaches up to rounding (far below `slack`).
struct RunBound {
  bool fails = true;  // too few points, no weight, or an mse certainly too large
  double err = 0.0;   // never above the fitted line's err
};

RunBound bound_run(const CumulativeMoments& moments, std::size_t a, std::size_t b, double max_mse) {
  const auto run = run_covariance(moments, a, b);
  if (!run) return {};
  const Covariance<double>& c = run->c;
  const double slack = 1e-12 * (std::fabs(c.cxx) + std::fabs(c.cyy) + 2 * std::fabs(c.cxy));
  const double least = least_eigenvalue(c) - slack;
  if (least > max_mse) return {};
  return {false, static_cast<double>(run->count) * positive_part(least)};
}

// Bounds and line fits of the runs between maxima, each computed at most
// once: memoised for the usual handful of maxima, recomputed when there are
// very many. Results are returned by value: the search holds several at once.
class RunLines {
 public:
  RunLines(const CumulativeMoments& moments, const Vec<std::size_t>& maxima, double max_mse)
      : moments_(moments), maxima_(maxima), max_mse_(max_mse) {
    if (maxima.size() <= kMemoLimit) memo_.resize(maxima.size() * maxima.size());
  }

  // The run from maximum i to maximum j (wrapping).
  RunBound bound(std::size_t i, std::size_t j) {
    if (memo_.empty()) return bound_run(moments_, maxima_[i], maxima_[j], max_mse_);
    Entry& e = memo_[i * maxima_.size() + j];
    if (!e.bounded) {
      e.bound = bound_run(moments_, maxima_[i], maxima_[j], max_mse_);
      e.bounded = true;
    }
    return e.bound;
  }

  // The run's line, if it fits well enough.
  std::optional<Line> get(std::size_t i, std::size_t j) {
    if (memo_.empty()) return compute(i, j);
    Entry& e = memo_[i * maxima_.size() + j];
    if (!e.fitted) {
      e.line = compute(i, j);
      e.fitted = true;
    }
    return e.line;
  }

 private:
  static constexpr std::size_t kMemoLimit = 64;
  struct Entry {
    bool bounded = false;
    bool fitted = false;
    RunBound bound;
    std::optional<Line> line;
  };

  std::optional<Line> compute(std::size_t i, std::size_t j) const {
    auto line = fit_line(moments_, maxima_[i], maxima_[j]);
    if (line && line->mse > max_mse_) return std::nullopt;
    return line;
  }

  const CumulativeMoments& moments_;
  const Vec<std::size_t>& maxima_;
  double max_mse_;
  Vec<Entry> memo_;
};

// The least total error t with t / points >= max_mse as rounded, found
// once per search instead of dividing every partial sum: the rounded
// quotient never decreases as t grows, and it starts within an ulp or two.
double least_total_rejected(double points, double max_mse) {
  double t = max_mse * points;
  if (t / points >= max_mse) {
    for (double below = std::nextafter(t, 0.0); below / points >= max_mse; below = std::nextafter(t, 0.0)) t = below;
  } else {
    while (!(t / points >= max_mse)) t = std::nextafter(t, std::numeric_limits<double>::infinity());
  }
  return t;
}

// The four maxima whose runs fit four lines with the least total error.
std::optional<std::array<Line, 4>> best_four_lines(const CumulativeMoments& moments, const Vec<std::size_t>& maxima,
                                                   const QuadFitSettings& settings) {
  const std::size_t k = maxima.size();
  const double points = static_cast<double>(moments.points());
  const double max_dot = std::cos(settings.critical_rad);
  RunLines lines(moments, maxima, settings.max_line_fit_mse);
  std::optional<std::array<Line, 4>> best;
  double best_error = 0.0;
  // Lines are fitted only for choices whose bounds could still win. A choice
  // cannot once its bounds add up to the best total so far (errors are never
  // negative and later choices win only when strictly smaller), nor when
  // they reach the error per point that rejects the winner anyway. Sums of
  // bounds and of errors are taken in the same order, so rounding keeps
  // each sum of bounds at or below the sum of errors.
  const double rejected = least_total_rejected(points, settings.max_line_fit_mse);
  double cutoff = rejected;  // min(best total, rejected)
  const auto hopeless = [&](double lower) { return lower >= cutoff; };
  for (std::size_t m0 = 0; m0 + 3 < k; ++m0) {
    for (std::size_t m1 = m0 + 1; m1 + 2 < k; ++m1) {
      const RunBound b0 = lines.bound(m0, m1);
      if (b0.fails) continue;
      for (std::size_t m2 = m1 + 1; m2 + 1 < k; ++m2) {
        if (hopeless(b0.err)) break;
        const RunBound b1 = lines.bound(m1, m2);
        if (b1.fails) continue;
        const double lower01 = b0.err + b1.err;
        for (std::size_t m3 = m2 + 1; m3 < k; ++m3) {
          if (hopeless(lower01)) break;
          const RunBound b2 = lines.bound(m2, m3);
          const RunBound b3 = lines.bound(m3, m0);
          if (b2.fails || b3.fails || hopeless(lower01 + b2.err + b3.err)) continue;
          const std::optional<Line> l0 = lines.get(m0, m1);
          const std::optional<Line> l1 = lines.get(m1, m2);
          if (!l0 || !l1 || std::fabs(l0->nx * l1->nx + l0->ny * l1->ny) > max_dot) continue;
          const std::optional<Line> l2 = lines.get(m2, m3);
          const std::optional<Line> l3 = lines.get(m3, m0);
          if (!l2 || !l3) continue;
          const double error = l0->err + l1->err + l2->err + l3->err;
          if (!best || error < best_error) {
            best = std::array<Line, 4>{*l0, *l1, *l2, *l3};
            best_error = error;
            cutoff = std::min(best_error, rejected);
          }
        }
      }
    }
  }
  if (best && best_error / points >= settings.max_line_fit_mse) return std::nullopt;
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

std::optional<Quad> fit_with(std::span<const BoundaryPoint> cluster, GrayView image,
                             const QuadFitSettings& settings, FitScratch& scratch) {
  if (cluster.size() < 24) return std::nullopt;
  if (!order_around_centre(cluster, image, settings.max_line_fit_mse, scratch)) return std::nullopt;
  const CumulativeMoments moments = weighted_moments(scratch, image);
  if (!bend_curve(moments, scratch)) return std::nullopt;
  strongest_maxima(scratch.smooth, settings.max_nmaxima, scratch.maxima);
  if (scratch.maxima.size() < 4) return std::nullopt;
  const auto lines = best_four_lines(moments, scratch.maxima, settings);
  if (!lines) return std::nullopt;
  const auto quad = intersect_lines(*lines);
  if (!quad || !is_convex(*quad) || area(*quad) < 64.0 || !angles_within(*quad, settings.critical_rad)) {
    return std::nullopt;
  }
  return quad;
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// The same fit compiled for AVX2 (its wider, three-operand forms of the same
// operations; no fused multiply-add), for the per-point passes.
MORVELIN_AVX2_VARIANT std::optional<Quad> fit_with_avx2(std::span<const BoundaryPoint> cluster, GrayView image,
                                                        const QuadFitSettings& settings, FitScratch& scratch) {
  return fit_with(cluster, image, settings, scratch);
}
#endif

std::optional<Quad> fit_on_best_unit(std::span<const BoundaryPoint> cluster, GrayView image,
                                     const QuadFitSettings& settings, FitScratch& scratch) {
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (cpu_has_avx2()) return fit_with_avx2(cluster, image, settings, scratch);
#endif
  return fit_with(cluster, image, settings, scratch);
}

}  // namespace

std::optional<Quad> fit_quad(std::span<const BoundaryPoint> cluster, GrayView image,
                             const QuadFitSettings& settings) {
  FitScratch scratch;
  return fit_on_best_unit(cluster, image, settings, scratch);
}

Vec<std::optional<Quad>> fit_quads(const BoundaryClusters& clusters, GrayView image,
                                   const QuadFitSettings& settings) {
  Vec<std::optional<Quad>> quads(clusters.size());
  // Tasks of a few clusters each share their buffers; results go by index.
  constexpr std::size_t kClustersPerTask = 16;
  const std::size_t tasks = (clusters.size() + kClustersPerTask - 1) / kClustersPerTask;
  parallel_for(tasks, [&](std::size_t t) {
    FitScratch scratch;
    const std::size_t end = std::min(clusters.size(), (t + 1) * kClustersPerTask);
    for (std::size_t i = t * kClustersPerTask; i < end; ++i) {
      quads[i] = fit_on_best_unit(clusters[i].points, image, settings, scratch);
    }
  });
  return quads;
}

}  // namespace morvelin
