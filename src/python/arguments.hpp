// Argument matching and conversion of Python arguments to owned native data.
// Every converter returns false with a Python exception set whose message
// starts with "argument 'NAME': ".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>

#include "image/channel_image.hpp"
#include "image/gray_image.hpp"
#include "python/py_ref.hpp"
#include "runtime/allocator.hpp"

namespace morvelin::py {

// The calling convention of one module function: positional or keyword
// arguments under `names`, the first `required` of them mandatory.
struct Signature {
  const char* function;
  std::initializer_list<const char*> names;
  std::size_t required;
  std::size_t positional = static_cast<std::size_t>(-1);  // the rest are keyword-only
};

// Matches `args` and `kwargs` against `signature`; out[i] receives a borrowed
// reference to argument i, or nullptr when an optional one is absent.
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// True for nullptr and None: an optional argument that was not given.
inline bool absent(PyObject* obj) noexcept { return obj == nullptr || obj == Py_None; }

// "'TYPE' object" naming the Python type of obj, for messages.
std::string type_name(PyObject* obj);

bool is_numpy_array(PyObject* obj);

// A new uint8 NumPy array of shape (height, width), or (height, width,
// channels) when channels is not 0, whose bytes (row-major) `fill` writes;
// nullptr with the exception pending when it cannot be made.
PyObject* new_uint8_array(std::size_t height, std::size_t width, std::size_t channels,
                          const std::function<void(std::span<std::uint8_t>)>& fill);

// Scalars.
bool to_int32(PyObject* obj, const char* name, std::int32_t& out);
bool to_int64(PyObject* obj, const char* name, std::int64_t& out);
bool to_uint64(PyObject* obj, const char* name, std::uint64_t& out);
bool to_double(PyObject* obj, const char* name, double& out);
bool to_bool(PyObject* obj, const char* name, bool& out);
bool to_string(PyObject* obj, const char* name, std::string& out);

// Point lists: a sequence of rows of exactly N numbers each. NumPy arrays of
// shape M x 1 x N or 1 x M x N, as OpenCV keeps point lists, are read as their
// M x N view.
template <std::size_t N>
bool to_rows(PyObject* obj, const char* name, Vec<std::array<double, N>>& out);
extern template bool to_rows<2>(PyObject*, const char*, Vec<std::array<double, 2>>&);
extern template bool to_rows<3>(PyObject*, const char*, Vec<std::array<double, 3>>&);

// Exactly N numbers, e.g. a rotation vector. A NumPy array holding N numbers
// in any shape (3, (3, 1), (1, 3)) is accepted as well.
template <std::size_t N>
bool to_vector(PyObject* obj, const char* name, std::array<double, N>& out);
extern template bool to_vector<3>(PyObject*, const char*, std::array<double, 3>&);

// A sequence of N x M matrices given as rows, e.g. 3 x 3 rotations or a
// marker's 4 corners of 2 coordinates.
template <std::size_t N, std::size_t M>
bool to_matrices(PyObject* obj, const char* name, Vec<std::array<std::array<double, M>, N>>& out);
extern template bool to_matrices<3, 3>(PyObject*, const char*, Vec<std::array<std::array<double, 3>, 3>>&);
extern template bool to_matrices<4, 2>(PyObject*, const char*, Vec<std::array<std::array<double, 2>, 4>>&);

// Point lists as calibration routines also lay them out: rows of N numbers,
// or 1 x N rows (N x 1 x N arrays).
template <std::size_t N>
bool to_points(PyObject* obj, const char* name, Vec<std::array<double, N>>& out);
extern template bool to_points<2>(PyObject*, const char*, Vec<std::array<double, 2>>&);
extern template bool to_points<3>(PyObject*, const char*, Vec<std::array<double, 3>>&);

// A sequence of such point lists, one per view.
template <std::size_t N>
bool to_point_lists(PyObject* obj, const char* name, Vec<Vec<std::array<double, N>>>& out);
extern template bool to_point_lists<2>(PyObject*, const char*, Vec<Vec<std::array<double, 2>>>&);
extern template bool to_point_lists<3>(PyObject*, const char*, Vec<Vec<std::array<double, 3>>>&);

// A sequence of rows of any length (matrices whose shape is checked later).
bool to_ragged_rows(PyObject* obj, const char* name, Vec<Vec<double>>& out);

// A rotation for rodrigues: rows of any length as to_ragged_rows, or a flat
// sequence of numbers (a NumPy array of shape (3,), a list of three floats)
// taken as one row.
bool to_rotation_rows(PyObject* obj, const char* name, Vec<Vec<double>>& out);

// A flat sequence of numbers, or of integers. NumPy arrays of shape N x 1 or
// 1 x N (OpenCV's id lists) are read flat.
bool to_doubles(PyObject* obj, const char* name, Vec<double>& out);
bool to_int64s(PyObject* obj, const char* name, Vec<std::int64_t>& out);
bool to_int32s(PyObject* obj, const char* name, Vec<std::int32_t>& out);
bool to_uint64s(PyObject* obj, const char* name, Vec<std::uint64_t>& out);

// The type checks of an image argument alone (a uint8 NumPy array), for
// functions that validate other arguments before converting the image.
bool check_image_type(PyObject* obj, const char* name);

// A sequence argument other than str, checked before it is iterated.
bool check_sequence(PyObject* obj, const char* name);

// An image argument as gray pixels: a uint8 NumPy array, H x W or H x W x C
// with C in {1, 3}, any strides; three channels are BGR and become gray. A
// C-contiguous gray array is read in place: its buffer is held until this
// object goes, which keeps the array alive and its memory where it is (NumPy
// refuses to resize an array whose buffer is held). Any other layout is
// converted into a copy of its own.
class GrayInput {
 public:
  GrayInput() = default;
  GrayInput(GrayInput&& other) noexcept;
  GrayInput(const GrayInput&) = delete;
  GrayInput& operator=(const GrayInput&) = delete;
  GrayInput& operator=(GrayInput&&) = delete;
  ~GrayInput();

  bool read(PyObject* obj, const char* name);
  GrayView view() const noexcept { return view_; }

 private:
  Py_buffer buffer_{};  // the array's, while it is read in place
  bool held_ = false;
  UninitializedVec<std::uint8_t> copy_;  // the converted pixels otherwise
  GrayView view_;
};

// An image keeping its channels (1 or 3, interleaved as given), with the
// checks and messages of GrayInput.
bool to_channel_image(PyObject* obj, const char* name, ChannelImage& out);

// Python results.

// A new list holding make(v) for each value; nullptr if any item fails.
template <class T, class Make>
PyObject* list_of(std::span<const T> values, Make make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* float_list(std::span<const double> values);
PyObject* float_pair(double x, double y);
PyObject* int_list(std::span<const std::int32_t> values);
PyObject* index_list(std::span<const std::size_t> values);

}  // namespace morvelin::py
