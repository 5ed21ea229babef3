// The Python class CharucoBoard and the ChArUco functions.
#pragma once

#include "python/py_ref.hpp"

namespace morvelin::py {

PyObject* create_charuco_board_type();

}  // namespace morvelin::py
