#include "python/arguments.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "python/errors.hpp"

namespace morvelin::py {
namespace {

PyObject* g_numpy_array_type = nullptr;  // borrowed for the life of the process
PyObject* g_numpy_bool_type = nullptr;

bool import_numpy() {
  if (g_numpy_array_type) return true;
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref array_type = Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
  Ref bool_type = Ref::steal(PyObject_GetAttrString(numpy.get(), "bool_"));
  if (!array_type || !bool_type) return false;
  g_numpy_array_type = array_type.release();
  g_numpy_bool_type = bool_type.release();
  return true;
}

bool fail(PyObject* exception_type, const std::string& message, const char* name) {
  raise(exception_type, message.c_str());
  return prefix_argument_error(name);
}

// Releases an acquired buffer on scope exit.
class Buffer {
 public:
  Buffer() { std::memset(&view_, 0, sizeof(view_)); }
  ~Buffer() {
    if (acquired_) PyBuffer_Release(&view_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  bool acquire(PyObject* obj) {
    acquired_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
    return acquired_;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_;
  bool acquired_ = false;
};

// Element kinds that the fast array paths read directly.
enum class Kind { kNone, kSigned, kUnsigned, kFloat };

// The element kind of a buffer in native byte order, or kNone when the slow
// path should handle it.
Kind element_kind(const Py_buffer& view) {
  const char* f = view.format ? view.format : "B";
  if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
  if (f[0] == '\0' || f[1] != '\0') return Kind::kNone;
  const auto size = view.itemsize;
  switch (f[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q':
      return (size == 1 || size == 2 || size == 4 || size == 8) ? Kind::kSigned : Kind::kNone;
    case 'B': case 'H': case 'I': case 'L': case 'Q':
      return (size == 1 || size == 2 || size == 4 || size == 8) ? Kind::kUnsigned : Kind::kNone;
    case 'f': return size == 4 ? Kind::kFloat : Kind::kNone;
    case 'd': return size == 8 ? Kind::kFloat : Kind::kNone;
    default: return Kind::kNone;
  }
}

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

double load_double(const char* p, Kind kind, Py_ssize_t size) {
  switch (kind) {
    case Kind::kFloat: return size == 4 ? static_cast<double>(load<float>(p)) : load<double>(p);
    case Kind::kSigned:
      switch (size) {
        case 1: return load<std::int8_t>(p);
        case 2: return load<std::int16_t>(p);
        case 4: return load<std::int32_t>(p);
        default: return static_cast<double>(load<std::int64_t>(p));
      }
    default:
      switch (size) {
        case 1: return load<std::uint8_t>(p);
        case 2: return load<std::uint16_t>(p);
        case 4: return load<std::uint32_t>(p);
        default: return static_cast<double>(load<std::uint64_t>(p));
      }
  }
}

// A numeric NumPy array whose buffer is acquired, for the fast paths.
bool numeric_array(PyObject* obj, Buffer& buffer, Kind& kind) {
  if (!import_numpy()) {
    PyErr_Clear();
    return false;
  }
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_numpy_array_type))) return false;
  if (!buffer.acquire(obj)) {
    PyErr_Clear();
    return false;
  }
  kind = element_kind(buffer.view());
  return kind != Kind::kNone;
}

// Length of a sequence argument; str and non-sequences are refused.
bool sequence_length(PyObject* obj, Py_ssize_t& length) {
  if (PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_formatted(PyExc_TypeError, "%s cannot be converted to 'Sequence'", type_name(obj).c_str());
    return false;
  }
  length = PySequence_Size(obj);
  return length >= 0;
}

bool read_double(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool read_int64(PyObject* obj, std::int64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  out = PyLong_AsLongLong(index.get());
  return !(out == -1 && PyErr_Occurred());
}

// Reads a sequence row of exactly `n` numbers into `row`.
bool read_row(PyObject* item, std::size_t n, double* row) {
  Py_ssize_t length = 0;
  if (!sequence_length(item, length)) return false;
  if (static_cast<std::size_t>(length) != n) {
    raise_formatted(PyExc_TypeError, "expected a sequence of length %zu (got %zd)", n, length);
    return false;
  }
  for (std::size_t j = 0; j < n; ++j) {
    Ref value = Ref::steal(PySequence_GetItem(item, static_cast<Py_ssize_t>(j)));
    if (!value || !read_double(value.get(), row[j])) return false;
  }
  return true;
}

template <std::size_t N>
bool rows_from_array(const Py_buffer& view, Kind kind, Vec<std::array<double, N>>& out) {
  const auto rows = static_cast<std::size_t>(view.shape[0]);
  out.resize(rows);
  const char* base = static_cast<const char*>(view.buf);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = base + static_cast<Py_ssize_t>(i) * view.strides[0];
    for (std::size_t j = 0; j < N; ++j) {
      out[i][j] = load_double(row + static_cast<Py_ssize_t>(j) * view.strides[1], kind, view.itemsize);
    }
  }
  return true;
}

// Reads a NumPy array holding one row or one column of numbers (shapes n,
// (n, 1) and (1, n)), as calibration routines commonly return them.
bool flat_array(const Py_buffer& view, Kind kind, Vec<double>& out) {
  Py_ssize_t length = 0, stride = 0;
  if (view.ndim == 1) {
    length = view.shape[0];
    stride = view.strides[0];
  } else if (view.ndim == 2 && (view.shape[0] == 1 || view.shape[1] == 1)) {
    const int axis = view.shape[0] == 1 ? 1 : 0;
    length = view.shape[axis];
    stride = view.strides[axis];
  } else {
    return false;
  }
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    out[static_cast<std::size_t>(i)] = load_double(static_cast<const char*>(view.buf) + i * stride, kind, view.itemsize);
  }
  return true;
}

bool length_error(std::size_t expected, std::size_t got) {
  raise_formatted(PyExc_TypeError, "expected a sequence of length %zu (got %zu)", expected, got);
  return false;
}

// The shape of a NumPy array as sizes; false (no exception) for other objects.
bool numpy_shape(PyObject* obj, Vec<Py_ssize_t>& shape) {
  if (!is_numpy_array(obj)) {
    PyErr_Clear();
    return false;
  }
  Ref sizes = Ref::steal(PyObject_GetAttrString(obj, "shape"));
  if (!sizes || !PyTuple_Check(sizes.get())) {
    PyErr_Clear();
    return false;
  }
  shape.resize(static_cast<std::size_t>(PyTuple_Size(sizes.get())));
  for (std::size_t i = 0; i < shape.size(); ++i) {
    shape[i] = PyLong_AsSsize_t(PyTuple_GetItem(sizes.get(), static_cast<Py_ssize_t>(i)));
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// OpenCV keeps lists of n-vectors as N x 1 x n or 1 x N x n arrays (points)
// and lists of numbers as N x 1 or 1 x N arrays (ids). For such an array,
// `out` becomes its N x n (or flat) view and true is returned; other objects
// give false with `out` empty. On failure of the reshape itself, false with
// an exception set.
bool opencv_vector(PyObject* obj, std::size_t n, Ref& out) {
  Vec<Py_ssize_t> shape;
  if (!numpy_shape(obj, shape)) return false;
  const bool points = n > 0 && shape.size() == 3 && shape[2] == static_cast<Py_ssize_t>(n) &&
                      (shape[0] == 1 || shape[1] == 1);
  const bool numbers = n == 0 && shape.size() == 2 && (shape[0] == 1 || shape[1] == 1);
  if (!points && !numbers) return false;
  out = Ref::steal(points ? PyObject_CallMethod(obj, "reshape", "(nn)", Py_ssize_t{-1}, static_cast<Py_ssize_t>(n))
                          : PyObject_CallMethod(obj, "reshape", "(n)", Py_ssize_t{-1}));
  return static_cast<bool>(out);
}

// True for a plain number (not a sequence of numbers).
bool is_number(PyObject* obj) {
  return PyFloat_Check(obj) || PyLong_Check(obj) || (PyNumber_Check(obj) && !PySequence_Check(obj));
}

}  // namespace

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (!text) {
    PyErr_Clear();
    return "'object' object";
  }
  return std::string("'") + text + "' object";
}


bool is_numpy_array(PyObject* obj) {
  return import_numpy() && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_numpy_array_type));
}

bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const std::size_t count = signature.names.size();
  std::fill(out.begin(), out.end(), nullptr);
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (signature.positional < count && static_cast<std::size_t>(given) > signature.positional) {
    raise_formatted(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", signature.function,
                 signature.positional, signature.positional == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    return false;
  }
  if (static_cast<std::size_t>(given) > count) {
    if (signature.required == count) {
      raise_formatted(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", signature.function,
                   count, count == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
      raise_formatted(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                   signature.function, signature.required, count, given, given == 1 ? "was" : "were");
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
      if (!text) {
        if (!PyErr_Occurred()) raise(PyExc_TypeError, "keywords must be strings");
        return false;
      }
      std::size_t index = 0;
      for (const char* name : signature.names) {
        if (std::strcmp(name, text) == 0) break;
        ++index;
      }
      if (index == count) {
        raise_formatted(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", signature.function, text);
        return false;
      }
      if (out[index]) {
        raise_formatted(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function, text);
        return false;
      }
      out[index] = value;
    }
  }
  std::size_t index = 0;
  for (const char* name : signature.names) {
    if (index < signature.required && !out[index]) {
      raise_formatted(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.function, name,
                   index + 1);
      return false;
    }
    ++index;
  }
  return true;
}

bool to_int64(PyObject* obj, const char* name, std::int64_t& out) {
  return read_int64(obj, out) || prefix_argument_error(name);
}

bool to_int32(PyObject* obj, const char* name, std::int32_t& out) {
  std::int64_t wide = 0;
  if (!read_int64(obj, wide)) return prefix_argument_error(name);
  if (wide < std::numeric_limits<std::int32_t>::min() || wide > std::numeric_limits<std::int32_t>::max()) {
    return fail(PyExc_OverflowError, "Python int too large to convert to a 32-bit signed integer", name);
  }
  out = static_cast<std::int32_t>(wide);
  return true;
}

bool to_uint64(PyObject* obj, const char* name, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return prefix_argument_error(name);
  out = PyLong_AsUnsignedLongLong(index.get());
  if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return prefix_argument_error(name);
  return true;
}

bool to_double(PyObject* obj, const char* name, double& out) {
  return read_double(obj, out) || prefix_argument_error(name);
}

bool to_bool(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (import_numpy() && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_numpy_bool_type))) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return prefix_argument_error(name);
    out = truth != 0;
    return true;
  }
  PyErr_Clear();
  return fail(PyExc_TypeError, type_name(obj) + " cannot be converted to 'bool'", name);
}

