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
  Matrix3 transform() const noexcept {
    return {{{scale, 0.0, -scale * mx}, {0.0, scale, -scale * my}, {0.0, 0.0, 1.0}}};
  }
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

// Adds row·rowᵀ to the upper triangle of AᵀA, each element summing its
// products in row order. Only the row's structurally non-zero positions
// `nz` (ascending) take part: the other products are ±0, and adding ±0 to a
// sum that started at +0 never changes it (a non-finite entry makes its own
// square non-finite, which fails the decomposition either way).
template <std::size_t kSize, std::size_t kNonZero>
void add_normal_row(SquareMatrix<kSize>& ata, const std::array<double, kSize>& row,
                    const std::array<std::size_t, kNonZero>& nz) noexcept {
  for (std::size_t i = 0; i < kNonZero; ++i) {
    const double ra = row[nz[i]];
    for (std::size_t j = i; j < kNonZero; ++j) ata[nz[i]][nz[j]] += ra * row[nz[j]];
  }
}

// The lower triangle from the upper: each product is symmetric, so the two
// sums agree bit for bit.
template <std::size_t kSize>
void mirror_upper_triangle(SquareMatrix<kSize>& ata) noexcept {
  for (std::size_t a = 0; a < kSize; ++a) {
    for (std::size_t b = a + 1; b < kSize; ++b) ata[b][a] = ata[a][b];
  }
}

// Non-zero positions of the homography rows (x/u row, y/v row) and of the
// projection rows.
constexpr std::array<std::size_t, 6> kHomographyRowU = {0, 1, 2, 6, 7, 8};
constexpr std::array<std::size_t, 6> kHomographyRowV = {3, 4, 5, 6, 7, 8};
constexpr std::array<std::size_t, 8> kProjectionRowU = {0, 1, 2, 3, 8, 9, 10, 11};
constexpr std::array<std::size_t, 8> kProjectionRowV = {4, 5, 6, 7, 8, 9, 10, 11};

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
  // The systems are large and zeroed by the set-up that fills them, so
  // construction leaves them alone.
  LinearStart() noexcept {}
  Kind kind = Kind::kNone;
  SquareMatrix<9> homography_system;     // planar: AᵀA of the normalised homography rows
  SquareMatrix<12> projection_system;    // general: AᵀA of the 3x4 projection rows
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
    add_normal_row<9>(ata, {-x, -y, -1.0, 0.0, 0.0, 0.0, u * x, u * y, u}, kHomographyRowU);
    add_normal_row<9>(ata, {0.0, 0.0, 0.0, -x, -y, -1.0, v * x, v * y, v}, kHomographyRowV);
  }
  mirror_upper_triangle(ata);
}

void set_up_general(std::span<const Point3> object_points, std::span<const Point2> image, LinearStart& out) {
  if (object_points.size() < kMinGeneralPoints) return;
  out.kind = LinearStart::Kind::kGeneral;
  SquareMatrix<12>& ata = out.projection_system;
  ata = {};
  for (std::size_t i = 0; i < object_points.size(); ++i) {
    const double x = object_points[i][0], y = object_points[i][1], z = object_points[i][2];
    const double u = image[i][0], v = image[i][1];
    add_normal_row<12>(ata, {x, y, z, 1.0, 0.0, 0.0, 0.0, 0.0, -u * x, -u * y, -u * z, -u}, kProjectionRowU);
    add_normal_row<12>(ata, {0.0, 0.0, 0.0, 0.0, x, y, z, 1.0, -v * x, -v * y, -v * z, -v}, kProjectionRowV);
  }
  mirror_upper_triangle(ata);
}

