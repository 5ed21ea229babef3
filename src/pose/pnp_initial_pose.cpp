// Stage 1 of the PnP solver: a closed-form pose from the normalised image
// points. Planar objects go through a normalised homography in the plane's
// own frame; general objects through a linear 3x4 projection.
#include <algorithm>
#include <cmath>

#include "numeric/conversions.hpp"
#include "pose/jacobi_svd.hpp"
#include "pose/matrix3.hpp"
#include "pose/pnp.hpp"
#include "pose/rotation_vector.hpp"

namespace morvelin {

namespace {

constexpr double kPlanarityRatio = 0.001;
constexpr double kPlaneAxisThreshold = 1e-10;
constexpr int kUndistortIterations = 5;
constexpr std::size_t kMinGeneralPoints = 6;

Point2 undistort(const Point2& normalised, const CameraModel& camera) noexcept {
  const auto& k = camera.dist;
  const double x0 = normalised[0];
  const double y0 = normalised[1];
  double x = x0;
  double y = y0;
  for (int it = 0; it < kUndistortIterations; ++it) {
    const double r2 = x * x + y * y;
    const double r4 = r2 * r2;
    const double r6 = r2 * r4;
    const double q = (1.0 + k[kK4] * r2 + k[kK5] * r4 + k[kK6] * r6) / (1.0 + k[kK1] * r2 + k[kK2] * r4 + k[kK3] * r6);
    if (q < 0.0) return normalised;
    const double dx = 2.0 * k[kP1] * x * y + k[kP2] * (r2 + 2.0 * x * x) + k[kS1] * r2 + k[kS2] * r4;
    const double dy = k[kP1] * (r2 + 2.0 * y * y) + 2.0 * k[kP2] * x * y + k[kS3] * r2 + k[kS4] * r4;
    x = (x0 - dx) * q;
    y = (y0 - dy) * q;
  }
  return {x, y};
}

// Moving 2-D points to their centroid and scaling them to a mean distance
// of √2: q ↦ s·(q − m), and the 3x3 transform that does it.
struct Normalisation2d {
  double scale = 1.0;
  double mx = 0.0;
  double my = 0.0;
  Point2 apply(const Point2& q) const noexcept { return {scale * (q[0] - mx), scale * (q[1] - my)}; }
  Matrix3 transform() const noexcept { return {{{scale, 0.0, -scale * mx}, {0.0, scale, -scale * my}, {0.0, 0.0, 1.0}}}; }
};

template <class PointAt>
Normalisation2d normalisation_2d(std::size_t count, PointAt point_at) {
  const double n = static_cast<double>(count);
  double mx = 0.0;
  double my = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const Point2 q = point_at(i);
    mx += q[0];
    my += q[1];
  }
  mx /= n;
  my /= n;
  double mean_distance = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const Point2 q = point_at(i);
    mean_distance += std::sqrt((q[0] - mx) * (q[0] - mx) + (q[1] - my) * (q[1] - my));
  }
  mean_distance /= n;
  const double s = mean_distance > kDoubleEpsilon ? std::sqrt(2.0) / mean_distance : 1.0;
  return {s, mx, my};
}

// Adds row·rowᵀ to AᵀA, so that every element sums its products in row order.
template <std::size_t kSize>
void add_normal_row(SquareMatrix<kSize>& ata, const std::array<double, kSize>& row) noexcept {
  for (std::size_t a = 0; a < kSize; ++a) {
    for (std::size_t b = 0; b < kSize; ++b) ata[a][b] += row[a] * row[b];
  }
}

// The right singular vector of the smallest singular value of AᵀA.
template <std::size_t kSize>
std::optional<std::array<double, kSize>> null_vector(const std::optional<Svd<kSize>>& svd) noexcept {
  if (!svd) return std::nullopt;
  std::array<double, kSize> h{};
  for (std::size_t i = 0; i < kSize; ++i) h[i] = svd->v[i][kSize - 1];
  return h;
}