bool to_string(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) return fail(PyExc_TypeError, type_name(obj) + " cannot be converted to 'str'", name);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) return prefix_argument_error(name);
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

template <std::size_t N>
bool to_rows(PyObject* obj, const char* name, Vec<std::array<double, N>>& out) {
  Ref rows;  // no recursion: a reshape that keeps the shape (as matrix subclasses do) is read as it is
  if (opencv_vector(obj, N, rows)) {
    obj = rows.get();
  } else if (PyErr_Occurred()) {
    return prefix_argument_error(name);
  }
  {
    Buffer buffer;
    Kind kind = Kind::kNone;
    if (numeric_array(obj, buffer, kind) && buffer.view().ndim == 2 && buffer.view().shape[1] == N) {
      return rows_from_array<N>(buffer.view(), kind, out);
    }
  }
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item || !read_row(item.get(), N, out[static_cast<std::size_t>(i)].data())) {
      return prefix_argument_error(name);
    }
  }
  return true;
}

template bool to_rows<2>(PyObject*, const char*, Vec<std::array<double, 2>>&);
template bool to_rows<3>(PyObject*, const char*, Vec<std::array<double, 3>>&);

bool to_rotation_rows(PyObject* obj, const char* name, Vec<Vec<double>>& out) {
  if (!PyUnicode_Check(obj) && PySequence_Check(obj) && PySequence_Size(obj) > 0) {
    Ref first = Ref::steal(PySequence_GetItem(obj, 0));
    if (!first) return prefix_argument_error(name);
    if (is_number(first.get())) {
      out.assign(1, {});
      return to_doubles(obj, name, out[0]);
    }
  }
  PyErr_Clear();  // a failed length query is reported by to_ragged_rows
  return to_ragged_rows(obj, name, out);
}

