#include "python/markers.hpp"

namespace morvelin::py {
namespace {

PyObject* corner_list(const Quad& corners) {
  Ref list = Ref::steal(PyList_New(4));
  if (!list) return nullptr;
  for (Py_ssize_t k = 0; k < 4; ++k) {
    const Point2f& p = corners[static_cast<std::size_t>(k)];
    PyObject* xy = Py_BuildValue("[dd]", static_cast<double>(p.x), static_cast<double>(p.y));
    if (!xy) return nullptr;
    PyList_SetItem(list.get(), k, xy);
  }
  return list.release();
}

}  // namespace

PyObject* marker_corner_lists(std::span<const DetectedMarker> markers) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(markers.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < markers.size(); ++i) {
    PyObject* corners = corner_list(markers[i].corners);
    if (!corners) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), corners);
  }
  return list.release();
}

PyObject* marker_id_list(std::span<const DetectedMarker> markers) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(markers.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < markers.size(); ++i) {
    PyObject* id = PyLong_FromLong(markers[i].id);
    if (!id) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list.release();
}

PyObject* marker_result(std::span<const DetectedMarker> markers) {
  Ref corners = Ref::steal(marker_corner_lists(markers));
  if (!corners) return nullptr;
  Ref ids = Ref::steal(marker_id_list(markers));
  if (!ids) return nullptr;
  return PyTuple_Pack(2, corners.get(), ids.get());
}

PyObject* raise_unknown_dictionary(const std::string& name) {
  const std::string message = "unknown dictionary: " + name;
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

}  // namespace morvelin::py
