// project_points, rodrigues, solve_pnp and solve_pnp_ransac.
#include <optional>

#include "pose/camera_model.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/ransac_pnp.hpp"
#include "pose/rotation_vector.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/pose_results.hpp"

namespace morvelin::py {
namespace {

PyObject* project_points_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "project_points", {"object_points", "rvec", "tvec", "camera_matrix", "dist_coeffs"}, 4};
  PyObject* argv[5];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Point3> points;
  Pose pose;
  CameraArguments camera_args;
  if (!to_rows<3>(argv[0], "object_points", points) || !to_vector<3>(argv[1], "rvec", pose.rvec) ||
      !to_vector<3>(argv[2], "tvec", pose.tvec) || !to_camera_arguments(argv[3], argv[4], camera_args)) {
    return nullptr;
  }
  const Result<CameraModel> camera = camera_args.parse();
  if (!camera) return raise(camera.error());
  const Vec<Point2> projected = project_points(points, pose, *camera);
  return list_of(std::span<const Point2>(projected), [](const Point2& p) { return float_list(p); });
}

PyObject* rodrigues_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"rodrigues", {"src"}, 1};
  PyObject* argv[1];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Vec<double>> rows;
  if (!to_rotation_rows(argv[0], "src", rows)) return nullptr;
  const Result<RodriguesResult> result = rodrigues(rows);
  if (!result) return raise(result.error());
  if (result->is_matrix) {
    using Row = std::array<double, 3>;
    return list_of(std::span<const Row>(result->matrix), [](const Row& row) { return float_list(row); });
  }
  return Py_BuildValue("[[d][d][d]]", result->vector[0], result->vector[1], result->vector[2]);
}

PyObject* solve_pnp_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "solve_pnp", {"object_points", "image_points", "camera_matrix", "dist_coeffs", "rvec", "tvec"}, 3};
  PyObject* argv[6];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Point3> object_points;
  Vec<Point2> image_points;
  CameraArguments camera_args;
  std::optional<Vector3> rvec, tvec;
  if (!to_rows<3>(argv[0], "object_points", object_points) || !to_rows<2>(argv[1], "image_points", image_points) ||
      !to_camera_arguments(argv[2], argv[3], camera_args) || !to_optional_vector(argv[4], "rvec", rvec) ||
      !to_optional_vector(argv[5], "tvec", tvec)) {
    return nullptr;
  }
  const Result<std::optional<Pose>> pose =
      solve_pnp_checked(object_points, image_points, camera_args.matrix, camera_args.dist(), rvec, tvec);
  if (!pose) return raise(pose.error());
  if (!*pose) Py_RETURN_NONE;
  return pose_tuple(**pose);
}

PyObject* solve_pnp_ransac_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"solve_pnp_ransac",
                                   {"object_points", "image_points", "camera_matrix", "dist_coeffs", "iterations",
                                    "reprojection_error", "confidence", "seed"},
                                   3};
  PyObject* argv[8];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Point3> object_points;
  Vec<Point2> image_points;
  CameraArguments camera_args;
  RansacPnpSettings settings;
  if (!to_rows<3>(argv[0], "object_points", object_points) || !to_rows<2>(argv[1], "image_points", image_points) ||
      !to_camera_arguments(argv[2], argv[3], camera_args) || !to_ransac_settings(argv + 4, settings)) {
    return nullptr;
  }
  if (auto error = validate_solve_pnp_ransac_arguments(object_points, image_points, settings)) return raise(*error);
  const Result<CameraModel> camera = camera_args.parse();
  if (!camera) return raise(camera.error());
  std::optional<RansacPnpResult> result;
  {
    GilRelease unlocked;
    result = solve_pnp_ransac(object_points, image_points, *camera, settings);
  }
  if (!result) Py_RETURN_NONE;
  Ref pose = Ref::steal(pose_tuple(result->pose));
  Ref inliers = Ref::steal(index_list(result->inliers));
  if (!pose || !inliers) return nullptr;
  return Py_BuildValue("(OOOd)", PyTuple_GetItem(pose.get(), 0), PyTuple_GetItem(pose.get(), 1), inliers.get(),
                       result->reprojection_rmse);
}

}  // namespace

const PyMethodDef kSolvePnp = {
    "solve_pnp", as_function<solve_pnp_impl>(), kArgumentsFlags,
    "solve_pnp(object_points, image_points, camera_matrix, dist_coeffs=None, rvec=None, tvec=None)\n--\n\n"
    "Estimate the pose of a set of 3D-2D correspondences (cv::solvePnP,\n"
    "SOLVEPNP_ITERATIVE).\n\n"
    "`object_points` are Nx3 in board/world coordinates, `image_points` Nx2 in\n"
    "pixels. Returns `(rvec, tvec)` as 3-element lists, or None if the solve fails.\n"
    "Pass `rvec`/`tvec` to seed the optimisation (OpenCV's `useExtrinsicGuess`)."};

const PyMethodDef kSolvePnpRansac = {
    "solve_pnp_ransac", as_function<solve_pnp_ransac_impl>(), kArgumentsFlags,
    "solve_pnp_ransac(object_points, image_points, camera_matrix, dist_coeffs=None, iterations=100, "
    "reprojection_error=3.0, confidence=0.99, seed=0)\n--\n\n"
    "Robustly estimate pose while rejecting bad 3D-2D correspondences.\n\n"
    "Returns `(rvec, tvec, inlier_indices, reprojection_rmse)`, or None when no\n"
    "consensus pose can be found. This Stage-1 solver samples five points for a\n"
    "planar object and six for general 3D geometry, then refines the best pose on\n"
    "all inliers. It therefore requires at least five correspondences and is not\n"
    "intended for a single four-corner marker."};

const PyMethodDef kProjectPoints = {
    "project_points", as_function<project_points_impl>(), kArgumentsFlags,
    "project_points(object_points, rvec, tvec, camera_matrix, dist_coeffs=None)\n--\n\n"
    "Project 3D object points into the image (cv::projectPoints)."};

const PyMethodDef kRodrigues = {
    "rodrigues", as_function<rodrigues_impl>(), kArgumentsFlags,
    "rodrigues(src)\n--\n\n"
    "Convert a rotation vector to a 3x3 rotation matrix, or back (cv::Rodrigues).\n\n"
    "`src` is a rotation vector (three numbers, flat or as a 3x1 / 1x3 nesting)\n"
    "or a 3x3 matrix; a vector gives the matrix as 3 rows, a matrix gives the\n"
    "vector as 3x1 rows."};

}  // namespace morvelin::py
