#include "python/parameters_type.hpp"

#include <cstddef>
#include <memory>
#include <string>

#include "python/arguments.hpp"
#include "python/class_type.hpp"
#include "python/errors.hpp"

namespace morvelin::py {
namespace {

PyTypeObject* g_type = nullptr;  // the class, owned by the module

enum class FieldKind { kInt, kFloat, kBool };

struct Field {
  const char* name;
  FieldKind kind;
  std::size_t offset;
  const char* (*check_int)(std::int32_t);
  const char* (*check_float)(double);
  const char* doc;
};

#define MORVELIN_INT(name, check, doc) \
  Field { #name, FieldKind::kInt, offsetof(DetectorParameters, name), check, nullptr, doc }
#define MORVELIN_FLOAT(name, check, doc) \
  Field { #name, FieldKind::kFloat, offsetof(DetectorParameters, name), nullptr, check, doc }
#define MORVELIN_BOOL(name, doc) \
  Field { #name, FieldKind::kBool, offsetof(DetectorParameters, name), nullptr, nullptr, doc }

// Docstrings: meaning, unit, default and accepted values of each property.
// Fields without a range check take any value of their type (NaN and
// infinities included for the float ones); detection says what it refuses.
constexpr const char* kWinSizeMinDoc =
    "Smallest adaptive-threshold window, in pixels (default 3). The windows are\n"
    "min, min + step, ... up to max; each is one full search. Any int.";
constexpr const char* kWinSizeMaxDoc =
    "Largest adaptive-threshold window, in pixels (default 23); raise it for\n"
    "markers much larger than the window. Any int.";
constexpr const char* kWinSizeStepDoc =
    "Step between adaptive-threshold windows, in pixels (default 10). Any int is\n"
    "stored; detection with methods 0-2 raises ValueError for 0 and for settings\n"
    "that give more than 1024 windows.";
constexpr const char* kThreshConstantDoc =
    "A pixel counts as dark in the adaptive threshold when it is at least this\n"
    "many grey levels below its window's mean (default 7.0). Any float.";
constexpr const char* kPolygonalDoc =
    "Tolerance of the polygon fitted to a contour, as a fraction of the contour\n"
    "length (default 0.03). Any float.";
constexpr const char* kErrorCorrectionDoc =
    "Fraction of the dictionary's correctable bits that a reading may differ\n"
    "from a code (default 0.6; 0 accepts exact codes only). Any float.";
constexpr const char* kInvertedDoc =
    "Also decode white-bordered (inverted) markers (default False).";
constexpr const char* kMinSideDoc =
    "Smallest marker side, in pixels, that becomes a candidate (default 32):\n"
    "contours shorter than 4 x this value are skipped, so markers under about\n"
    "32 px a side are never found; set 0 to keep every contour of at least 3 %\n"
    "of the larger image side instead. Any int (negative values skip every\n"
    "contour).";
constexpr const char* kRefinementMethodDoc =
    "Corner refinement or candidate search (default 0): CORNER_REFINE_NONE (0),\n"
    "CORNER_REFINE_SUBPIX (1), CORNER_REFINE_CONTOUR (2) or\n"
    "CORNER_REFINE_APRILTAG (3, the AprilTag quad detector as candidate search).\n"
    "0 to 3.";
constexpr const char* kRefinementWinSizeDoc =
    "Largest half-size, in pixels, of the sub-pixel refinement window\n"
    "(default 5). At least 1.";
constexpr const char* kRelativeWinSizeDoc =
    "Half-size of the sub-pixel refinement window as a fraction of the marker's\n"
    "cell size, capped at corner_refinement_win_size (default 0.3). Finite and\n"
    "greater than 0.";
constexpr const char* kMaxIterationsDoc =
    "Most steps of the sub-pixel refinement per corner (default 30). At least 1.";
constexpr const char* kMinAccuracyDoc =
    "The sub-pixel refinement stops once a step is shorter than this, in pixels\n"
    "(default 0.1). Finite and at least 0.";
constexpr const char* kQuadDecimateDoc =
    "AprilTag path: factor by which the image is shrunk before the quad search\n"
    "(default 0.0; values up to 1 leave it whole). Finite and at least 0.";
constexpr const char* kRefineFullResolutionDoc =
    "Refit each decoded marker's border with the AprilTag quad fitter in a\n"
    "full-resolution crop: after a decimated AprilTag search, or after any ArUco\n"
    "pipeline method (0-2). A tag missed by the coarse search cannot be recovered.";
constexpr const char* kQuadSigmaDoc =
    "AprilTag path: standard deviation, in pixels, of the Gaussian blur before\n"
    "the quad search (default 0.0, no blur; the sign is ignored). Finite.";
constexpr const char* kMinClusterDoc =
    "AprilTag path: fewest boundary points of a quad candidate (default 5;\n"
    "values under 25 act as 24). At least 1.";
constexpr const char* kMaxNmaximaDoc =
    "AprilTag path: most corner candidates (the boundary's strongest bends)\n"
    "tried when fitting a quad (default 10). At least 4.";
constexpr const char* kCriticalRadDoc =
    "AprilTag path: quads with a corner angle closer than this, in radians, to\n"
    "0 or pi are rejected (default pi/18, 10 degrees). Finite, greater than 0\n"
    "and less than pi/2.";
constexpr const char* kMaxLineFitMseDoc =
    "AprilTag path: largest mean squared distance, in pixels squared, of the\n"
    "boundary pixels from a fitted side (default 10.0). Finite and greater\n"
    "than 0.";
constexpr const char* kMinWhiteBlackDoc =
    "AprilTag path: least grey-level difference between the darkest and the\n"
    "lightest pixel of a tile for it to be thresholded; flatter tiles stay\n"
    "undecided (default 5). 0 to 255.";
constexpr const char* kDeglitchDoc =
    "AprilTag path: close small gaps in the thresholded image before\n"
    "segmentation (default False).";
constexpr const char* kMarkerBorderBitsDoc =
    "Width of the markers' black border, in cells (default 1). Calibration grids\n"
    "that print tags with a wider border (2 cells on AprilGrid targets) need\n"
    "the same value here; generate_marker_image(border_bits=...) draws such\n"
    "markers. 1 to 8.";

// The Python-visible fields, in declaration order; marker_border_bits sets
// the record's border_cells.
const Field kFields[] = {
    MORVELIN_INT(adaptive_thresh_win_size_min, nullptr, kWinSizeMinDoc),
    MORVELIN_INT(adaptive_thresh_win_size_max, nullptr, kWinSizeMaxDoc),
    MORVELIN_INT(adaptive_thresh_win_size_step, nullptr, kWinSizeStepDoc),
    MORVELIN_FLOAT(adaptive_thresh_constant, nullptr, kThreshConstantDoc),
    MORVELIN_FLOAT(polygonal_approx_accuracy_rate, nullptr, kPolygonalDoc),
    MORVELIN_FLOAT(error_correction_rate, nullptr, kErrorCorrectionDoc),
    MORVELIN_BOOL(detect_inverted_marker, kInvertedDoc),
    MORVELIN_INT(min_side_length_canonical_img, nullptr, kMinSideDoc),
    MORVELIN_INT(corner_refinement_method, check_corner_refinement_method, kRefinementMethodDoc),
    MORVELIN_INT(corner_refinement_win_size, check_corner_refinement_win_size, kRefinementWinSizeDoc),
    MORVELIN_FLOAT(relative_corner_refinement_win_size, check_relative_corner_refinement_win_size,
                   kRelativeWinSizeDoc),
    MORVELIN_INT(corner_refinement_max_iterations, check_corner_refinement_max_iterations, kMaxIterationsDoc),
    MORVELIN_FLOAT(corner_refinement_min_accuracy, check_corner_refinement_min_accuracy, kMinAccuracyDoc),
    MORVELIN_FLOAT(april_tag_quad_decimate, check_april_tag_quad_decimate, kQuadDecimateDoc),
    MORVELIN_BOOL(april_tag_refine_full_resolution, kRefineFullResolutionDoc),
    MORVELIN_FLOAT(april_tag_quad_sigma, check_april_tag_quad_sigma, kQuadSigmaDoc),
    MORVELIN_INT(april_tag_min_cluster_pixels, check_april_tag_min_cluster_pixels, kMinClusterDoc),
    MORVELIN_INT(april_tag_max_nmaxima, check_april_tag_max_nmaxima, kMaxNmaximaDoc),
    MORVELIN_FLOAT(april_tag_critical_rad, check_april_tag_critical_rad, kCriticalRadDoc),
    MORVELIN_FLOAT(april_tag_max_line_fit_mse, check_april_tag_max_line_fit_mse, kMaxLineFitMseDoc),
    MORVELIN_INT(april_tag_min_white_black_diff, check_april_tag_min_white_black_diff, kMinWhiteBlackDoc),
    MORVELIN_BOOL(april_tag_deglitch, kDeglitchDoc),
    Field{"marker_border_bits", FieldKind::kInt, offsetof(DetectorParameters, border_cells), check_marker_border_bits,
          nullptr, kMarkerBorderBitsDoc},
};
constexpr std::size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);
static_assert(kFieldCount == 23);

template <class T>
T& field_of(PyObject* self, const Field& field) {
  auto* record = reinterpret_cast<char*>(&value_of<DetectorParameters>(self));
  return *reinterpret_cast<T*>(record + field.offset);
}

PyObject* field_value(PyObject* self, const Field& field) {
  switch (field.kind) {
    case FieldKind::kInt: return PyLong_FromLong(field_of<std::int32_t>(self, field));
    case FieldKind::kFloat: return PyFloat_FromDouble(field_of<double>(self, field));
    case FieldKind::kBool: return PyBool_FromLong(field_of<bool>(self, field));
  }
  return nullptr;
}

PyObject* get_field(PyObject* self, void* closure) { return field_value(self, *static_cast<const Field*>(closure)); }

int set_field(PyObject* self, PyObject* value, void* closure) {
  const Field& field = *static_cast<const Field*>(closure);
  if (!value) {
    raise(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  const char* rejected = nullptr;
  switch (field.kind) {
    case FieldKind::kInt: {
      std::int32_t v = 0;
      if (!to_int32(value, "v", v)) return -1;
      if (field.check_int && (rejected = field.check_int(v))) break;
      field_of<std::int32_t>(self, field) = v;
      return 0;
    }
    case FieldKind::kFloat: {
      double v = 0.0;
      if (!to_double(value, "v", v)) return -1;
      if (field.check_float && (rejected = field.check_float(v))) break;
      field_of<double>(self, field) = v;
      return 0;
    }
    case FieldKind::kBool: {
      bool v = false;
      if (!to_bool(value, "v", v)) return -1;
      field_of<bool>(self, field) = v;
      return 0;
    }
  }
  raise(PyExc_ValueError, rejected);
  return -1;
}

PyObject* parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_Size(args) > 0) || (kwargs && PyDict_Size(kwargs) > 0)) {
    raise(PyExc_TypeError, "DetectorParameters() takes no arguments");
    return nullptr;
  }
  return guarded([&] { return new_instance(type, std::make_unique<DetectorParameters>()); });
}

PyObject* parameters_repr(PyObject* self) {
  Ref text = Ref::steal(PyUnicode_FromString("DetectorParameters("));
  for (std::size_t i = 0; i < kFieldCount && text; ++i) {
    Ref value = Ref::steal(field_value(self, kFields[i]));
    if (!value) return nullptr;
    Ref part = Ref::steal(PyUnicode_FromFormat("%s%s=%R", i ? ", " : "", kFields[i].name, value.get()));
    if (!part) return nullptr;
    text = Ref::steal(PyUnicode_Concat(text.get(), part.get()));
  }
  if (!text) return nullptr;
  Ref close = Ref::steal(PyUnicode_FromString(")"));
  return close ? PyUnicode_Concat(text.get(), close.get()) : nullptr;
}

PyObject* parameters_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, g_type)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = value_of<DetectorParameters>(a) == value_of<DetectorParameters>(b);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// (DetectorParameters, (), {field: value}) and back through the setters, so a
// restored record passes the same validation as an assigned one.
PyObject* parameters_reduce(PyObject* self, PyObject*) {
  Ref state = Ref::steal(PyDict_New());
  if (!state) return nullptr;
  for (const Field& field : kFields) {
    Ref value = Ref::steal(field_value(self, field));
    if (!value || PyDict_SetItemString(state.get(), field.name, value.get()) != 0) return nullptr;
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), no_args.get(), state.get());
}

PyObject* parameters_setstate(PyObject* self, PyObject* state) {
  if (!PyDict_Check(state)) {
    raise(PyExc_TypeError, "DetectorParameters state must be a dict");
    return nullptr;
  }
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(state, &position, &key, &value)) {
    if (PyObject_SetAttr(self, key, value) != 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    {"__reduce__", parameters_reduce, METH_NOARGS, nullptr},
    {"__setstate__", parameters_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[kFieldCount + 1];

constexpr const char* kClassDoc =
    "DetectorParameters()\n--\n\n"
    "Detector parameters for marker detection. `corner_refinement_method` accepts\n"
    "`CORNER_REFINE_NONE`, `CORNER_REFINE_SUBPIX`, `CORNER_REFINE_CONTOUR`, or\n"
    "`CORNER_REFINE_APRILTAG`. The latter uses the AprilTag 2 quad candidate path.";

}  // namespace

PyObject* create_parameters_type() {
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    g_getset[i] = {kFields[i].name, get_field, set_field, kFields[i].doc,
                   const_cast<void*>(static_cast<const void*>(&kFields[i]))};
  }
  g_getset[kFieldCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  return define_class<DetectorParameters>(
      g_type, "morvelin.DetectorParameters",
      {{Py_tp_doc, const_cast<char*>(kClassDoc)},
       {Py_tp_new, reinterpret_cast<void*>(parameters_new)},
       {Py_tp_repr, reinterpret_cast<void*>(parameters_repr)},
       {Py_tp_richcompare, reinterpret_cast<void*>(parameters_richcompare)},
       {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
       {Py_tp_getset, g_getset},
       {Py_tp_methods, g_methods}});
}

bool to_parameters(PyObject* obj, const char* name, DetectorParameters& out) {
  if (absent(obj)) {
    out = DetectorParameters();
    return true;
  }
  if (!g_type || !PyObject_TypeCheck(obj, g_type)) {
    raise_formatted(PyExc_TypeError, "%s cannot be converted to 'DetectorParameters'", type_name(obj).c_str());
    return prefix_argument_error(name);
  }
  out = value_of<DetectorParameters>(obj);
  return true;
}

}  // namespace morvelin::py
