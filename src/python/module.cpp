// Module initialisation: size the worker pool, then register the constants,
// the classes and the functions, in that order.
#include "detector/detector_parameters.hpp"
#include "python/calibration_types.hpp"
#include "python/charuco_types.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/parameters_type.hpp"
#include "python/rigid_body_types.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin::py {
namespace {

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "morvelin.morvelin",
    "Fiducial marker, ChArUco and chessboard detection and camera pose estimation.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_constants(PyObject* module) {
  return PyModule_AddIntConstant(module, "CORNER_REFINE_NONE", kCornerRefineNone) == 0 &&
         PyModule_AddIntConstant(module, "CORNER_REFINE_SUBPIX", kCornerRefineSubpix) == 0 &&
         PyModule_AddIntConstant(module, "CORNER_REFINE_CONTOUR", kCornerRefineContour) == 0 &&
         PyModule_AddIntConstant(module, "CORNER_REFINE_APRILTAG", kCornerRefineAprilTag) == 0;
}

bool add_class(PyObject* module, const char* name, PyObject* (*create)()) {
  Ref type = Ref::steal(create());
  if (!type) {
    PyErr_Clear();
    raise_formatted(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    return false;
  }
  // The classes live as long as the process; keep one reference for the
  // converters that check instances.
  Py_INCREF(type.get());
  return PyModule_AddObjectRef(module, name, type.get()) == 0;
}

bool add_functions(PyObject* module) {
  // The public function table, in registration order. Built once: the
  // function objects keep pointers into it, and the module may be
  // initialised more than once in a process (loaded under other names).
  static PyMethodDef methods[] = {
      kDetectMarkers,
      kDetectMarkersBatch,
      kDetectCharucoBoard,
      kFindChessboardCorners,
      kPredefinedDictionaries,
      kCornerSubPix,
      kSolvePnp,
      kSolvePnpRansac,
      kEstimateRigidBodyPose,
      kProjectPoints,
      kRodrigues,
      kEstimatePoseCharucoBoard,
      kCharucoPredict,
      kGenerateMarkerImage,
      kRestoreRigidBodyPose,  // unpickles RigidBodyPose
      kCheckSettings,         // the command line's settings check
      // Camera calibration, undistortion and marker poses.
      kCalibrateCamera,
      kCalibrateCameraCharuco,
      kRestoreCameraCalibration,  // unpickles CameraCalibration
      kUndistortPoints,
      kUndistortImage,
      kOptimalNewCameraMatrix,
      kEstimateMarkerPoses,
      {nullptr, nullptr, 0, nullptr},
  };
  if (PyModule_AddFunctions(module, methods) != 0) return false;
  PyObject* restorer = PyObject_GetAttrString(module, "_rigid_body_pose");
  if (!restorer) return false;
  remember_pose_restorer(restorer);  // keeps this reference for the life of the process
  PyObject* calibration_restorer = PyObject_GetAttrString(module, "_camera_calibration");
  if (!calibration_restorer) return false;
  remember_calibration_restorer(calibration_restorer);  // kept likewise
  return true;
}

PyObject* init_module() {
  configure_worker_pool();
  Ref module = Ref::steal(PyModule_Create(&g_module));
  if (!module) return nullptr;
  if (!add_constants(module.get())) return nullptr;
  if (!add_class(module.get(), "DetectorParameters", create_parameters_type) ||
      !add_class(module.get(), "CharucoBoard", create_charuco_board_type) ||
      !add_class(module.get(), "RigidBody", create_rigid_body_type) ||
      !add_class(module.get(), "RigidBodyPose", create_rigid_body_pose_type) ||
      !add_class(module.get(), "CameraCalibration", create_camera_calibration_type)) {
    return nullptr;
  }
  if (!add_functions(module.get())) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace morvelin::py

// PyMODINIT_FUNC already declares the function extern "C" in C++.
PyMODINIT_FUNC PyInit_morvelin(void) {
  return morvelin::py::guarded([] { return morvelin::py::init_module(); });
}
