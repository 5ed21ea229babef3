// find_chessboard_corners.
#include <optional>

#include "chessboard/find_chessboard_corners.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace morvelin::py {
namespace {

// (columns, rows): a tuple of exactly two non-negative integers.
bool to_pattern_size(PyObject* obj, std::uint64_t& columns, std::uint64_t& rows) {
  constexpr const char* kName = "pattern_size";
  if (!PyTuple_Check(obj)) {
    raise_formatted(PyExc_TypeError, "%s cannot be converted to 'tuple'", type_name(obj).c_str());
    return prefix_argument_error(kName);
  }
  if (PyTuple_Size(obj) != 2) {
    raise_formatted(PyExc_TypeError, "expected a tuple of length 2 (got %zd)", PyTuple_Size(obj));
    return prefix_argument_error(kName);
  }
  return to_uint64(PyTuple_GetItem(obj, 0), kName, columns) && to_uint64(PyTuple_GetItem(obj, 1), kName, rows);
}

PyObject* find_chessboard_corners_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"find_chessboard_corners", {"image", "pattern_size"}, 2};
  PyObject* argv[2];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  std::uint64_t columns = 0, rows = 0;
  if (!check_image_type(argv[0], "image") || !to_pattern_size(argv[1], columns, rows)) return nullptr;
  if (columns <= 2 || rows <= 2) return raise_value_error("both pattern_size dimensions must be greater than 2");
  GrayInput image;
  if (!image.read(argv[0], "image")) return nullptr;
  Result<std::optional<Vec<Point2f>>> found = [&] {
    GilRelease unlocked;
    return find_chessboard_corners(image.view(), columns, rows);
  }();
  if (!found) return raise(found.error());
  Ref corners = Ref::steal(*found ? list_of(std::span<const Point2f>(**found),
                                            [](Point2f p) { return float_pair(p.x, p.y); })
                                  : PyList_New(0));
  if (!corners) return nullptr;
  return PyTuple_Pack(2, *found ? Py_True : Py_False, corners.get());
}

}  // namespace

const PyMethodDef kFindChessboardCorners = {
    "find_chessboard_corners",
    as_function<find_chessboard_corners_impl>(),
    kArgumentsFlags,
    "find_chessboard_corners(image, pattern_size)\n--\n\n"
    "Find all interior corners of a generic black-and-white chessboard.\n\n"
    "`pattern_size` is `(columns, rows)` of interior corners, matching OpenCV's\n"
    "`findChessboardCorners` convention. Returns `(found, corners)`, with corners\n"
    "in row-major order and refined to sub-pixel accuracy."};

}  // namespace morvelin::py