std::optional<Matrix3> inverse_by_adjugate(const Matrix3& m) noexcept {
  const double det = determinant(m);
  if (det == 0.0) return std::nullopt;
  Matrix3 inv{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      // inv[i][j] = cofactor(j, i) / det
      const std::size_t r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
      inv[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
    }
  }
  return inv;
}

bool all_finite(const Matrix3& m) noexcept {
  return std::all_of(m.begin(), m.end(),
                     [](const auto& row) { return std::all_of(row.begin(), row.end(), [](double v) { return std::isfinite(v); }); });
}

// Rotation Rp of the plane frame: rows first axis, second axis, normal
// (`v` holds the right singular vectors of the scatter as columns).
Matrix3 plane_rotation(const SquareMatrix<3>& v) noexcept {
  const double a = v[2][0];
  const double b = v[2][1];
  if (a * a + b * b < kPlaneAxisThreshold) return kIdentity3;
  Matrix3 rp{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) rp[i][j] = v[j][i];
  }
  if (determinant(rp) < 0.0) {
    for (auto& row : rp) {
      for (double& e : row) e = -e;
    }
  }
  return rp;
}

// The linear system of one point set, and what turns its null vector into a
// pose. Splitting stage 1 here lets the systems of several point sets be
// decomposed together.
struct LinearStart {
  enum class Kind { kNone, kPlanar, kGeneral };
  Kind kind = Kind::kNone;
  SquareMatrix<9> homography_system{};   // planar: AᵀA of the normalised homography rows
  SquareMatrix<12> projection_system{};  // general: AᵀA of the 3x4 projection rows
  Matrix3 plane_normalisation{};         // planar: T of the plane coordinates
  Matrix3 image_normalisation{};         // planar: T of the normalised image points
  Matrix3 plane_rotation{};              // planar: Rp
  Vector3 rotated_centroid{};            // planar: Rp·c
};

void set_up_planar(std::span<const Point3> object_points, std::span<const Point2> image, const Point3& centroid,
                   const SquareMatrix<3>& v, LinearStart& out) {
  out.kind = LinearStart::Kind::kPlanar;
  out.plane_rotation = plane_rotation(v);
  const Matrix3& rp = out.plane_rotation;
  const Vector3 rp_c = multiply(rp, centroid);
  out.rotated_centroid = rp_c;
  const auto plane_at = [&](std::size_t i) {
    const Vector3 q = multiply(rp, object_points[i]);
    return Point2{q[0] - rp_c[0], q[1] - rp_c[1]};
  };
  const Normalisation2d np = normalisation_2d(object_points.size(), plane_at);
  const Normalisation2d ni = normalisation_2d(image.size(), [&](std::size_t i) { return image[i]; });
  out.plane_normalisation = np.transform();
  out.image_normalisation = ni.transform();
  SquareMatrix<9>& ata = out.homography_system;
  ata = {};
  for (std::size_t i = 0; i < object_points.size(); ++i) {
    const Point2 pn = np.apply(plane_at(i));
    const Point2 in = ni.apply(image[i]);
    const double x = pn[0], y = pn[1];
    const double u = in[0], v = in[1];
    add_normal_row<9>(ata, {-x, -y, -1.0, 0.0, 0.0, 0.0, u * x, u * y, u});
    add_normal_row<9>(ata, {0.0, 0.0, 0.0, -x, -y, -1.0, v * x, v * y, v});
  }
}

void set_up_general(std::span<const Point3> object_points, std::span<const Point2> image, LinearStart& out) {
  if (object_points.size() < kMinGeneralPoints) return;
  out.kind = LinearStart::Kind::kGeneral;
  SquareMatrix<12>& ata = out.projection_system;
  ata = {};
  for (std::size_t i = 0; i < object_points.size(); ++i) {
    const double x = object_points[i][0], y = object_points[i][1], z = object_points[i][2];
    const double u = image[i][0], v = image[i][1];
    add_normal_row<12>(ata, {x, y, z, 1.0, 0.0, 0.0, 0.0, 0.0, -u * x, -u * y, -u * z, -u});
    add_normal_row<12>(ata, {0.0, 0.0, 0.0, 0.0, x, y, z, 1.0, -v * x, -v * y, -v * z, -v});
  }
}

