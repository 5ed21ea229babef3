// Conversions shared by the pose bindings: camera arguments, RANSAC settings
// and pose results.
#pragma once

#include <optional>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "pose/ransac_pnp.hpp"
#include "python/py_ref.hpp"
#include "runtime/allocator.hpp"

namespace morvelin::py {

// `camera_matrix` and the optional `dist_coeffs`, converted but not yet
// checked (the checks come at a fixed point of each function's order).
struct CameraArguments {
  Vec<Vec<double>> matrix;
  std::optional<Vec<double>> dist_coeffs;

  std::optional<std::span<const double>> dist() const {
    if (!dist_coeffs) return std::nullopt;
    return std::span<const double>(*dist_coeffs);
  }
  Result<CameraModel> parse() const { return parse_camera_model(matrix, dist()); }
};

bool to_camera_arguments(PyObject* camera_matrix, PyObject* dist_coeffs, CameraArguments& out);

// An optional 3-vector argument (None or absent gives nothing).
bool to_optional_vector(PyObject* obj, const char* name, std::optional<Vector3>& out);

// `iterations`, `reprojection_error`, `confidence`, `seed` (each may be absent).
bool to_ransac_settings(PyObject* const* argv, RansacPnpSettings& out);

// (rvec, tvec) as two lists of three floats.
PyObject* pose_tuple(const Pose& pose);

}  // namespace morvelin::py
