#include "python/pose_results.hpp"

#include "python/arguments.hpp"

namespace morvelin::py {

bool to_camera_arguments(PyObject* camera_matrix, PyObject* dist_coeffs, CameraArguments& out) {
  if (!to_ragged_rows(camera_matrix, "camera_matrix", out.matrix)) return false;
  if (absent(dist_coeffs)) {
    out.dist_coeffs.reset();
    return true;
  }
  out.dist_coeffs.emplace();
  return to_doubles(dist_coeffs, "dist_coeffs", *out.dist_coeffs);
}

bool to_optional_vector(PyObject* obj, const char* name, std::optional<Vector3>& out) {
  if (absent(obj)) {
    out.reset();
    return true;
  }
  out.emplace();
  return to_vector<3>(obj, name, *out);
}

bool to_ransac_settings(PyObject* const* argv, RansacPnpSettings& out) {
  out = RansacPnpSettings{};
  return (!argv[0] || to_uint64(argv[0], "iterations", out.iterations)) &&
         (!argv[1] || to_double(argv[1], "reprojection_error", out.reprojection_error)) &&
         (!argv[2] || to_double(argv[2], "confidence", out.confidence)) &&
         (!argv[3] || to_uint64(argv[3], "seed", out.seed));
}

PyObject* pose_tuple(const Pose& pose) {
  Ref rvec = Ref::steal(float_list(pose.rvec));
  Ref tvec = Ref::steal(float_list(pose.tvec));
  if (!rvec || !tvec) return nullptr;
  return PyTuple_Pack(2, rvec.get(), tvec.get());
}

}  // namespace morvelin::py
