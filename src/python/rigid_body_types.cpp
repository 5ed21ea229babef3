#include "python/rigid_body_types.hpp"

#include <memory>
#include <new>

#include "pose/rigid_body.hpp"
#include "python/arguments.hpp"
#include "python/class_type.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/object_state.hpp"
#include "python/pose_results.hpp"

namespace morvelin::py {
namespace {

PyTypeObject* g_body_type = nullptr;
PyTypeObject* g_pose_type = nullptr;

// --- RigidBody ------------------------------------------------------------

PyObject* body_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"RigidBody",
                                   {"tag_size_m", "marker_ids", "rotations_marker_to_reference",
                                    "translations_marker_to_reference"},
                                   4};
  PyObject* argv[4];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  double tag_size = 0.0;
  Vec<std::int32_t> ids;
  Vec<Matrix3> rotations;
  Vec<std::array<double, 3>> translations;
  if (!to_double(argv[0], "tag_size_m", tag_size) || !to_int32s(argv[1], "marker_ids", ids) ||
      !to_matrices<3, 3>(argv[2], "rotations_marker_to_reference", rotations) ||
      !to_rows<3>(argv[3], "translations_marker_to_reference", translations)) {
    return nullptr;
  }
  Result<RigidBody> body = RigidBody::create(tag_size, ids, rotations, translations);
  if (!body) return raise(body.error());
  return new_instance(type, std::make_unique<RigidBody>(std::move(body).value()));
}

PyObject* body_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return body_new_impl(type, args, kwargs); });
}

PyObject* body_tag_size(PyObject* self, void*) { return PyFloat_FromDouble(value_of<RigidBody>(self).tag_size_m()); }

PyObject* body_marker_ids(PyObject* self, void*) {
  return guarded([&] { return int_list(value_of<RigidBody>(self).marker_ids()); });
}

PyObject* body_repr(PyObject* self) {
  const RigidBody& body = value_of<RigidBody>(self);
  Ref ids = Ref::steal(int_list(body.marker_ids()));
  Ref size = Ref::steal(PyFloat_FromDouble(body.tag_size_m()));
  if (!ids || !size) return nullptr;
  return PyUnicode_FromFormat("RigidBody(tag_size_m=%R, marker_ids=%R)", size.get(), ids.get());
}

PyObject* matrix_list(const Matrix3& m) {
  return list_of(std::span<const std::array<double, 3>>(m), [](const std::array<double, 3>& row) { return float_list(row); });
}

// The constructor arguments that rebuild an equal body.
PyObject* body_state(PyObject* self) {
  const RigidBody& body = value_of<RigidBody>(self);
  Ref ids = Ref::steal(int_list(body.marker_ids()));
  Ref rotations = Ref::steal(list_of(body.rotations(), matrix_list));
  Ref translations =
      Ref::steal(list_of(body.translations(), [](const Vector3& t) { return float_list(t); }));
  if (!ids || !rotations || !translations) return nullptr;
  return Py_BuildValue("(dOOO)", body.tag_size_m(), ids.get(), rotations.get(), translations.get());
}

PyObject* body_reduce(PyObject* self, PyObject*) {
  return reduce_to(reinterpret_cast<PyObject*>(Py_TYPE(self)), Ref::steal(body_state(self)).get());
}

PyObject* body_richcompare(PyObject* a, PyObject* b, int op) { return compare_states(a, b, op, body_state); }
Py_hash_t body_hash(PyObject* self) { return hash_state(self, body_state); }