template <std::size_t N>
bool to_points(PyObject* obj, const char* name, Vec<std::array<double, N>>& out) {
  // Arrays, OpenCV's N x 1 x k shapes included, are read by to_rows.
  if (is_numpy_array(obj)) return to_rows<N>(obj, name, out);
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  if (length > 0) {
    Ref first = Ref::steal(PySequence_GetItem(obj, 0));
    Py_ssize_t first_length = 0;
    if (!first) return prefix_argument_error(name);
    if (!sequence_length(first.get(), first_length)) return prefix_argument_error(name);
    if (first_length == 1) {
      // Rows wrapped in a list of one: read each item's only element.
      out.resize(static_cast<std::size_t>(length));
      for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        Py_ssize_t item_length = 0;
        if (!item || !sequence_length(item.get(), item_length)) return prefix_argument_error(name);
        if (item_length != 1) {
          raise_formatted(PyExc_TypeError, "expected a sequence of length 1 (got %zd)", item_length);
          return prefix_argument_error(name);
        }
        Ref row = Ref::steal(PySequence_GetItem(item.get(), 0));
        if (!row || !read_row(row.get(), N, out[static_cast<std::size_t>(i)].data())) {
          return prefix_argument_error(name);
        }
      }
      return true;
    }
  }
  return to_rows<N>(obj, name, out);
}

template bool to_points<2>(PyObject*, const char*, Vec<std::array<double, 2>>&);
template bool to_points<3>(PyObject*, const char*, Vec<std::array<double, 3>>&);

template <std::size_t N>
bool to_point_lists(PyObject* obj, const char* name, Vec<Vec<std::array<double, N>>>& out) {
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.clear();
  for (Py_ssize_t i = 0; i < length; ++i) {
    // Appended one by one: a sequence that overstates its length fails at
    // the first missing item instead of reserving for all of them.
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_argument_error(name);
    out.emplace_back();
    if (!to_points<N>(item.get(), name, out.back())) return false;
  }
  return true;
}

template bool to_point_lists<2>(PyObject*, const char*, Vec<Vec<std::array<double, 2>>>&);
template bool to_point_lists<3>(PyObject*, const char*, Vec<Vec<std::array<double, 3>>>&);

bool check_sequence(PyObject* obj, const char* name) {
  Py_ssize_t length = 0;
  return sequence_length(obj, length) || prefix_argument_error(name);
}

bool to_ragged_rows(PyObject* obj, const char* name, Vec<Vec<double>>& out) {
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.assign(static_cast<std::size_t>(length), {});
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item || !to_doubles(item.get(), name, out[static_cast<std::size_t>(i)])) {
      if (!item) return prefix_argument_error(name);
      return false;  // already prefixed
    }
  }
  return true;
}

bool to_doubles(PyObject* obj, const char* name, Vec<double>& out) {
  {
    Buffer buffer;
    Kind kind = Kind::kNone;
    if (numeric_array(obj, buffer, kind) && flat_array(buffer.view(), kind, out)) return true;
  }
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item || !read_double(item.get(), out[static_cast<std::size_t>(i)])) return prefix_argument_error(name);
  }
  return true;
}

template <std::size_t N>
bool to_vector(PyObject* obj, const char* name, std::array<double, N>& out) {
  Vec<double> values;
  if (!to_doubles(obj, name, values)) return false;
  if (values.size() != N) return length_error(N, values.size()) || prefix_argument_error(name);
  std::copy(values.begin(), values.end(), out.begin());
  return true;
}

template bool to_vector<3>(PyObject*, const char*, std::array<double, 3>&);

