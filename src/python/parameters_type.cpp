#include "python/parameters_type.hpp"

#include <cstddef>
#include <new>
#include <string>

#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace morvelin::py {
namespace {

struct ParametersObject {
  PyObject_HEAD
  DetectorParameters value;
};

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

#define MORVELIN_INT(name, check) \
  Field { #name, FieldKind::kInt, offsetof(DetectorParameters, name), check, nullptr, nullptr }
#define MORVELIN_FLOAT(name, check) \
  Field { #name, FieldKind::kFloat, offsetof(DetectorParameters, name), nullptr, check, nullptr }
#define MORVELIN_BOOL(name, doc) \
  Field { #name, FieldKind::kBool, offsetof(DetectorParameters, name), nullptr, nullptr, doc }

constexpr const char* kRefineFullResolutionDoc =
    "Refit each decoded marker's border with the AprilTag quad fitter in a\n"
    "full-resolution crop: after a decimated AprilTag search, or after any ArUco\n"
    "pipeline method (0-2). A tag missed by the coarse search cannot be recovered.";

// The Python-visible fields, in declaration order.
const Field kFields[] = {
    MORVELIN_INT(adaptive_thresh_win_size_min, nullptr),
    MORVELIN_INT(adaptive_thresh_win_size_max, nullptr),
    MORVELIN_INT(adaptive_thresh_win_size_step, nullptr),
    MORVELIN_FLOAT(adaptive_thresh_constant, nullptr),
    MORVELIN_FLOAT(polygonal_approx_accuracy_rate, nullptr),
    MORVELIN_FLOAT(error_correction_rate, nullptr),
    MORVELIN_BOOL(detect_inverted_marker, nullptr),
    MORVELIN_INT(min_side_length_canonical_img, nullptr),
    MORVELIN_INT(corner_refinement_method, check_corner_refinement_method),
    MORVELIN_INT(corner_refinement_win_size, check_corner_refinement_win_size),
    MORVELIN_FLOAT(relative_corner_refinement_win_size, check_relative_corner_refinement_win_size),
    MORVELIN_INT(corner_refinement_max_iterations, check_corner_refinement_max_iterations),
    MORVELIN_FLOAT(corner_refinement_min_accuracy, check_corner_refinement_min_accuracy),
    MORVELIN_FLOAT(april_tag_quad_decimate, check_april_tag_quad_decimate),
    MORVELIN_BOOL(april_tag_refine_full_resolution, kRefineFullResolutionDoc),
    MORVELIN_FLOAT(april_tag_quad_sigma, check_april_tag_quad_sigma),
    MORVELIN_INT(april_tag_min_cluster_pixels, check_april_tag_min_cluster_pixels),
    MORVELIN_INT(april_tag_max_nmaxima, check_april_tag_max_nmaxima),
    MORVELIN_FLOAT(april_tag_critical_rad, check_april_tag_critical_rad),
    MORVELIN_FLOAT(april_tag_max_line_fit_mse, check_april_tag_max_line_fit_mse),
    MORVELIN_INT(april_tag_min_white_black_diff, check_april_tag_min_white_black_diff),
    MORVELIN_BOOL(april_tag_deglitch, nullptr),
};
constexpr std::size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);
static_assert(kFieldCount == 22);

template <class T>
T& field_of(PyObject* self, const Field& field) {
  auto* record = reinterpret_cast<char*>(&reinterpret_cast<ParametersObject*>(self)->value);
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
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
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
  PyErr_SetString(PyExc_ValueError, rejected);
  return -1;
}

PyObject* parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_Size(args) > 0) || (kwargs && PyDict_Size(kwargs) > 0)) {
    PyErr_SetString(PyExc_TypeError, "DetectorParameters() takes no arguments");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  new (&reinterpret_cast<ParametersObject*>(self)->value) DetectorParameters();
  return self;
}

void parameters_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
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
  const bool equal =
      reinterpret_cast<ParametersObject*>(a)->value == reinterpret_cast<ParametersObject*>(b)->value;
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
    PyErr_SetString(PyExc_TypeError, "DetectorParameters state must be a dict");
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
  // One class per process, shared by every initialisation of the module, so
  // that instances made through one are accepted by all.
  if (g_type) return Py_NewRef(reinterpret_cast<PyObject*>(g_type));
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    g_getset[i] = {kFields[i].name, get_field, set_field, kFields[i].doc,
                   const_cast<void*>(static_cast<const void*>(&kFields[i]))};
  }
  g_getset[kFieldCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(parameters_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(parameters_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(parameters_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(parameters_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_getset, g_getset},
      {Py_tp_methods, g_methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"morvelin.DetectorParameters", static_cast<int>(sizeof(ParametersObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  g_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

bool to_parameters(PyObject* obj, const char* name, DetectorParameters& out) {
  if (absent(obj)) {
    out = DetectorParameters();
    return true;
  }
  if (!g_type || !PyObject_TypeCheck(obj, g_type)) {
    PyErr_Format(PyExc_TypeError, "%s cannot be converted to 'DetectorParameters'", type_name(obj).c_str());
    return prefix_argument_error(name);
  }
  out = reinterpret_cast<ParametersObject*>(obj)->value;
  return true;
}

}  // namespace morvelin::py