void set_up_linear_start(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const CameraModel& camera, LinearStart& out) {
  out.kind = LinearStart::Kind::kNone;
  if (object_points.size() < kMinPnpPoints || object_points.size() != image_points.size()) return;
  const Vec<Point2> image = normalise_image_points(image_points, camera);
  const ObjectScatter spread = object_scatter(object_points);
  const std::optional<Svd<3>> svd = jacobi_svd<3>(spread.scatter, kRightVectors);
  if (!svd) return;
  const auto& sigma = svd->singular_values;
  if (is_planar_spread(sigma[1], sigma[2])) {
    set_up_planar(object_points, image, spread.centroid, svd->v, out);
  } else {
    set_up_general(object_points, image, out);
  }
}

// Homography H mapping plane coordinates to normalised image points, scaled
// so that H(2,2) = 1.
std::optional<Matrix3> plane_homography(const LinearStart& start, const std::optional<Svd<9>>& svd) {
  const auto h = null_vector<9>(svd);
  if (!h) return std::nullopt;
  const Matrix3 hn = {{{(*h)[0], (*h)[1], (*h)[2]}, {(*h)[3], (*h)[4], (*h)[5]}, {(*h)[6], (*h)[7], (*h)[8]}}};
  const auto image_inverse = inverse_by_adjugate(start.image_normalisation);
  if (!image_inverse) return std::nullopt;
  Matrix3 hm = multiply(multiply(*image_inverse, hn), start.plane_normalisation);
  const double scale = hm[2][2];
  for (auto& row : hm) {
    for (double& e : row) e /= scale;
  }
  if (!all_finite(hm)) return std::nullopt;
  return hm;
}

std::optional<Pose> planar_pose(const LinearStart& start, const std::optional<Svd<9>>& svd) {
  const auto h = plane_homography(start, svd);
  if (!h) return std::nullopt;
  const Matrix3& hm = *h;
  const Vector3 h1 = {hm[0][0], hm[1][0], hm[2][0]};
  const Vector3 h2 = {hm[0][1], hm[1][1], hm[2][1]};
  const Vector3 h3 = {hm[0][2], hm[1][2], hm[2][2]};
  const double n1 = std::sqrt(dot3(h1, h1));
  const double n2 = std::sqrt(dot3(h2, h2));
  const double d1 = std::max(n1, kDoubleEpsilon);
  const double d2 = std::max(n2, kDoubleEpsilon);
  const Vector3 r1 = {h1[0] / d1, h1[1] / d1, h1[2] / d1};
  const Vector3 r2 = {h2[0] / d2, h2[1] / d2, h2[2] / d2};
  const Vector3 r3 = cross3(r1, r2);
  const Matrix3 columns = {{{r1[0], r2[0], r3[0]}, {r1[1], r2[1], r3[1]}, {r1[2], r2[2], r3[2]}}};
  const Matrix3 rh = rotation_matrix(rotation_vector(columns));
  const double lambda = 2.0 / std::max(n1 + n2, kDoubleEpsilon);
  const Vector3 th = {lambda * h3[0], lambda * h3[1], lambda * h3[2]};

  const Vector3 offset = multiply(rh, start.rotated_centroid);
  Pose pose;
  pose.rvec = rotation_vector(multiply(rh, start.plane_rotation));
  pose.tvec = {th[0] - offset[0], th[1] - offset[1], th[2] - offset[2]};
  return pose;
}

std::optional<Pose> general_pose(const std::optional<Svd<12>>& svd) {
  const auto p = null_vector<12>(svd);
  if (!p) return std::nullopt;
  Matrix3 m = {{{(*p)[0], (*p)[1], (*p)[2]}, {(*p)[4], (*p)[5], (*p)[6]}, {(*p)[8], (*p)[9], (*p)[10]}}};
  Vector3 last = {(*p)[3], (*p)[7], (*p)[11]};
  if (determinant(m) < 0.0) {
    for (auto& row : m) {
      for (double& e : row) e = -e;
    }
    for (double& e : last) e = -e;
  }
  const double d = frobenius_norm(m);
  if (d < kDoubleEpsilon) return std::nullopt;

  const std::optional<Matrix3> r = nearest_orthonormal(m);
  if (!r) return std::nullopt;
  const double lambda = frobenius_norm(*r) / d;
  Pose pose;
  pose.rvec = rotation_vector(*r);
  pose.tvec = {lambda * last[0], lambda * last[1], lambda * last[2]};
  return pose;
}

}  // namespace

