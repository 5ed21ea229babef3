#include "pose/projection.hpp"

#include <algorithm>

#include "pose/matrix3.hpp"
#include "pose/pixel_mapping.hpp"
#include "pose/rotation_vector.hpp"

namespace morvelin {

namespace {

// Where the derivative rows of one call go: row 2i (pixel x) and 2i+1
// (pixel y) of point i, each with three rvec and three tvec entries.
struct DerivativeSink {
  double* rvec = nullptr;
  double* tvec = nullptr;
  std::size_t row_stride = 0;  // doubles between consecutive rows
};

// Points go through the mapping two at a time; an odd last point alone.
void project_plain(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera,
                   std::span<Point2> image_points) noexcept {
  const Matrix3 r = rotation_matrix(pose.rvec);
  const std::size_t n = std::min(object_points.size(), image_points.size());
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    const ObjectPoint<Double2> pair = object_point(object_points[i], object_points[i + 1]);
    const auto m = project_object_point<false>(r, pose.tvec, pair, camera);
    image_points[i] = {m.u[0], m.v[0]};
    image_points[i + 1] = {m.u[1], m.v[1]};
  }
  if (i < n) {
    const auto m = project_object_point<false>(r, pose.tvec, object_point(object_points[i]), camera);
    image_points[i] = {m.u, m.v};
  }
}

void project_with_sink(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera,
                       std::span<Point2> image_points, std::size_t n, DerivativeSink sink) noexcept {
  const RotationDerivatives rot = rotation_matrix_with_derivatives(pose.rvec);
  for (std::size_t i = 0; i < n; ++i) {
    const ObjectPoint<double> p = object_point(object_points[i]);
    const PixelMapping<double> m = project_object_point<true>(rot.r, pose.tvec, p, camera);
    image_points[i] = {m.u, m.v};
    double* rx = sink.rvec + 2 * i * sink.row_stride;
    double* ry = rx + sink.row_stride;
    double* tx = sink.tvec + 2 * i * sink.row_stride;
    double* ty = tx + sink.row_stride;
    double du_dr[3];
    double dv_dr[3];
    rotation_derivatives_of_pixel(rot, p, m, du_dr, dv_dr);
    for (std::size_t j = 0; j < 3; ++j) {
      rx[j] = du_dr[j];
      ry[j] = dv_dr[j];
      tx[j] = m.du[j];
      ty[j] = m.dv[j];
    }
  }
}

}  // namespace

Vec<Point2> project_points(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera) {
  Vec<Point2> points(object_points.size());
  project_plain(object_points, pose, camera, points);
  return points;
}

ProjectionWithDerivatives project_points_with_derivatives(std::span<const Point3> object_points, const Pose& pose,
                                                          const CameraModel& camera) {
  const std::size_t n = object_points.size();
  ProjectionWithDerivatives out{Vec<Point2>(n), Vec<double>(6 * n), Vec<double>(6 * n)};
  if (n == 0) return out;
  project_with_sink(object_points, pose, camera, out.points, n, {out.d_rvec.data(), out.d_tvec.data(), 3});
  return out;
}

void project_points_into(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera,
                         std::span<Point2> image_points) {
  project_plain(object_points, pose, camera, image_points);
}

void project_points_into(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera,
                         std::span<Point2> image_points, std::span<double> jacobian) {
  const std::size_t n = std::min({object_points.size(), image_points.size(), jacobian.size() / 12});
  if (n == 0) return;
  project_with_sink(object_points, pose, camera, image_points, n, {jacobian.data(), jacobian.data() + 3, 6});
}

}  // namespace morvelin