// Stage 1 up to the linear system, given the normalised image points and
// the decomposition of the object's scatter (`spread`).
void set_up_linear_start(std::span<const Point3> object_points, std::span<const Point2> image,
                         const ObjectScatter& spread, const std::optional<Svd<3>>& svd, LinearStart& out) {
  out.kind = LinearStart::Kind::kNone;
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

// The pose of one point set from its null vector. Two rotations need the
// orthonormal matrix nearest to an intermediate matrix; those are computed
// for all sets together between the steps below (first_rotation, then
// second_rotation), so a set's state is kept here.
struct PoseFinish {
  LinearStart::Kind kind = LinearStart::Kind::kNone;  // kNone: no pose
  Matrix3 first_rotation{};   // general: M of P = [M | m]; planar: [r1 r2 r3]
  Matrix3 second_rotation{};  // general: U·Vᵀ of M; planar: Rh·Rp
  Vector3 last{};             // general: m
  double norm = 0.0;          // general: ‖M‖
  Vector3 tvec{};
};

void begin_general(const std::optional<Svd<12>>& svd, PoseFinish& f) {
  const auto p = null_vector<12>(svd);
  if (!p) return;
  Matrix3 m = {{{(*p)[0], (*p)[1], (*p)[2]}, {(*p)[4], (*p)[5], (*p)[6]}, {(*p)[8], (*p)[9], (*p)[10]}}};
  Vector3 last = {(*p)[3], (*p)[7], (*p)[11]};
  if (determinant(m) < 0.0) {
    for (auto& row : m) {
      for (double& e : row) e = -e;
    }
    for (double& e : last) e = -e;
  }
  const double d = frobenius_norm(m);
  if (d < kDoubleEpsilon) return;
  f.kind = LinearStart::Kind::kGeneral;
  f.first_rotation = m;
  f.last = last;
  f.norm = d;
}

// R = U·Vᵀ of M (none: no pose); t = (‖R‖/‖M‖)·m.
void continue_general(const std::optional<Matrix3>& r, PoseFinish& f) {
  if (!r) {
    f.kind = LinearStart::Kind::kNone;
    return;
  }
  f.second_rotation = *r;
  const double lambda = frobenius_norm(*r) / f.norm;
  f.tvec = {lambda * f.last[0], lambda * f.last[1], lambda * f.last[2]};
}

// Keeps the columns r1, r2, r1 × r2 of the normalised H for their
// orthonormalisation, and λ·h3 in `tvec`.
void begin_planar(const LinearStart& start, const std::optional<Svd<9>>& svd, PoseFinish& f) {
  const auto h = plane_homography(start, svd);
  if (!h) return;
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
  f.kind = LinearStart::Kind::kPlanar;
  f.first_rotation = {{{r1[0], r2[0], r3[0]}, {r1[1], r2[1], r3[1]}, {r1[2], r2[2], r3[2]}}};
  const double lambda = 2.0 / std::max(n1 + n2, kDoubleEpsilon);
  f.tvec = {lambda * h3[0], lambda * h3[1], lambda * h3[2]};
}

// Rh = R(rotation vector of [r1 r2 r3]); the object-frame rotation Rh·Rp and
// t = λ·h3 − Rh·(Rp·c).
void continue_planar(const LinearStart& start, const Vector3& rh_vector, PoseFinish& f) {
  const Matrix3 rh = rotation_matrix(rh_vector);
  const Vector3 offset = multiply(rh, start.rotated_centroid);
  f.second_rotation = multiply(rh, start.plane_rotation);
  f.tvec = {f.tvec[0] - offset[0], f.tvec[1] - offset[1], f.tvec[2] - offset[2]};
}

bool enough_points(std::span<const Point3> object_points, std::span<const Point2> image_points) noexcept {
  return object_points.size() >= kMinPnpPoints && object_points.size() == image_points.size();
}

// Step 1: the objects' scatters, decomposed together, and the linear
// systems.
void set_up_all(std::span<const std::span<const Point3>> object_points,
                std::span<const std::span<const Point2>> image_points, std::span<LinearStart> starts) {
  const std::size_t count = starts.size();
  Vec<ObjectScatter> spreads(count);
  Vec<const SquareMatrix<3>*> scatters;
  for (std::size_t i = 0; i < count; ++i) {
    if (!enough_points(object_points[i], image_points[i])) continue;
    spreads[i] = object_scatter(object_points[i]);
    scatters.push_back(&spreads[i].scatter);
  }
  Vec<std::optional<Svd<3>>> scatter_svds(scatters.size());
  jacobi_svd_batch<3>(scatters, scatter_svds);
  std::size_t next = 0;
  for (std::size_t i = 0; i < count; ++i) {
    starts[i].kind = LinearStart::Kind::kNone;
    if (!enough_points(object_points[i], image_points[i])) continue;
    set_up_linear_start(object_points[i], image_points[i], spreads[i], scatter_svds[next++], starts[i]);
  }
}

// Step 2: the null vectors of all systems, decomposed together by size.
void begin_all(std::span<const LinearStart> starts, std::span<PoseFinish> finishes) {
  Vec<const SquareMatrix<9>*> homography_systems;
  Vec<const SquareMatrix<12>*> projection_systems;
  for (const LinearStart& start : starts) {
    if (start.kind == LinearStart::Kind::kPlanar) homography_systems.push_back(&start.homography_system);
    if (start.kind == LinearStart::Kind::kGeneral) projection_systems.push_back(&start.projection_system);
  }
  Vec<std::optional<Svd<9>>> homography_svds(homography_systems.size());
  Vec<std::optional<Svd<12>>> projection_svds(projection_systems.size());
  jacobi_svd_batch<9>(homography_systems, homography_svds);
  jacobi_svd_batch<12>(projection_systems, projection_svds);
  std::size_t next_homography = 0;
  std::size_t next_projection = 0;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    if (starts[i].kind == LinearStart::Kind::kPlanar) {
      begin_planar(starts[i], homography_svds[next_homography++], finishes[i]);
    } else if (starts[i].kind == LinearStart::Kind::kGeneral) {
      begin_general(projection_svds[next_projection++], finishes[i]);
    }
  }
}

