// The Python class CharucoBoard and the ChArUco functions.
#pragma once

#include "charuco/board.hpp"
#include "python/py_ref.hpp"

namespace morvelin::py {

PyObject* create_charuco_board_type();

// The board held by a CharucoBoard instance (`self` of its methods).
const CharucoBoard& charuco_board_of(PyObject* self);

// True when `obj` is a CharucoBoard; otherwise TypeError naming the argument.
bool check_charuco_board(PyObject* obj, const char* name);

}  // namespace morvelin::py
