// Module functions, each defined in the binding file of its subsystem and
// registered by module.cpp in the order of the public function table.
#pragma once

#include "python/py_ref.hpp"

namespace morvelin::py {

extern const PyMethodDef kDetectMarkers;
extern const PyMethodDef kDetectMarkersBatch;
extern const PyMethodDef kDetectCharucoBoard;
extern const PyMethodDef kFindChessboardCorners;
extern const PyMethodDef kPredefinedDictionaries;
extern const PyMethodDef kCornerSubPix;
extern const PyMethodDef kSolvePnp;
extern const PyMethodDef kSolvePnpRansac;
extern const PyMethodDef kEstimateRigidBodyPose;
extern const PyMethodDef kProjectPoints;
extern const PyMethodDef kRodrigues;
extern const PyMethodDef kEstimatePoseCharucoBoard;
extern const PyMethodDef kCharucoPredict;
extern const PyMethodDef kRestoreRigidBodyPose;
extern const PyMethodDef kGenerateMarkerImage;
extern const PyMethodDef kCheckSettings;
extern const PyMethodDef kCalibrateCamera;
extern const PyMethodDef kCalibrateCameraCharuco;
extern const PyMethodDef kRestoreCameraCalibration;
extern const PyMethodDef kUndistortPoints;
extern const PyMethodDef kUndistortImage;
extern const PyMethodDef kOptimalNewCameraMatrix;
extern const PyMethodDef kEstimateMarkerPoses;

// Methods of the classes.
extern const PyMethodDef kCharucoBoardGenerateImage;  // CharucoBoard.generate_image

}  // namespace morvelin::py