ObjectScatter object_scatter(std::span<const Point3> object_points) noexcept {
  ObjectScatter out;
  for (const Point3& p : object_points) {
    for (std::size_t a = 0; a < 3; ++a) out.centroid[a] += p[a];
  }
  const double n = static_cast<double>(object_points.size());
  for (double& c : out.centroid) c /= n;
  for (const Point3& p : object_points) {
    const Vector3 d = {p[0] - out.centroid[0], p[1] - out.centroid[1], p[2] - out.centroid[2]};
    for (std::size_t a = 0; a < 3; ++a) {
      for (std::size_t b = 0; b < 3; ++b) out.scatter[a][b] += d[a] * d[b];
    }
  }
  return out;
}

bool is_planar_spread(double sigma1, double sigma2) noexcept {
  return sigma1 > kDoubleEpsilon && sigma2 / sigma1 < kPlanarityRatio;
}

Vec<Point2> normalise_image_points(std::span<const Point2> image_points, const CameraModel& camera) {
  Vec<Point2> out(image_points.size());
  const bool distorted = camera.has_distortion();
  for (std::size_t i = 0; i < image_points.size(); ++i) {
    const Point2 plain = {(image_points[i][0] - camera.cx) / camera.fx, (image_points[i][1] - camera.cy) / camera.fy};
    out[i] = distorted ? undistort(plain, camera) : plain;
  }
  return out;
}

std::optional<Pose> initial_pnp_pose(std::span<const Point3> object_points, std::span<const Point2> image_points,
                                     const CameraModel& camera) {
  LinearStart start;
  set_up_linear_start(object_points, image_points, camera, start);
  switch (start.kind) {
    case LinearStart::Kind::kPlanar:
      return planar_pose(start, jacobi_svd<9>(start.homography_system, kRightVectors));
    case LinearStart::Kind::kGeneral:
      return general_pose(jacobi_svd<12>(start.projection_system, kRightVectors));
    case LinearStart::Kind::kNone:
      break;
  }
  return std::nullopt;
}

void initial_pnp_poses(std::span<const std::span<const Point3>> object_points,
                       std::span<const std::span<const Point2>> image_points, const CameraModel& camera,
                       std::span<std::optional<Pose>> poses) {
  const std::size_t count = std::min({object_points.size(), image_points.size(), poses.size()});
  Vec<LinearStart> starts(count);
  Vec<const SquareMatrix<9>*> homography_systems;
  Vec<const SquareMatrix<12>*> projection_systems;
  for (std::size_t i = 0; i < count; ++i) {
    set_up_linear_start(object_points[i], image_points[i], camera, starts[i]);
    if (starts[i].kind == LinearStart::Kind::kPlanar) homography_systems.push_back(&starts[i].homography_system);
    if (starts[i].kind == LinearStart::Kind::kGeneral) projection_systems.push_back(&starts[i].projection_system);
  }
  Vec<std::optional<Svd<9>>> homography_svds(homography_systems.size());
  Vec<std::optional<Svd<12>>> projection_svds(projection_systems.size());
  jacobi_svd_batch<9>(homography_systems, homography_svds);
  jacobi_svd_batch<12>(projection_systems, projection_svds);
  std::size_t next_homography = 0;
  std::size_t next_projection = 0;
  for (std::size_t i = 0; i < count; ++i) {
    switch (starts[i].kind) {
      case LinearStart::Kind::kPlanar:
        poses[i] = planar_pose(starts[i], homography_svds[next_homography++]);
        break;
      case LinearStart::Kind::kGeneral:
        poses[i] = general_pose(projection_svds[next_projection++]);
        break;
      case LinearStart::Kind::kNone:
        poses[i].reset();
        break;
    }
  }
}

}  // namespace morvelin
