// The class CameraCalibration, calibrate_camera and calibrate_camera_charuco.
#include "python/calibration_types.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "calibration/calibrate_camera.hpp"
#include "calibration/camera_file.hpp"
#include "calibration/charuco_calibration.hpp"
#include "python/arguments.hpp"
#include "python/charuco_types.hpp"
#include "python/class_type.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/object_state.hpp"
#include "python/pose_results.hpp"

namespace morvelin::py {
namespace {

// What a CameraCalibration holds: the result, the image size it was made
// for and the input index of each view it used.
struct CalibrationRecord {
  CalibrationResult result;
  std::int64_t width = 0;
  std::int64_t height = 0;
  Vec<std::size_t> view_indices;
};

PyTypeObject* g_type = nullptr;
PyObject* g_restore = nullptr;  // the module function _camera_calibration

// Records are immutable after construction.
const CalibrationRecord& record_of(PyObject* self) { return value_of<CalibrationRecord>(self); }

PyObject* wrap(CalibrationRecord record) {
  return new_instance(g_type, std::make_unique<CalibrationRecord>(std::move(record)));
}

// --- properties ---------------------------------------------------------------

PyObject* vector_list(std::span<const Vector3> vectors) {
  return list_of(vectors, [](const Vector3& v) { return float_list(v); });
}

PyObject* get_rms(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).result.rms); }

PyObject* get_camera_matrix(PyObject* self, void*) {
  const CameraModel& c = record_of(self).result.camera;
  return Py_BuildValue("[[ddd][ddd][ddd]]", c.fx, 0.0, c.cx, 0.0, c.fy, c.cy, 0.0, 0.0, 1.0);
}

PyObject* get_dist_coeffs(PyObject* self, void*) {
  const CalibrationResult& r = record_of(self).result;
  return guarded([&] {
    return float_list(std::span<const double>(r.camera.dist).first(static_cast<std::size_t>(r.distortion_terms)));
  });
}

template <Vector3 Pose::*kPart>
PyObject* get_pose_parts(PyObject* self, void*) {
  return guarded([&] {
    Vec<Vector3> parts;
    for (const Pose& p : record_of(self).result.poses) parts.push_back(p.*kPart);
    return vector_list(parts);
  });
}

PyObject* get_per_view_errors(PyObject* self, void*) {
  return guarded([&] { return float_list(record_of(self).result.per_view_errors); });
}

PyObject* get_std_deviations(PyObject* self, void*) {
  return guarded([&] { return float_list(record_of(self).result.std_deviations); });
}

PyObject* get_image_size(PyObject* self, void*) {
  const CalibrationRecord& r = record_of(self);
  return Py_BuildValue("(LL)", static_cast<long long>(r.width), static_cast<long long>(r.height));
}

PyObject* get_outliers(PyObject* self, void*) {
  return guarded([&] {
    return list_of(std::span<const Vec<std::size_t>>(record_of(self).result.outliers),
                   [](const Vec<std::size_t>& v) { return index_list(v); });
  });
}

PyObject* get_view_indices(PyObject* self, void*) {
  return guarded([&] { return index_list(record_of(self).view_indices); });
}

PyObject* get_converged(PyObject* self, void*) { return PyBool_FromLong(record_of(self).result.converged); }

