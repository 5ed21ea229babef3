#include "python/markers.hpp"

#include "python/arguments.hpp"
#include "python/errors.hpp"

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
  return list_of(markers, [](const DetectedMarker& m) { return corner_list(m.corners); });
}

PyObject* marker_id_list(std::span<const DetectedMarker> markers) {
  return list_of(markers, [](const DetectedMarker& m) { return PyLong_FromLong(m.id); });
}

PyObject* marker_result(std::span<const DetectedMarker> markers) {
  Ref corners = Ref::steal(marker_corner_lists(markers));
  if (!corners) return nullptr;
  Ref ids = Ref::steal(marker_id_list(markers));
  if (!ids) return nullptr;
  return PyTuple_Pack(2, corners.get(), ids.get());
}

PyObject* raise_unknown_dictionary(const std::string& name) { return raise_value_error("unknown dictionary: " + name); }

}  // namespace morvelin::py