template <std::size_t N, std::size_t M>
bool to_matrices(PyObject* obj, const char* name, Vec<std::array<std::array<double, M>, N>>& out) {
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.resize(static_cast<std::size_t>(length));
  Vec<std::array<double, M>> rows;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return prefix_argument_error(name);
    if (!to_rows<M>(item.get(), name, rows)) return false;
    if (rows.size() != N) return length_error(N, rows.size()) || prefix_argument_error(name);
    std::copy(rows.begin(), rows.end(), out[static_cast<std::size_t>(i)].begin());
  }
  return true;
}

template bool to_matrices<3, 3>(PyObject*, const char*, Vec<std::array<std::array<double, 3>, 3>>&);
template bool to_matrices<4, 2>(PyObject*, const char*, Vec<std::array<std::array<double, 2>, 4>>&);

bool to_int32s(PyObject* obj, const char* name, Vec<std::int32_t>& out) {
  Vec<std::int64_t> wide;
  if (!to_int64s(obj, name, wide)) return false;
  out.resize(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] < std::numeric_limits<std::int32_t>::min() || wide[i] > std::numeric_limits<std::int32_t>::max()) {
      return fail(PyExc_OverflowError, "Python int too large to convert to a 32-bit signed integer", name);
    }
    out[i] = static_cast<std::int32_t>(wide[i]);
  }
  return true;
}

bool to_uint64s(PyObject* obj, const char* name, Vec<std::uint64_t>& out) {
  Ref flat;
  if (opencv_vector(obj, 0, flat)) {
    obj = flat.get();
  } else if (PyErr_Occurred()) {
    return prefix_argument_error(name);
  }
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    Ref index = Ref::steal(item ? PyNumber_Index(item.get()) : nullptr);
    if (!index) return prefix_argument_error(name);
    out[static_cast<std::size_t>(i)] = PyLong_AsUnsignedLongLong(index.get());
    if (out[static_cast<std::size_t>(i)] == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
      return prefix_argument_error(name);
    }
  }
  return true;
}

bool to_int64s(PyObject* obj, const char* name, Vec<std::int64_t>& out) {
  Ref flat;
  if (opencv_vector(obj, 0, flat)) {
    obj = flat.get();
  } else if (PyErr_Occurred()) {
    return prefix_argument_error(name);
  }
  Py_ssize_t length = 0;
  if (!sequence_length(obj, length)) return prefix_argument_error(name);
  out.resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item || !read_int64(item.get(), out[static_cast<std::size_t>(i)])) return prefix_argument_error(name);
  }
  return true;
}

PyObject* float_list(std::span<const double> values) { return list_of(values, PyFloat_FromDouble); }

PyObject* float_pair(double x, double y) { return Py_BuildValue("(dd)", x, y); }

PyObject* int_list(std::span<const std::int32_t> values) {
  return list_of(values, [](std::int32_t v) { return PyLong_FromLong(v); });
}

PyObject* index_list(std::span<const std::size_t> values) { return list_of(values, PyLong_FromSize_t); }

PyObject* new_uint8_array(std::size_t height, std::size_t width, std::size_t channels,
                          const std::function<void(std::span<std::uint8_t>)>& fill) {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  const auto h = static_cast<Py_ssize_t>(height), w = static_cast<Py_ssize_t>(width);
  Ref array = Ref::steal(channels == 0 ? PyObject_CallMethod(numpy.get(), "empty", "((nn)s)", h, w, "uint8")
                                       : PyObject_CallMethod(numpy.get(), "empty", "((nnn)s)", h, w,
                                                             static_cast<Py_ssize_t>(channels), "uint8"));
  if (!array) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_CONTIG) != 0) return nullptr;
  const std::size_t bytes = height * width * std::max<std::size_t>(channels, 1);
  const bool fits = static_cast<std::size_t>(view.len) == bytes;
  if (fits) fill(std::span<std::uint8_t>(static_cast<std::uint8_t*>(view.buf), bytes));
  PyBuffer_Release(&view);
  if (!fits) return raise(PyExc_RuntimeError, "NumPy array of unexpected size");
  return array.release();
}

}  // namespace morvelin::py