PyGetSetDef g_getset[] = {
    {"rms", get_rms, nullptr, "Reprojection error (RMS, pixels) over all points used.", nullptr},
    {"camera_matrix", get_camera_matrix, nullptr, "3x3 camera matrix [[fx, 0, cx], [0, fy, cy], [0, 0, 1]].",
     nullptr},
    {"dist_coeffs", get_dist_coeffs, nullptr,
     "Distortion coefficients (k1, k2, p1, p2, k3, k4, k5, k6, s1, s2, s3, s4), the first distortion_terms.",
     nullptr},
    {"rvecs", get_pose_parts<&Pose::rvec>, nullptr, "Rotation vector of each view used (target -> camera).",
     nullptr},
    {"tvecs", get_pose_parts<&Pose::tvec>, nullptr, "Translation of each view used (target -> camera).", nullptr},
    {"per_view_errors", get_per_view_errors, nullptr, "Reprojection error (RMS, pixels) of each view used.",
     nullptr},
    {"std_deviations", get_std_deviations, nullptr,
     "Standard deviations of fx, fy, cx, cy and the distortion coefficients (0 for fixed ones).", nullptr},
    {"image_size", get_image_size, nullptr, "(width, height) of the images.", nullptr},
    {"outliers", get_outliers, nullptr, "Per view used, the indices of the points rejected as outliers.", nullptr},
    {"view_indices", get_view_indices, nullptr, "Input index of each view used.", nullptr},
    {"converged", get_converged, nullptr, "False when the last fit stopped at max_iterations.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* calibration_repr(PyObject* self) {
  const CalibrationRecord& r = record_of(self);
  Ref rms = Ref::steal(get_rms(self, nullptr));
  if (!rms) return nullptr;
  return PyUnicode_FromFormat("CameraCalibration(rms=%R, image_size=(%lld, %lld), views=%zu, distortion_terms=%d)",
                              rms.get(), static_cast<long long>(r.width), static_cast<long long>(r.height),
                              r.result.poses.size(), r.result.distortion_terms);
}

// --- pickling -----------------------------------------------------------------

PyObject* (*const kStateFields[])(PyObject*, void*) = {
    get_rms,    get_camera_matrix, get_dist_coeffs, get_pose_parts<&Pose::rvec>, get_pose_parts<&Pose::tvec>,
    get_per_view_errors, get_std_deviations, get_image_size, get_outliers, get_view_indices, get_converged};
constexpr std::size_t kStateSize = std::size(kStateFields);

// The properties in the order of _camera_calibration's arguments.
PyObject* calibration_state(PyObject* self) {
  Ref state = Ref::steal(PyTuple_New(kStateSize));
  if (!state) return nullptr;
  for (std::size_t i = 0; i < kStateSize; ++i) {
    PyObject* field = kStateFields[i](self, nullptr);
    if (!field) return nullptr;
    PyTuple_SetItem(state.get(), static_cast<Py_ssize_t>(i), field);
  }
  return state.release();
}

PyObject* calibration_reduce(PyObject* self, PyObject*) {
  if (!g_restore) {
    raise(PyExc_RuntimeError, "CameraCalibration cannot be pickled before the module is initialised");
    return nullptr;
  }
  return reduce_to(g_restore, Ref::steal(calibration_state(self)).get());
}

PyObject* calibration_richcompare(PyObject* a, PyObject* b, int op) {
  return compare_states(a, b, op, calibration_state);
}
Py_hash_t calibration_hash(PyObject* self) { return hash_state(self, calibration_state); }

bool set_state_error() {
  raise(PyExc_ValueError, "inconsistent CameraCalibration state");
  return false;
}

// The fields of a state tuple, checked for consistency.
bool record_from_state(PyObject* const* argv, CalibrationRecord& out) {
  CalibrationResult& r = out.result;
  CameraArguments camera;
  Vec<double> dist, image_size_values;
  Vec<Vector3> rvecs, tvecs;
  Vec<std::int64_t> size, indices;
  if (!to_double(argv[0], "rms", r.rms) || !to_camera_arguments(argv[1], argv[2], camera) ||
      !to_rows<3>(argv[3], "rvecs", rvecs) || !to_rows<3>(argv[4], "tvecs", tvecs) ||
      !to_doubles(argv[5], "per_view_errors", r.per_view_errors) ||
      !to_doubles(argv[6], "std_deviations", r.std_deviations) || !to_int64s(argv[7], "image_size", size) ||
      !check_sequence(argv[8], "outliers") || !to_int64s(argv[9], "view_indices", indices) ||
      !to_bool(argv[10], "converged", r.converged)) {
    return false;
  }
  const Result<CameraModel> model = camera.parse();
  const std::size_t terms = camera.dist_coeffs ? camera.dist_coeffs->size() : 0;
  const std::size_t views = rvecs.size();
  if (!model || (terms != 0 && terms != 4 && terms != 5 && terms != 8 && terms != 12) || size.size() != 2 ||
      size[0] <= 0 || size[1] <= 0 || tvecs.size() != views || r.per_view_errors.size() != views ||
      indices.size() != views || r.std_deviations.size() != 4 + terms ||
      PySequence_Size(argv[8]) != static_cast<Py_ssize_t>(views)) {
    return set_state_error();
  }
  r.camera = *model;
  r.distortion_terms = static_cast<int>(terms);
  out.width = size[0];
  out.height = size[1];
  for (std::size_t i = 0; i < views; ++i) r.poses.push_back({rvecs[i], tvecs[i]});
  for (std::int64_t v : indices) {
    if (v < 0) return set_state_error();
    out.view_indices.push_back(static_cast<std::size_t>(v));
  }
  r.outliers.resize(views);
  for (std::size_t i = 0; i < views; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(argv[8], static_cast<Py_ssize_t>(i)));
    Vec<std::int64_t> points;
    if (!item || !to_int64s(item.get(), "outliers", points)) return false;
    for (std::int64_t k : points) {
      if (k < 0) return set_state_error();
      r.outliers[i].push_back(static_cast<std::size_t>(k));
    }
  }
  return true;
}

