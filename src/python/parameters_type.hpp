// The Python class DetectorParameters wrapping the native record.
#pragma once

#include "detector/detector_parameters.hpp"
#include "python/py_ref.hpp"

namespace morvelin::py {

// Creates the class; returns a new reference or nullptr with an exception set.
PyObject* create_parameters_type();

// Converts a `parameters` argument: absent or None gives the defaults, an
// instance gives a copy of its record; anything else is a TypeError.
bool to_parameters(PyObject* obj, const char* name, DetectorParameters& out);

}  // namespace morvelin::py
