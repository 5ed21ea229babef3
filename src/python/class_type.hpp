// The module's classes: every instance holds one owned C++ value, and every
// class is built once per process from its slots.
#pragma once

#include <initializer_list>
#include <memory>
#include <vector>

#include "python/py_ref.hpp"

namespace morvelin::py {

template <class T>
struct Instance {
  PyObject_HEAD
  T* value;  // owned
};

template <class T>
T& value_of(PyObject* self) noexcept {
  return *reinterpret_cast<Instance<T>*>(self)->value;
}

// A new instance of `type` owning `value`; nullptr, with the allocation's
// exception pending, when the instance cannot be allocated.
template <class T>
PyObject* new_instance(PyTypeObject* type, std::unique_ptr<T> value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self) reinterpret_cast<Instance<T>*>(self)->value = value.release();
  return self;
}

template <class T>
void delete_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Instance<T>*>(self)->value;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// The class `name` from `slots`, with the deallocator of Instance<T> and
// `flags` besides Py_TPFLAGS_DEFAULT. It is built on the first call and kept
// in `cls`; later calls (another initialisation of the module) return the
// same class, so that instances made through one are accepted by all.
template <class T>
PyObject* define_class(PyTypeObject*& cls, const char* name, std::initializer_list<PyType_Slot> slots,
                       unsigned long flags = 0) {
  if (cls) return Py_NewRef(reinterpret_cast<PyObject*>(cls));
  std::vector<PyType_Slot> all(slots);
  all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(delete_instance<T>)});
  all.push_back({0, nullptr});
  PyType_Spec description = {name, static_cast<int>(sizeof(Instance<T>)), 0,
                             static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | flags), all.data()};
  PyObject* type = PyType_FromSpec(&description);
  cls = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

}  // namespace morvelin::py
