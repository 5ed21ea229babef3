// The Python classes RigidBody and RigidBodyPose, and estimate_rigid_body_pose.
#pragma once

#include "python/py_ref.hpp"

namespace morvelin::py {

PyObject* create_rigid_body_type();
PyObject* create_rigid_body_pose_type();

// The module's _rigid_body_pose function, which unpickles poses (borrowed;
// the module keeps it alive).
void remember_pose_restorer(PyObject* function);

}  // namespace morvelin::py
