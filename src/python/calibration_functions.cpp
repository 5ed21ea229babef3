// undistort_points, undistort_image, optimal_new_camera_matrix and
// estimate_marker_poses.
#include <cmath>
#include <cstring>
#include <optional>

#include "calibration/marker_pose.hpp"
#include "calibration/undistortion.hpp"
#include "pose/camera_model.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/pose_results.hpp"

namespace morvelin::py {
namespace {

bool finite_camera(const CameraModel& c) {
  bool ok = c.fx > 0.0 && c.fy > 0.0 && std::isfinite(c.fx) && std::isfinite(c.fy) && std::isfinite(c.cx) &&
            std::isfinite(c.cy);
  for (double d : c.dist) ok = ok && std::isfinite(d);
  return ok;
}

// The camera of `camera_matrix` and `dist_coeffs`, which must be finite with
// positive focal lengths (the image functions would otherwise fill their
// output with nothing).
std::optional<CameraModel> checked_camera(const CameraArguments& args) {
  Result<CameraModel> camera = args.parse();
  if (!camera) return raise(camera.error()), std::nullopt;
  if (!finite_camera(*camera)) {
    raise_value_error("camera_matrix must hold finite focal lengths greater than zero and a finite principal point, "
                      "and dist_coeffs finite values");
    return std::nullopt;
  }
  return *camera;
}

// The optional new_camera_matrix: a camera matrix without distortion.
bool to_new_camera(PyObject* obj, std::optional<CameraModel>& out, bool checked) {
  out.reset();
  if (absent(obj)) return true;
  Vec<Vec<double>> rows;
  if (!to_ragged_rows(obj, "new_camera_matrix", rows)) return false;
  Result<CameraModel> camera = parse_camera_model(rows, std::nullopt);
  if (!camera) {
    raise(PyExc_ValueError, "new_camera_matrix must be 3x3");
    return false;
  }
  if (checked && !finite_camera(*camera)) {
    raise(PyExc_ValueError,
          "new_camera_matrix must hold finite focal lengths greater than zero and a finite principal point");
    return false;
  }
  out = *camera;
  return true;
}

PyObject* undistort_points_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "undistort_points", {"points", "camera_matrix", "dist_coeffs", "new_camera_matrix"}, 3};
  PyObject* argv[4];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Point2> points;
  CameraArguments camera_args;
  std::optional<CameraModel> new_camera;
  if (!to_points<2>(argv[0], "points", points) || !to_camera_arguments(argv[1], argv[2], camera_args) ||
      !to_new_camera(argv[3], new_camera, false)) {
    return nullptr;
  }
  const Result<CameraModel> camera = camera_args.parse();
  if (!camera) return raise(camera.error());
  Vec<Point2> out;
  {
    GilRelease unlocked;
    out = undistort_points(points, *camera, new_camera);
  }
  return list_of(std::span<const Point2>(out), [](const Point2& p) { return float_list(p); });
}

PyObject* undistort_image_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "undistort_image", {"image", "camera_matrix", "dist_coeffs", "new_camera_matrix"}, 3};
  PyObject* argv[4];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  CameraArguments camera_args;
  std::optional<CameraModel> new_camera;
  if (!check_image_type(argv[0], "image") || !to_camera_arguments(argv[1], argv[2], camera_args) ||
      !to_new_camera(argv[3], new_camera, true)) {
    return nullptr;
  }
  const std::optional<CameraModel> camera = checked_camera(camera_args);
  if (!camera) return nullptr;
  CameraModel target = new_camera.value_or(*camera);
  target.dist = {};
  ChannelImage image;
  if (!to_channel_image(argv[0], "image", image)) return nullptr;
  Ref ndim = Ref::steal(PyObject_GetAttrString(argv[0], "ndim"));
  if (!ndim) return nullptr;
  const bool two_dimensional = PyLong_AsLong(ndim.get()) == 2;
  return new_uint8_array(image.height, image.width, two_dimensional ? 0 : image.channels,
                         [&](std::span<std::uint8_t> out) {
                           // The array is new and not yet shared, so it is written without the lock.
                           GilRelease unlocked;
                           undistort_image(image, *camera, target, out);
                         });
}

PyObject* optimal_new_camera_matrix_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "optimal_new_camera_matrix", {"camera_matrix", "dist_coeffs", "image_size", "alpha"}, 4};
  PyObject* argv[4];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  CameraArguments camera_args;
  Vec<std::int64_t> size;
  double alpha = 0.0;
  if (!to_camera_arguments(argv[0], argv[1], camera_args) || !to_int64s(argv[2], "image_size", size) ||
      !to_double(argv[3], "alpha", alpha)) {
    return nullptr;
  }
  const std::optional<CameraModel> camera = checked_camera(camera_args);
  if (!camera) return nullptr;
  if (size.size() != 2 || size[0] <= 0 || size[1] <= 0) {
    return raise_value_error("image_size must be two integers greater than zero (width, height)");
  }
  if (!std::isfinite(alpha)) return raise_value_error("alpha must be finite");
  const NewCamera found = optimal_new_camera(*camera, size[0], size[1], alpha);
  const CameraModel& c = found.camera;
  if (!finite_camera(c)) return raise_value_error("the distortion gives no finite undistorted view of the image");
  return Py_BuildValue("([[ddd][ddd][ddd]](LLLL))", c.fx, 0.0, c.cx, 0.0, c.fy, c.cy, 0.0, 0.0, 1.0,
                       static_cast<long long>(found.valid[0]), static_cast<long long>(found.valid[1]),
                       static_cast<long long>(found.valid[2]), static_cast<long long>(found.valid[3]));
}