PyObject* restore_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"_camera_calibration",
                                   {"rms", "camera_matrix", "dist_coeffs", "rvecs", "tvecs", "per_view_errors",
                                    "std_deviations", "image_size", "outliers", "view_indices", "converged"},
                                   kStateSize};
  PyObject* argv[kStateSize];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  CalibrationRecord record;
  if (!record_from_state(argv, record)) return nullptr;
  return wrap(std::move(record));
}

// --- save -------------------------------------------------------------------------

bool has_yaml_suffix(const std::string& path) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string suffix = path.substr(dot);
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".yaml" || suffix == ".yml";
}

PyObject* save_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"save", {"path"}, 1};
  PyObject* argv[1];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(argv[0], &encoded)) return prefix_argument_error("path"), nullptr;
  Ref path_bytes = Ref::steal(encoded);
  const std::string path(PyBytes_AsString(path_bytes.get()), static_cast<std::size_t>(PyBytes_Size(path_bytes.get())));
  const CalibrationRecord& r = record_of(self);
  const CameraFile file{r.result, r.width, r.height};
  const std::string text = has_yaml_suffix(path) ? camera_file_yaml(file) : camera_file_json(file);
  std::FILE* stream = std::fopen(path.c_str(), "wb");
  if (!stream) return raise_os_error(argv[0]);
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  const bool closed = std::fclose(stream) == 0;
  if (!written || !closed) return raise_os_error(argv[0]);
  Py_RETURN_NONE;
}

constexpr const char* kClassDoc =
    "The result of `calibrate_camera` or `calibrate_camera_charuco`: intrinsics,\n"
    "the pose of each view used and how well they fit. Immutable and picklable.\n\n"
    "`std_deviations` are the standard deviations of fx, fy, cx, cy and the\n"
    "distortion coefficients, from the final Jacobian and the residual variance\n"
    "(0 for parameters held fixed). `save(path)` writes a camera file that\n"
    "`load_camera` and the command line's `--camera` option read: JSON, or\n"
    "OpenCV-style YAML when the name ends in .yaml or .yml.";

// --- calibration functions ------------------------------------------------------

// The keyword options shared by both functions: camera_matrix,
// dist_coeffs, distortion_terms, fix_principal_point, fix_aspect_ratio,
// zero_tangent_dist, reject_outliers, max_iterations.
struct CalibrationOptions {
  std::optional<Vec<Vec<double>>> camera_matrix;
  std::optional<Vec<double>> dist_coeffs;
  CalibrationSettings settings;
};

constexpr std::size_t kOptionCount = 8;
#define MORVELIN_CALIBRATION_OPTIONS                                                                           \
  "camera_matrix", "dist_coeffs", "distortion_terms", "fix_principal_point", "fix_aspect_ratio", "zero_tangent_dist", \
      "reject_outliers", "max_iterations"

bool to_calibration_options(PyObject* const* argv, CalibrationOptions& out) {
  if (!absent(argv[0]) && !to_ragged_rows(argv[0], "camera_matrix", out.camera_matrix.emplace())) return false;
  if (!absent(argv[1]) && !to_doubles(argv[1], "dist_coeffs", out.dist_coeffs.emplace())) return false;
  std::int64_t terms = out.settings.distortion_terms;
  std::uint64_t iterations = out.settings.max_iterations;
  CalibrationSettings& s = out.settings;
  if ((argv[2] && !to_int64(argv[2], "distortion_terms", terms)) ||
      (argv[3] && !to_bool(argv[3], "fix_principal_point", s.fix_principal_point)) ||
      (argv[4] && !to_bool(argv[4], "fix_aspect_ratio", s.fix_aspect_ratio)) ||
      (argv[5] && !to_bool(argv[5], "zero_tangent_dist", s.zero_tangent_dist)) ||
      (argv[6] && !to_bool(argv[6], "reject_outliers", s.reject_outliers)) ||
      (argv[7] && !to_uint64(argv[7], "max_iterations", iterations))) {
    return false;
  }
  // Out-of-range values keep failing the range checks after narrowing.
  s.distortion_terms = terms < 0 || terms > 12 ? -1 : static_cast<int>(terms);
  s.max_iterations = static_cast<unsigned>(std::min<std::uint64_t>(iterations, 0xffffffffu));
  return true;
}