PyMethodDef g_body_methods[] = {
    {"__reduce__", body_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_body_getset[] = {
    {"tag_size_m", body_tag_size, nullptr, nullptr, nullptr},
    {"marker_ids", body_marker_ids, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kBodyDoc =
    "RigidBody(tag_size_m, marker_ids, rotations_marker_to_reference, translations_marker_to_reference)\n--\n\n"
    "A collection of square markers with fixed transforms into one reference frame.\n\n"
    "Construct this once from a rigid-body calibration and reuse it for every frame.";

// --- RigidBodyPose --------------------------------------------------------

const RigidBodyPose& pose_of(PyObject* self) { return value_of<RigidBodyPose>(self); }

PyObject* pose_rvec(PyObject* self, void*) { return guarded([&] { return float_list(pose_of(self).rvec); }); }
PyObject* pose_tvec(PyObject* self, void*) { return guarded([&] { return float_list(pose_of(self).tvec); }); }
PyObject* pose_inlier_indices(PyObject* self, void*) {
  return guarded([&] { return index_list(pose_of(self).inlier_indices); });
}
PyObject* pose_inlier_marker_ids(PyObject* self, void*) {
  return guarded([&] { return int_list(pose_of(self).inlier_marker_ids); });
}
PyObject* pose_used_marker_ids(PyObject* self, void*) {
  return guarded([&] { return int_list(pose_of(self).used_marker_ids); });
}
PyObject* pose_rmse(PyObject* self, void*) { return PyFloat_FromDouble(pose_of(self).reprojection_rmse); }

PyObject* pose_repr(PyObject* self) {
  Ref rvec = Ref::steal(pose_rvec(self, nullptr));
  Ref tvec = Ref::steal(pose_tvec(self, nullptr));
  Ref used = Ref::steal(pose_used_marker_ids(self, nullptr));
  Ref rmse = Ref::steal(pose_rmse(self, nullptr));
  if (!rvec || !tvec || !used || !rmse) return nullptr;
  return PyUnicode_FromFormat("RigidBodyPose(rvec=%R, tvec=%R, used_marker_ids=%R, reprojection_rmse=%R)",
                              rvec.get(), tvec.get(), used.get(), rmse.get());
}

// The fields in property order; _rigid_body_pose(*state) rebuilds the pose.
PyObject* pose_state(PyObject* self) {
  Ref fields[] = {Ref::steal(pose_rvec(self, nullptr)),           Ref::steal(pose_tvec(self, nullptr)),
                  Ref::steal(pose_inlier_indices(self, nullptr)), Ref::steal(pose_inlier_marker_ids(self, nullptr)),
                  Ref::steal(pose_used_marker_ids(self, nullptr)), Ref::steal(pose_rmse(self, nullptr))};
  for (const Ref& f : fields) {
    if (!f) return nullptr;
  }
  return PyTuple_Pack(6, fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(), fields[4].get(),
                      fields[5].get());
}

PyObject* g_restore_pose = nullptr;  // the module function _rigid_body_pose

PyObject* pose_reduce(PyObject* self, PyObject*) {
  if (!g_restore_pose) {
    raise(PyExc_RuntimeError, "RigidBodyPose cannot be pickled before the module is initialised");
    return nullptr;
  }
  return reduce_to(g_restore_pose, Ref::steal(pose_state(self)).get());
}

PyObject* pose_richcompare(PyObject* a, PyObject* b, int op) { return compare_states(a, b, op, pose_state); }
Py_hash_t pose_hash(PyObject* self) { return hash_state(self, pose_state); }

PyMethodDef g_pose_methods[] = {
    {"__reduce__", pose_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_pose_getset[] = {
    {"rvec", pose_rvec, nullptr, nullptr, nullptr},
    {"tvec", pose_tvec, nullptr, nullptr, nullptr},
    {"inlier_indices", pose_inlier_indices, nullptr, nullptr, nullptr},
    {"inlier_marker_ids", pose_inlier_marker_ids, nullptr, nullptr, nullptr},
    {"used_marker_ids", pose_used_marker_ids, nullptr, nullptr, nullptr},
    {"reprojection_rmse", pose_rmse, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* wrap_pose(RigidBodyPose pose) {
  return new_instance(g_pose_type, std::make_unique<RigidBodyPose>(std::move(pose)));
}

PyObject* restore_pose_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "_rigid_body_pose",
      {"rvec", "tvec", "inlier_indices", "inlier_marker_ids", "used_marker_ids", "reprojection_rmse"},
      6};
  PyObject* argv[6];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  RigidBodyPose pose;
  Vec<std::int64_t> inliers;
  if (!to_vector<3>(argv[0], "rvec", pose.rvec) || !to_vector<3>(argv[1], "tvec", pose.tvec) ||
      !to_int64s(argv[2], "inlier_indices", inliers) || !to_int32s(argv[3], "inlier_marker_ids", pose.inlier_marker_ids) ||
      !to_int32s(argv[4], "used_marker_ids", pose.used_marker_ids) ||
      !to_double(argv[5], "reprojection_rmse", pose.reprojection_rmse)) {
    return nullptr;
  }
  for (std::int64_t i : inliers) {
    if (i < 0) return raise_value_error("inlier indices must be non-negative");
    pose.inlier_indices.push_back(static_cast<std::size_t>(i));
  }
  return wrap_pose(std::move(pose));
}

// --- estimate_rigid_body_pose ----------------------------------------------

PyObject* estimate_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"estimate_rigid_body_pose",
                                   {"marker_corners", "marker_ids", "rigid_body", "camera_matrix", "dist_coeffs",
                                    "iterations", "reprojection_error", "confidence", "seed"},
                                   4};
  PyObject* argv[9];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<MarkerCorners2> corners;
  Vec<std::int32_t> ids;
  CameraArguments camera_args;
  RansacPnpSettings settings;
  if (!to_matrices<4, 2>(argv[0], "marker_corners", corners) || !to_int32s(argv[1], "marker_ids", ids)) {
    return nullptr;
  }
  if (!PyObject_TypeCheck(argv[2], g_body_type)) {
    raise_formatted(PyExc_TypeError, "%s cannot be converted to 'RigidBody'", type_name(argv[2]).c_str());
    return prefix_argument_error("rigid_body"), nullptr;
  }
  if (!to_camera_arguments(argv[3], argv[4], camera_args) || !to_ransac_settings(argv + 5, settings)) return nullptr;
  if (auto error = validate_ransac_settings(settings)) return raise(*error);
  // Keep the body alive while the lock is released.
  Ref body_ref = Ref::borrow(argv[2]);
  const RigidBody& body = value_of<RigidBody>(argv[2]);
  Result<RigidBodyObservations> observations = collect_rigid_body_observations(body, corners, ids);
  if (!observations) return raise(observations.error());
  if (observations->empty()) Py_RETURN_NONE;
  const Result<CameraModel> camera = camera_args.parse();
  if (!camera) return raise(camera.error());
  std::optional<RigidBodyPose> pose;
  {
    GilRelease unlocked;
    pose = estimate_rigid_body_pose(*observations, *camera, settings);
  }
  if (!pose) Py_RETURN_NONE;
  return wrap_pose(std::move(*pose));
}

}  // namespace

PyObject* create_rigid_body_type() {
  return define_class<RigidBody>(g_body_type, "morvelin.RigidBody",
                                 {{Py_tp_doc, const_cast<char*>(kBodyDoc)},
                                  {Py_tp_new, reinterpret_cast<void*>(body_new)},
                                  {Py_tp_repr, reinterpret_cast<void*>(body_repr)},
                                  {Py_tp_getset, g_body_getset},
                                  {Py_tp_methods, g_body_methods},
                                  {Py_tp_richcompare, reinterpret_cast<void*>(body_richcompare)},
                                  {Py_tp_hash, reinterpret_cast<void*>(body_hash)}});
}

PyObject* create_rigid_body_pose_type() {
  // No tp_new: instances come only from estimate_rigid_body_pose.
  return define_class<RigidBodyPose>(
      g_pose_type, "morvelin.RigidBodyPose",
      {{Py_tp_doc, const_cast<char*>("Result returned by `estimate_rigid_body_pose`.")},
       {Py_tp_repr, reinterpret_cast<void*>(pose_repr)},
       {Py_tp_getset, g_pose_getset},
       {Py_tp_methods, g_pose_methods},
       {Py_tp_richcompare, reinterpret_cast<void*>(pose_richcompare)},
       {Py_tp_hash, reinterpret_cast<void*>(pose_hash)}},
      Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

const PyMethodDef kRestoreRigidBodyPose = {
    "_rigid_body_pose", as_function<restore_pose_impl>(),
    kArgumentsFlags,
    "_rigid_body_pose(rvec, tvec, inlier_indices, inlier_marker_ids, used_marker_ids, reprojection_rmse)\n--\n\n"
    "Rebuild a RigidBodyPose from its fields (used by pickle and copy)."};

void remember_pose_restorer(PyObject* function) { g_restore_pose = function; }

const PyMethodDef kEstimateRigidBodyPose = {
    "estimate_rigid_body_pose", as_function<estimate_impl>(),
    kArgumentsFlags,
    "estimate_rigid_body_pose(marker_corners, marker_ids, rigid_body, camera_matrix, dist_coeffs=None, "
    "iterations=100, reprojection_error=3.0, confidence=0.99, seed=0)\n--\n\n"
    "Estimate a rigid body's pose directly from detected marker corners and ids.\n\n"
    "Marker transforms are precomputed by `RigidBody`. Unknown detected ids are\n"
    "ignored. A single known marker uses iterative PnP; two or more known markers\n"
    "use RANSAC and reject bad corners. `inlier_indices` index the flattened known\n"
    "marker corners, while `inlier_marker_ids` contains markers with at least three\n"
    "inlier corners."};

}  // namespace morvelin::py