// Each marker's four corners: 4 x 2, or 1 x 4 x 2 as some detectors give
// them.
bool to_marker_corners(PyObject* obj, const char* name, Vec<MarkerCorners2>& out) {
  if (!check_sequence(obj, name)) return false;
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) return prefix_argument_error(name);
  out.clear();
  Vec<Point2> rows;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_argument_error(name);
    if (PySequence_Check(item.get()) && !PyUnicode_Check(item.get())) {
      const Py_ssize_t n = PySequence_Size(item.get());
      if (n < 0) PyErr_Clear();  // reported by the conversion below
      if (n == 1) {
        item = Ref::steal(PySequence_GetItem(item.get(), 0));
        if (!item) return prefix_argument_error(name);
      }
    }
    if (!to_rows<2>(item.get(), name, rows)) return false;
    if (rows.size() != 4) {
      raise_formatted(PyExc_TypeError, "expected a sequence of length 4 (got %zu)", rows.size());
      return prefix_argument_error(name);
    }
    out.push_back({rows[0], rows[1], rows[2], rows[3]});
  }
  return true;
}

PyObject* estimate_marker_poses_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "estimate_marker_poses", {"corners", "marker_length", "camera_matrix", "dist_coeffs"}, 3};
  PyObject* argv[4];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<MarkerCorners2> corners;
  double length = 0.0;
  CameraArguments camera_args;
  if (!to_marker_corners(argv[0], "corners", corners) || !to_double(argv[1], "marker_length", length) ||
      !to_camera_arguments(argv[2], argv[3], camera_args)) {
    return nullptr;
  }
  if (!(length > 0.0) || !std::isfinite(length)) {
    return raise_value_error("marker_length must be finite and greater than zero");
  }
  const Result<CameraModel> camera = camera_args.parse();
  if (!camera) return raise(camera.error());
  Vec<std::optional<Pose>> poses;
  {
    GilRelease unlocked;
    poses = estimate_marker_poses(corners, length, *camera);
  }
  return list_of(std::span<const std::optional<Pose>>(poses), [](const std::optional<Pose>& pose) {
    return pose ? pose_tuple(*pose) : Py_NewRef(Py_None);
  });
}

}  // namespace

const PyMethodDef kUndistortPoints = {
    "undistort_points", as_function<undistort_points_impl>(), kArgumentsFlags,
    "undistort_points(points, camera_matrix, dist_coeffs, new_camera_matrix=None)\n--\n\n"
    "Remove lens distortion from pixel positions (cv::undistortPoints).\n\n"
    "`points` are Nx2 (or Nx1x2) pixels. Returns normalised image coordinates\n"
    "(x/z, y/z of the undistorted rays), or pixels of `new_camera_matrix` when it\n"
    "is given, as a list of [x, y]. The distortion is inverted by Newton's method\n"
    "to full double precision (not a fixed number of iterations)."};

const PyMethodDef kUndistortImage = {
    "undistort_image", as_function<undistort_image_impl>(), kArgumentsFlags,
    "undistort_image(image, camera_matrix, dist_coeffs, new_camera_matrix=None)\n--\n\n"
    "Remove lens distortion from an image (cv::undistort).\n\n"
    "`image` is HxW gray or HxWx3 BGR uint8. Returns a new image of the same shape\n"
    "as `new_camera_matrix` (default: `camera_matrix`) would see it without\n"
    "distortion: bilinear interpolation, 0 where no input pixel lies behind."};

const PyMethodDef kOptimalNewCameraMatrix = {
    "optimal_new_camera_matrix", as_function<optimal_new_camera_matrix_impl>(), kArgumentsFlags,
    "optimal_new_camera_matrix(camera_matrix, dist_coeffs, image_size, alpha)\n--\n\n"
    "A camera matrix for undistorted images (cv::getOptimalNewCameraMatrix).\n\n"
    "`alpha` 0 shows only pixels with input behind them, 1 keeps every input pixel\n"
    "in view. Returns `(camera_matrix, (x, y, width, height))`, the second the\n"
    "rectangle of output pixels with input behind them."};

const PyMethodDef kEstimateMarkerPoses = {
    "estimate_marker_poses", as_function<estimate_marker_poses_impl>(), kArgumentsFlags,
    "estimate_marker_poses(corners, marker_length, camera_matrix, dist_coeffs=None)\n--\n\n"
    "Pose of each square marker of side `marker_length` from its four corners, as\n"
    "`detect_markers` returns them (cv::solvePnP with SOLVEPNP_IPPE_SQUARE).\n\n"
    "The marker frame has its origin at the marker centre, x to the right, y up as\n"
    "printed and z out of the marker: corners (-L/2, L/2, 0), (L/2, L/2, 0),\n"
    "(L/2, -L/2, 0), (-L/2, -L/2, 0). Of the two poses a square's image admits\n"
    "(closed form, no iterations) the one with the smaller reprojection error is\n"
    "returned; seed `solve_pnp` with it to refine it. Returns one `(rvec, tvec)`\n"
    "per marker, or None for a marker without a pose."};

}  // namespace morvelin::py