bool to_image_size(PyObject* obj, std::int64_t& width, std::int64_t& height) {
  Vec<std::int64_t> size;
  if (!to_int64s(obj, "image_size", size)) return false;
  if (size.size() != 2) {
    raise(PyExc_ValueError, "image_size must be two integers greater than zero (width, height)");
    return false;
  }
  width = size[0];
  height = size[1];
  return true;
}

// Runs the calibration with the interpreter lock released.
PyObject* calibrate(std::span<const CalibrationView> views, std::int64_t width, std::int64_t height,
                    const CalibrationOptions& options, Vec<std::size_t> view_indices) {
  std::optional<std::span<const Vec<double>>> matrix;
  if (options.camera_matrix) matrix = std::span<const Vec<double>>(*options.camera_matrix);
  std::optional<std::span<const double>> dist;
  if (options.dist_coeffs) dist = std::span<const double>(*options.dist_coeffs);
  Result<CalibrationResult> result = [&] {
    GilRelease unlocked;
    return calibrate_camera(views, width, height, matrix, dist, options.settings);
  }();
  if (!result) return raise(result.error());
  return wrap({std::move(result).value(), width, height, std::move(view_indices)});
}

PyObject* calibrate_camera_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "calibrate_camera", {"object_points", "image_points", "image_size", MORVELIN_CALIBRATION_OPTIONS}, 3, 3};
  PyObject* argv[3 + kOptionCount];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Vec<Point3>> objects;
  Vec<Vec<Point2>> images;
  std::int64_t width = 0, height = 0;
  CalibrationOptions options;
  if (!to_point_lists<3>(argv[0], "object_points", objects) || !to_point_lists<2>(argv[1], "image_points", images) ||
      !to_image_size(argv[2], width, height) || !to_calibration_options(argv + 3, options)) {
    return nullptr;
  }
  if (objects.size() != images.size()) {
    return raise_value_error("object_points and image_points must hold the same number of views");
  }
  Vec<CalibrationView> views(objects.size());
  Vec<std::size_t> indices(objects.size());
  for (std::size_t i = 0; i < views.size(); ++i) {
    views[i] = {objects[i], images[i]};
    indices[i] = i;
  }
  return calibrate(views, width, height, options, std::move(indices));
}

PyObject* calibrate_camera_charuco_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"calibrate_camera_charuco",
                                   {"charuco_corners", "charuco_ids", "board", "image_size",
                                    MORVELIN_CALIBRATION_OPTIONS},
                                   4, 4};
  PyObject* argv[4 + kOptionCount];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Vec<Point2>> corners;
  Vec<Vec<std::int64_t>> ids;
  std::int64_t width = 0, height = 0;
  CalibrationOptions options;
  if (!to_point_lists<2>(argv[0], "charuco_corners", corners) || !check_sequence(argv[1], "charuco_ids")) {
    return nullptr;
  }
  const Py_ssize_t id_views = PySequence_Size(argv[1]);
  if (id_views < 0) return nullptr;
  for (Py_ssize_t i = 0; i < id_views; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(argv[1], i));
    if (!item) return prefix_argument_error("charuco_ids"), nullptr;
    ids.emplace_back();
    if (!to_int64s(item.get(), "charuco_ids", ids.back())) return nullptr;
  }
  if (!check_charuco_board(argv[2], "board") || !to_image_size(argv[3], width, height) ||
      !to_calibration_options(argv + 4, options)) {
    return nullptr;
  }
  Result<CharucoViews> selected =
      charuco_calibration_views(corners, ids, charuco_board_of(argv[2]).chessboard_corners());
  if (!selected) return raise(selected.error());
  Vec<CalibrationView> views;
  for (std::size_t k = 0; k < selected->view_indices.size(); ++k) {
    views.push_back({selected->object_points[k], corners[selected->view_indices[k]]});
  }
  return calibrate(views, width, height, options, selected->view_indices);
}

}  // namespace