// The rotations of the sets still alive, orthonormalised together.
Vec<const Matrix3*> rotations_of(std::span<const PoseFinish> finishes, Matrix3 PoseFinish::*rotation) {
  Vec<const Matrix3*> out;
  for (const PoseFinish& f : finishes) {
    if (f.kind != LinearStart::Kind::kNone) out.push_back(&(f.*rotation));
  }
  return out;
}

// Steps 3 and 4: the two orthonormalisations, each for all sets together.
void finish_all(std::span<const LinearStart> starts, std::span<PoseFinish> finishes,
                std::span<std::optional<Pose>> poses) {
  const Vec<const Matrix3*> first = rotations_of(finishes, &PoseFinish::first_rotation);
  Vec<std::optional<Matrix3>> orthonormal(first.size());
  nearest_orthonormals(first, orthonormal);
  std::size_t next = 0;
  for (std::size_t i = 0; i < finishes.size(); ++i) {
    PoseFinish& f = finishes[i];
    if (f.kind == LinearStart::Kind::kGeneral) {
      continue_general(orthonormal[next++], f);
    } else if (f.kind == LinearStart::Kind::kPlanar) {
      continue_planar(starts[i], rotation_vector_of_orthonormal(orthonormal[next++]), f);
    }
  }
  const Vec<const Matrix3*> second = rotations_of(finishes, &PoseFinish::second_rotation);
  Vec<Vector3> rvecs(second.size());
  rotation_vectors(second, rvecs);
  next = 0;
  for (std::size_t i = 0; i < finishes.size(); ++i) {
    if (finishes[i].kind == LinearStart::Kind::kNone) {
      poses[i].reset();
    } else {
      poses[i] = Pose{rvecs[next++], finishes[i].tvec};
    }
  }
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

Point2 normalise_image_point(const Point2& pixel, const CameraModel& camera) noexcept {
  const Point2 plain = {(pixel[0] - camera.cx) / camera.fx, (pixel[1] - camera.cy) / camera.fy};
  return camera.has_distortion() ? undistort(plain, camera) : plain;
}

Vec<Point2> normalise_image_points(std::span<const Point2> image_points, const CameraModel& camera) {
  Vec<Point2> out(image_points.size());
  for (std::size_t i = 0; i < image_points.size(); ++i) out[i] = normalise_image_point(image_points[i], camera);
  return out;
}

std::optional<Pose> initial_pnp_pose(std::span<const Point3> object_points, std::span<const Point2> image_points,
                                     const CameraModel& camera) {
  std::optional<Pose> pose;
  initial_pnp_poses(std::span<const std::span<const Point3>>(&object_points, 1),
                    std::span<const std::span<const Point2>>(&image_points, 1), camera,
                    std::span<std::optional<Pose>>(&pose, 1));
  return pose;
}

void initial_pnp_poses(std::span<const std::span<const Point3>> object_points,
                       std::span<const std::span<const Point2>> image_points, const CameraModel& camera,
                       std::span<std::optional<Pose>> poses) {
  const std::size_t count = std::min({object_points.size(), image_points.size(), poses.size()});
  Vec<Vec<Point2>> normalised(count);
  Vec<std::span<const Point2>> normalised_spans(count);
  for (std::size_t i = 0; i < count; ++i) {
    normalised[i] = normalise_image_points(image_points[i], camera);
    normalised_spans[i] = normalised[i];
  }
  initial_pnp_poses_normalised(object_points.first(count), normalised_spans, poses.first(count));
}

void plane_homographies(std::span<const std::span<const Point3>> object_points,
                        std::span<const std::span<const Point2>> image_points,
                        std::span<std::optional<PlaneHomography>> out) {
  const std::size_t count = std::min({object_points.size(), image_points.size(), out.size()});
  Vec<LinearStart> starts(count);
  set_up_all(object_points.first(count), image_points.first(count), starts);
  Vec<const SquareMatrix<9>*> systems;
  for (const LinearStart& start : starts) {
    if (start.kind == LinearStart::Kind::kPlanar) systems.push_back(&start.homography_system);
  }
  Vec<std::optional<Svd<9>>> svds(systems.size());
  jacobi_svd_batch<9>(systems, svds);
  std::size_t next = 0;
  for (std::size_t i = 0; i < count; ++i) {
    out[i].reset();
    if (starts[i].kind != LinearStart::Kind::kPlanar) continue;
    const std::optional<Matrix3> h = plane_homography(starts[i], svds[next++]);
    if (h) out[i] = PlaneHomography{*h, starts[i].plane_rotation, starts[i].rotated_centroid};
  }
}

void initial_pnp_poses_normalised(std::span<const std::span<const Point3>> object_points,
                                  std::span<const std::span<const Point2>> normalised_points,
                                  std::span<std::optional<Pose>> poses) {
  const std::size_t count = std::min({object_points.size(), normalised_points.size(), poses.size()});
  Vec<LinearStart> starts(count);
  Vec<PoseFinish> finishes(count);
  set_up_all(object_points.first(count), normalised_points.first(count), starts);
  begin_all(starts, finishes);
  finish_all(starts, finishes, poses.first(count));
}

}  // namespace morvelin
