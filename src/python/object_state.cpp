#include "python/object_state.hpp"

namespace morvelin::py {

PyObject* reduce_to(PyObject* callable, PyObject* state) {
  if (!state) return nullptr;
  return PyTuple_Pack(2, callable, state);
}

PyObject* compare_states(PyObject* a, PyObject* b, int op, PyObject* (*state)(PyObject*)) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  Ref state_a = Ref::steal(state(a));
  Ref state_b = Ref::steal(state(b));
  if (!state_a || !state_b) return nullptr;
  return PyObject_RichCompare(state_a.get(), state_b.get(), op);
}

namespace {

// The state with every list turned into a tuple, so that it can be hashed.
PyObject* frozen(PyObject* obj) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) return Py_NewRef(obj);
  const Py_ssize_t n = PySequence_Size(obj);
  Ref out = Ref::steal(PyTuple_New(n));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    PyObject* f = item ? frozen(item.get()) : nullptr;
    if (!f) return nullptr;
    PyTuple_SetItem(out.get(), i, f);
  }
  return out.release();
}

}  // namespace

Py_hash_t hash_state(PyObject* self, PyObject* (*state)(PyObject*)) {
  Ref s = Ref::steal(state(self));
  Ref f = Ref::steal(s ? frozen(s.get()) : nullptr);
  return f ? PyObject_Hash(f.get()) : -1;
}

}  // namespace morvelin::py
