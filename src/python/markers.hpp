// Python results of marker detection: corners as lists of four [x, y] lists
// and ids as ints.
#pragma once

#include <span>
#include <string>

#include "detector/marker.hpp"
#include "python/py_ref.hpp"

namespace morvelin::py {

// [[x, y], [x, y], [x, y], [x, y]] per marker, in order.
PyObject* marker_corner_lists(std::span<const DetectedMarker> markers);
PyObject* marker_id_list(std::span<const DetectedMarker> markers);
// The `(corners, ids)` tuple of detect_markers.
PyObject* marker_result(std::span<const DetectedMarker> markers);

// ValueError "unknown dictionary: NAME"; returns nullptr.
PyObject* raise_unknown_dictionary(const std::string& name);

}  // namespace morvelin::py
