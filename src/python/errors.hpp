// The one place where core errors and C++ exceptions become Python
// exceptions.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "python/py_ref.hpp"
#include "runtime/status.hpp"

namespace morvelin::py {

// Raises `error` as the matching Python exception; returns nullptr.
PyObject* raise(const Error& error);

// Raises `type`(message); returns nullptr.
PyObject* raise(PyObject* type, const std::string& message);

// Raises `type` with a message formatted as by PyUnicode_FromFormat;
// returns nullptr.
PyObject* raise_formatted(PyObject* type, const char* format, ...);

// Raises ValueError(message); returns nullptr.
PyObject* raise_value_error(const std::string& message);

// Raises OSError from errno for the file `filename`; returns nullptr.
PyObject* raise_os_error(PyObject* filename);

// Re-raises the pending Python exception with "argument 'NAME': " in front
// of its message, keeping its type. Returns false for use in converters.
bool prefix_argument_error(const char* name);

// Runs a wrapper body; C++ exceptions (out of memory, broken invariants)
// become Python exceptions instead of escaping into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    return nullptr;
  }
}

// Every module function and method takes positional and keyword arguments.
constexpr int kArgumentsFlags = METH_VARARGS | METH_KEYWORDS;

// The C entry of a module function whose body is Impl(args, kwargs), run
// under guarded(); as_function<Impl>() is its PyMethodDef pointer.
template <PyObject* (*Impl)(PyObject*, PyObject*)>
PyObject* function_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Impl(args, kwargs); });
}

template <PyObject* (*Impl)(PyObject*, PyObject*)>
PyCFunction as_function() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_entry<Impl>));
}

// The same for a method whose body is Impl(self, args, kwargs).
template <PyObject* (*Impl)(PyObject*, PyObject*, PyObject*)>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Impl(self, args, kwargs); });
}

template <PyObject* (*Impl)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<Impl>));
}

}  // namespace morvelin::py