PyObject* create_camera_calibration_type() {
  static PyMethodDef methods[] = {
      {"__reduce__", calibration_reduce, METH_NOARGS, nullptr},
      {"save", as_method<save_impl>(), kArgumentsFlags,
       "save($self, path)\n--\n\nWrite the intrinsics as a camera file: OpenCV-style YAML when `path`\n"
       "ends in .yaml or .yml, JSON otherwise."},
      {nullptr, nullptr, 0, nullptr},
  };
  // No tp_new: instances come from the calibration functions and pickle.
  return define_class<CalibrationRecord>(g_type, "morvelin.CameraCalibration",
                                         {{Py_tp_doc, const_cast<char*>(kClassDoc)},
                                          {Py_tp_repr, reinterpret_cast<void*>(calibration_repr)},
                                          {Py_tp_getset, g_getset},
                                          {Py_tp_methods, methods},
                                          {Py_tp_richcompare, reinterpret_cast<void*>(calibration_richcompare)},
                                          {Py_tp_hash, reinterpret_cast<void*>(calibration_hash)}},
                                         Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

void remember_calibration_restorer(PyObject* function) { g_restore = function; }

const PyMethodDef kRestoreCameraCalibration = {
    "_camera_calibration", as_function<restore_impl>(), kArgumentsFlags,
    "_camera_calibration(rms, camera_matrix, dist_coeffs, rvecs, tvecs, per_view_errors, std_deviations, "
    "image_size, outliers, view_indices, converged)\n--\n\n"
    "Rebuild a CameraCalibration from its fields (used by pickle and copy)."};

const PyMethodDef kCalibrateCamera = {
    "calibrate_camera", as_function<calibrate_camera_impl>(), kArgumentsFlags,
    "calibrate_camera(object_points, image_points, image_size, *, camera_matrix=None, dist_coeffs=None, "
    "distortion_terms=5, fix_principal_point=False, fix_aspect_ratio=False, zero_tangent_dist=False, "
    "reject_outliers=False, max_iterations=100)\n--\n\n"
    "Calibrate a camera from views of a known target (cv::calibrateCamera).\n\n"
    "`object_points` and `image_points` hold one point list per view (Nx3 target\n"
    "coordinates, Nx2 pixels; Nx1x3 / Nx1x2 arrays too), at least 4 points each.\n"
    "`image_size` is (width, height). Planar targets start from focal lengths\n"
    "estimated from the views' homographies (principal point at the image centre);\n"
    "non-planar targets need `camera_matrix`. `camera_matrix` and `dist_coeffs`\n"
    "are the starting guess. Levenberg-Marquardt then fits the intrinsics, the first\n"
    "`distortion_terms` (0, 4, 5, 8 or 12) coefficients of k1, k2, p1, p2, k3, k4,\n"
    "k5, k6, s1, s2, s3, s4 and every view's pose. `fix_principal_point` keeps cx,\n"
    "cy, `fix_aspect_ratio` keeps fx/fy (1 without `camera_matrix`) and\n"
    "`zero_tangent_dist` keeps p1 = p2 = 0.\n\n"
    "With `reject_outliers`, points whose residual exceeds 4 robust standard\n"
    "deviations (sigma = 1.4826 x the median absolute residual coordinate over all\n"
    "points; at least 0.1 px) are left out and the fit is repeated, until the set\n"
    "of rejected points stops changing (at most 10 rounds); every view keeps at\n"
    "least its 4 best points. Returns a `CameraCalibration`; raises ValueError on\n"
    "bad or degenerate input."};

const PyMethodDef kCalibrateCameraCharuco = {
    "calibrate_camera_charuco", as_function<calibrate_camera_charuco_impl>(), kArgumentsFlags,
    "calibrate_camera_charuco(charuco_corners, charuco_ids, board, image_size, *, camera_matrix=None, "
    "dist_coeffs=None, distortion_terms=5, fix_principal_point=False, fix_aspect_ratio=False, "
    "zero_tangent_dist=False, reject_outliers=False, max_iterations=100)\n--\n\n"
    "Calibrate a camera from ChArUco detections (cv::aruco::calibrateCameraCharuco).\n\n"
    "`charuco_corners` and `charuco_ids` hold one list per view, as\n"
    "`detect_charuco_board` returns them; each id selects its point of\n"
    "`board.chessboard_corners`. Views with fewer than 6 corners or with collinear\n"
    "corners are skipped: the result's `view_indices` names the views used. The\n"
    "options are those of `calibrate_camera`."};

}  // namespace morvelin::py
