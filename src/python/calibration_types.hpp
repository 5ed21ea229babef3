// The Python class CameraCalibration and the calibration functions.
#pragma once

#include "python/py_ref.hpp"

namespace morvelin::py {

PyObject* create_camera_calibration_type();

// The module's _camera_calibration function, which unpickles calibrations
// (borrowed; the module keeps it alive).
void remember_calibration_restorer(PyObject* function);

}  // namespace morvelin::py
