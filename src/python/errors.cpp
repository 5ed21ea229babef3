#include "python/errors.hpp"

#include <cstdarg>

namespace morvelin::py {

PyObject* raise(const Error& error) {
  switch (error.kind) {
    case ErrorKind::kValue:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
      break;
    case ErrorKind::kMemory:
      PyErr_SetString(PyExc_MemoryError, error.message.c_str());
      break;
    case ErrorKind::kInternal:
      PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
      break;
  }
  return nullptr;
}

PyObject* raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

PyObject* raise_formatted(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(type, format, arguments);
  va_end(arguments);
  return nullptr;
}

PyObject* raise_value_error(const std::string& message) { return raise(PyExc_ValueError, message); }

PyObject* raise_os_error(PyObject* filename) {
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

bool prefix_argument_error(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    PyErr_Format(PyExc_TypeError, "argument '%s': conversion failed", name);
    return false;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
  Ref text = Ref::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
  if (!text) {
    PyErr_Clear();
    PyErr_Format(type, "argument '%s': conversion failed", name);
    return false;
  }
  PyErr_Format(type, "argument '%s': %U", name, text.get());
  return false;
}

}  // namespace morvelin::py
