// Pickling, copying and comparison of the module's classes through their
// state: a tuple of the arguments that rebuild an equal object.
#pragma once

#include "python/py_ref.hpp"

namespace morvelin::py {

// (callable, state): what __reduce__ returns; steals nothing.
PyObject* reduce_to(PyObject* callable, PyObject* state);

// Rich comparison by state (== and != only), for objects of the same type.
PyObject* compare_states(PyObject* a, PyObject* b, int op, PyObject* (*state)(PyObject*));

// Hash of the state tuple, for immutable classes.
Py_hash_t hash_state(PyObject* self, PyObject* (*state)(PyObject*));

}  // namespace morvelin::py
