// detect_markers, detect_markers_batch and the settings check of the command
// line.
#include <string>

#include "detector/detect.hpp"
#include "dictionary/dictionary.hpp"
#include "python/arguments.hpp"
#include "python/charuco_types.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/markers.hpp"
#include "python/parameters_type.hpp"

namespace morvelin::py {
namespace {

PyObject* detect_markers_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"detect_markers", {"image", "dictionary", "parameters"}, 2};
  PyObject* argv[3];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  std::string name;
  DetectorParameters params;
  if (!check_image_type(argv[0], "image") || !to_string(argv[1], "dictionary", name) ||
      !to_parameters(argv[2], "parameters", params)) {
    return nullptr;
  }
  const auto dictionary = lookup_dictionary(name);
  if (!dictionary) return raise_unknown_dictionary(name);
  GrayInput image;
  if (!image.read(argv[0], "image")) return nullptr;
  Result<MarkerList> markers = [&] {
    GilRelease unlocked;
    return detect_markers(image.view(), *dictionary, params);
  }();
  if (!markers) return raise(markers.error());
  return marker_result(*markers);
}

PyObject* detect_markers_batch_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"detect_markers_batch", {"images", "dictionary", "parameters"}, 2};
  PyObject* argv[3];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  std::string name;
  DetectorParameters params;
  if (!check_sequence(argv[0], "images") || !to_string(argv[1], "dictionary", name) ||
      !to_parameters(argv[2], "parameters", params)) {
    return nullptr;
  }
  const auto dictionary = lookup_dictionary(name);
  if (!dictionary) return raise_unknown_dictionary(name);
  Vec<GrayInput> inputs;
  Ref iterator = Ref::steal(PyObject_GetIter(argv[0]));
  if (!iterator) return nullptr;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    inputs.emplace_back();
    if (!inputs.back().read(item.get(), "images")) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Vec<GrayView> frames;
  frames.reserve(inputs.size());
  for (const GrayInput& input : inputs) frames.push_back(input.view());
  Result<Vec<MarkerList>> results = [&] {
    GilRelease unlocked;
    return detect_markers_batch(frames, *dictionary, params);
  }();
  if (!results) return raise(results.error());
  return list_of(std::span<const MarkerList>(*results), [](const MarkerList& m) { return marker_result(m); });
}

PyObject* check_settings_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"_check_settings", {"parameters", "board"}, 0};
  PyObject* argv[2];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  DetectorParameters params;
  if (!to_parameters(argv[0], "parameters", params)) return nullptr;
  if (!absent(argv[1]) && !check_charuco_board(argv[1], "board")) return nullptr;
  if (auto error = validate_detector_parameters(params)) return raise(*error);
  if (!absent(argv[1])) {
    if (auto error = charuco_board_of(argv[1]).check_printable()) return raise(*error);
  }
  Py_RETURN_NONE;
}

}  // namespace

const PyMethodDef kCheckSettings = {
    "_check_settings", as_function<check_settings_impl>(), kArgumentsFlags,
    "_check_settings(parameters=None, board=None)\n--\n\n"
    "Raise ValueError when detection would refuse `parameters` (a field out of\n"
    "range, threshold windows the contour search cannot run) or when `board`\n"
    "cannot exist on paper (no squares, a marker longer than its square, a\n"
    "marker id outside the dictionary). The command line checks its settings\n"
    "with it before reading any image."};

const PyMethodDef kDetectMarkers = {
    "detect_markers", as_function<detect_markers_impl>(),
    kArgumentsFlags,
    "detect_markers(image, dictionary, parameters=None)\n--\n\n"
    "Detect ArUco or AprilTag markers in `image` (HxW grayscale or HxWx3 BGR, uint8).\n\n"
    "Returns `(corners, ids)`:\n"
    "  - `corners`: list of markers, each a 4x2 list of (x, y) float corners\n"
    "  - `ids`: list of integer marker ids, aligned with `corners`\n"
    "Pass `DetectorParameters` to select a corner refinement method.\n"
    "Markers under about 32 px a side are skipped at the default\n"
    "`min_side_length_canonical_img` = 32; set that field to 0 to find them."};

const PyMethodDef kDetectMarkersBatch = {
    "detect_markers_batch",
    as_function<detect_markers_batch_impl>(),
    kArgumentsFlags,
    "detect_markers_batch(images, dictionary, parameters=None)\n--\n\n"
    "Detect markers across a batch of frames using flat (frame \xc3\x97 scale) parallelism\n"
    "with the GIL released. Optimal at any batch size \xe2\x80\x94 a single frame, a dual-camera\n"
    "pair, or a large offline batch all keep the cores busy without nested threading.\n\n"
    "Returns a list of `(corners, ids)`, one per input frame, in the same order."};

}  // namespace morvelin::py
