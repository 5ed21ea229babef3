// PnP and RANSAC PnP on random correspondences, camera matrices (ragged
// rows included) and distortion vectors of any length, NaN and infinities
// included, with and without a start pose.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "fuzz_input.hpp"
#include "pose/pnp.hpp"
#include "pose/ransac_pnp.hpp"

using namespace morvelin;

namespace {

double coordinate(FuzzedDataProvider& in, bool wild) {
  return wild ? fuzz::any_double(in, -1e3, 1e3) : in.ConsumeFloatingPointInRange<double>(-10.0, 10.0);
}

Vector3 vector3(FuzzedDataProvider& in, bool wild) {
  return {coordinate(in, wild), coordinate(in, wild), coordinate(in, wild)};
}

void check_pose(const Pose& pose) {
  for (double v : pose.rvec) if (!std::isfinite(v)) std::abort();
  for (double v : pose.tvec) if (!std::isfinite(v)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool wild = in.ConsumeBool();
  const bool planar = in.ConsumeBool();
  const auto n_object = in.ConsumeIntegralInRange<std::size_t>(0, 24);
  const auto n_image = in.ConsumeBool() ? n_object : in.ConsumeIntegralInRange<std::size_t>(0, 24);

  // Camera matrix: usually 3x3 with a plausible focal length, sometimes
  // ragged or wild.
  Vec<Vec<double>> camera_matrix;
  const bool ragged = in.ConsumeIntegralInRange<int>(0, 7) == 0;
  const std::size_t rows = ragged ? in.ConsumeIntegralInRange<std::size_t>(0, 4) : 3;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t cols = ragged ? in.ConsumeIntegralInRange<std::size_t>(0, 4) : 3;
    Vec<double> row(cols, 0.0);
    for (double& v : row) v = wild ? fuzz::any_double(in, -1e4, 1e4) : in.ConsumeFloatingPointInRange<double>(-1e3, 1e3);
    camera_matrix.push_back(std::move(row));
  }
  std::optional<Vec<double>> dist;
  if (in.ConsumeBool()) {
    dist.emplace(in.ConsumeIntegralInRange<std::size_t>(0, 15));
    for (double& d : *dist) d = wild ? fuzz::any_double(in, -1.0, 1.0) : in.ConsumeFloatingPointInRange<double>(-0.5, 0.5);
  }
  std::optional<Vector3> rvec, tvec;
  if (in.ConsumeBool()) rvec = vector3(in, wild);
  if (in.ConsumeBool()) tvec = vector3(in, wild);

  Vec<Point3> object(n_object);
  Vec<Point2> image(n_image);
  for (Point3& p : object) p = {coordinate(in, wild), coordinate(in, wild), planar ? 0.0 : coordinate(in, wild)};
  for (Point2& p : image) p = {coordinate(in, wild) * 50.0, coordinate(in, wild) * 50.0};

  std::optional<std::span<const double>> dist_span;
  if (dist) dist_span = std::span<const double>(*dist);
  const auto pose = solve_pnp_checked(object, image, camera_matrix, dist_span, rvec, tvec);
  if (pose.ok() && *pose) check_pose(**pose);
  if (fuzz::verbose()) std::fprintf(stderr, "%zu/%zu points: %s\n", object.size(), image.size(),
                                    !pose.ok() ? pose.error().message.c_str() : *pose ? "pose" : "no pose");

  RansacPnpSettings settings;
  settings.iterations = in.ConsumeIntegralInRange<std::uint64_t>(0, 40);
  settings.reprojection_error = fuzz::any_double(in, 0.0, 20.0);
  settings.confidence = fuzz::any_double(in, 0.0, 1.0);
  settings.seed = in.ConsumeIntegral<std::uint64_t>();
  if (validate_solve_pnp_ransac_arguments(object, image, settings)) return 0;
  const auto camera = parse_camera_model(camera_matrix, dist_span);
  if (!camera.ok()) return 0;
  const auto robust = solve_pnp_ransac(object, image, *camera, settings);
  if (fuzz::verbose()) std::fprintf(stderr, "ransac: %zu inliers\n", robust ? robust->inliers.size() : 0);
  if (robust) {
    check_pose(robust->pose);
    for (std::size_t i = 0; i < robust->inliers.size(); ++i) {
      if (robust->inliers[i] >= object.size() || (i > 0 && robust->inliers[i - 1] >= robust->inliers[i])) std::abort();
    }
  }
  return 0;
}
