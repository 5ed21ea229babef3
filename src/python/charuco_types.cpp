#include "python/charuco_types.hpp"

#include <memory>
#include <string>

#include "charuco/board.hpp"
#include "charuco/charuco_detection.hpp"
#include "pose/board_pose.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/markers.hpp"
#include "python/object_state.hpp"
#include "python/parameters_type.hpp"
#include "python/class_type.hpp"
#include "python/pose_results.hpp"

namespace morvelin::py {
namespace {

PyTypeObject* g_board_type = nullptr;

// Boards are immutable after construction.
const CharucoBoard& board_of(PyObject* self) { return value_of<CharucoBoard>(self); }

bool to_board(PyObject* obj, const char* name) {
  if (PyObject_TypeCheck(obj, g_board_type)) return true;
  raise_formatted(PyExc_TypeError, "%s cannot be converted to 'CharucoBoard'", type_name(obj).c_str());
  return prefix_argument_error(name);
}

PyObject* point_tuple(Point2f p) { return float_pair(p.x, p.y); }

PyObject* points_list(std::span<const Point2f> points) { return list_of(points, point_tuple); }

// --- the class --------------------------------------------------------------

PyObject* board_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"CharucoBoard",
                                   {"squares_x", "squares_y", "square_length", "marker_length", "dictionary", "ids",
                                    "legacy_pattern"},
                                   5};
  PyObject* argv[7];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  std::uint64_t squares_x = 0, squares_y = 0;
  double square_length = 0.0, marker_length = 0.0;
  std::string dictionary;
  std::optional<Vec<std::uint64_t>> ids;
  bool legacy = false;
  if (!to_uint64(argv[0], "squares_x", squares_x) || !to_uint64(argv[1], "squares_y", squares_y) ||
      !to_double(argv[2], "square_length", square_length) || !to_double(argv[3], "marker_length", marker_length) ||
      !to_string(argv[4], "dictionary", dictionary)) {
    return nullptr;
  }
  if (!absent(argv[5]) && !to_uint64s(argv[5], "ids", ids.emplace())) return nullptr;
  if (argv[6] && !to_bool(argv[6], "legacy_pattern", legacy)) return nullptr;
  std::optional<std::span<const std::uint64_t>> id_span;
  if (ids) id_span = std::span<const std::uint64_t>(*ids);
  Result<CharucoBoard> board =
      CharucoBoard::create(squares_x, squares_y, square_length, marker_length, dictionary, id_span, legacy);
  if (!board) return raise(board.error());
  return new_instance(type, std::make_unique<CharucoBoard>(std::move(board).value()));
}

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return board_new_impl(type, args, kwargs); });
}

PyObject* board_chessboard_corners(PyObject* self, void*) {
  return guarded([&] {
    return list_of(board_of(self).chessboard_corners(),
                   [](const BoardPoint& p) { return Py_BuildValue("(ddd)", double{p[0]}, double{p[1]}, double{p[2]}); });
  });
}

PyObject* board_ids(PyObject* self, void*) {
  return guarded([&] { return list_of(board_of(self).ids(), PyLong_FromUnsignedLongLong); });
}

PyObject* board_repr(PyObject* self) {
  const CharucoBoard& b = board_of(self);
  const std::string name(b.dictionary_name());
  Ref square = Ref::steal(PyFloat_FromDouble(b.square_length()));
  Ref marker = Ref::steal(PyFloat_FromDouble(b.marker_length()));
  if (!square || !marker) return nullptr;
  return PyUnicode_FromFormat("CharucoBoard(squares_x=%llu, squares_y=%llu, square_length=%R, marker_length=%R, "
                              "dictionary='%s', legacy_pattern=%s)",
                              static_cast<unsigned long long>(b.squares_x()),
                              static_cast<unsigned long long>(b.squares_y()), square.get(), marker.get(),
                              name.c_str(), b.legacy_pattern() ? "True" : "False");
}

// The constructor arguments that rebuild an equal board.
PyObject* board_state(PyObject* self) {
  const CharucoBoard& b = board_of(self);
  const std::string name(b.dictionary_name());
  Ref ids = Ref::steal(board_ids(self, nullptr));
  if (!ids) return nullptr;
  return Py_BuildValue("(KKddsON)", static_cast<unsigned long long>(b.squares_x()),
                       static_cast<unsigned long long>(b.squares_y()), double{b.square_length()},
                       double{b.marker_length()}, name.c_str(), ids.get(), PyBool_FromLong(b.legacy_pattern()));
}

PyObject* board_reduce(PyObject* self, PyObject*) {
  return reduce_to(reinterpret_cast<PyObject*>(Py_TYPE(self)), Ref::steal(board_state(self)).get());
}

PyObject* board_richcompare(PyObject* a, PyObject* b, int op) { return compare_states(a, b, op, board_state); }
Py_hash_t board_hash(PyObject* self) { return hash_state(self, board_state); }

const PyMethodDef kBoardReduce = {"__reduce__", board_reduce, METH_NOARGS, nullptr};

PyGetSetDef g_board_getset[] = {
    {"chessboard_corners", board_chessboard_corners, nullptr,
     "Interior chessboard corners in board coordinates, as (x, y, z) triples.", nullptr},
    {"ids", board_ids, nullptr, "Marker ids laid out on the board.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kBoardDoc =
    "CharucoBoard(squares_x, squares_y, square_length, marker_length, dictionary, ids=None, "
    "legacy_pattern=False)\n--\n\n"
    "A ChArUco board: a chessboard with ArUco markers in its white squares.\n\n"
    "The board precomputes its own geometry, so build it once and reuse it across\n"
    "frames rather than constructing it per call.";

// --- functions ----------------------------------------------------------------

PyObject* detect_charuco_board_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "detect_charuco_board", {"image", "board", "parameters", "min_markers", "check_markers"}, 2};
  PyObject* argv[5];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  DetectorParameters params;
  std::int32_t min_markers = 2;
  bool check_markers = true;
  if (!check_image_type(argv[0], "image") || !to_board(argv[1], "board") ||
      !to_parameters(argv[2], "parameters", params) ||
      (argv[3] && !to_int32(argv[3], "min_markers", min_markers)) ||
      (argv[4] && !to_bool(argv[4], "check_markers", check_markers))) {
    return nullptr;
  }
  if (const char* message = check_min_markers(min_markers)) return raise_value_error(message);
  GrayInput image;
  if (!image.read(argv[0], "image")) return nullptr;
  Ref board_ref = Ref::borrow(argv[1]);  // keeps the board alive while unlocked
  const CharucoBoard& board = board_of(argv[1]);
  Result<CharucoDetection> found = [&] {
    GilRelease unlocked;
    return detect_charuco_board(image.view(), board, params, min_markers, check_markers);
  }();
  if (!found) return raise(found.error());
  Ref corners = Ref::steal(points_list(found->charuco_corners));
  Ref ids = Ref::steal(list_of(std::span<const std::uint64_t>(found->charuco_ids), PyLong_FromUnsignedLongLong));
  Ref marker_corners = Ref::steal(marker_corner_lists(found->markers));
  Ref marker_ids = Ref::steal(marker_id_list(found->markers));
  if (!corners || !ids || !marker_corners || !marker_ids) return nullptr;
  return PyTuple_Pack(4, corners.get(), ids.get(), marker_corners.get(), marker_ids.get());
}

PyObject* charuco_predict_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"_charuco_predict", {"image", "board"}, 2};
  PyObject* argv[2];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  GrayInput image;
  if (!image.read(argv[0], "image") || !to_board(argv[1], "board")) return nullptr;
  const CharucoPrediction prediction = predict_charuco_corners(image.view(), board_of(argv[1]));
  Ref corners = Ref::steal(points_list(prediction.corners));
  Ref windows = Ref::steal(list_of(std::span<const std::int32_t>(prediction.windows),
                                   [](std::int32_t w) { return PyLong_FromLong(w); }));
  if (!corners || !windows) return nullptr;
  return PyTuple_Pack(2, corners.get(), windows.get());
}

PyObject* estimate_pose_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{
      "estimate_pose_charuco_board", {"charuco_corners", "charuco_ids", "board", "camera_matrix", "dist_coeffs"}, 4};
  PyObject* argv[5];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  Vec<Point2> corners;
  Vec<std::int64_t> ids;
  CameraArguments camera_args;
  if (!to_rows<2>(argv[0], "charuco_corners", corners) || !to_int64s(argv[1], "charuco_ids", ids) ||
      !to_board(argv[2], "board") || !to_camera_arguments(argv[3], argv[4], camera_args)) {
    return nullptr;
  }
  const Result<std::optional<Pose>> pose = estimate_charuco_board_pose(
      corners, ids, board_of(argv[2]).chessboard_corners(), camera_args.matrix, camera_args.dist());
  if (!pose) return raise(pose.error());
  if (!*pose) Py_RETURN_NONE;
  return pose_tuple(**pose);
}

}  // namespace

const CharucoBoard& charuco_board_of(PyObject* self) { return board_of(self); }

bool check_charuco_board(PyObject* obj, const char* name) { return to_board(obj, name); }

PyObject* create_charuco_board_type() {
  // generate_image is defined with the other image generators, so the
  // table is filled at type creation, after static initialisation.
  static PyMethodDef methods[] = {kBoardReduce, kCharucoBoardGenerateImage, {nullptr, nullptr, 0, nullptr}};
  return define_class<CharucoBoard>(g_board_type, "morvelin.CharucoBoard",
                                    {{Py_tp_doc, const_cast<char*>(kBoardDoc)},
                                     {Py_tp_new, reinterpret_cast<void*>(board_new)},
                                     {Py_tp_repr, reinterpret_cast<void*>(board_repr)},
                                     {Py_tp_getset, g_board_getset},
                                     {Py_tp_methods, methods},
                                     {Py_tp_richcompare, reinterpret_cast<void*>(board_richcompare)},
                                     {Py_tp_hash, reinterpret_cast<void*>(board_hash)}});
}

const PyMethodDef kDetectCharucoBoard = {
    "detect_charuco_board", as_function<detect_charuco_board_impl>(), kArgumentsFlags,
    "detect_charuco_board(image, board, parameters=None, min_markers=2, check_markers=True)\n--\n\n"
    "Detect a ChArUco board in `image` (HxW grayscale or HxWx3 BGR, uint8).\n\n"
    "Returns `(charuco_corners, charuco_ids, marker_corners, marker_ids)`:\n"
    "  - `charuco_corners`: Nx2 sub-pixel refined chessboard corners\n"
    "  - `charuco_ids`: index of each corner within `board.chessboard_corners`\n"
    "  - `marker_corners` / `marker_ids`: the ArUco markers found along the way\n"
    "Markers under about 32 px a side are skipped at the default\n"
    "`min_side_length_canonical_img` = 32; set that field to 0 in `parameters`\n"
    "to find them (and the corners next to them)."};

const PyMethodDef kEstimatePoseCharucoBoard = {
    "estimate_pose_charuco_board", as_function<estimate_pose_impl>(), kArgumentsFlags,
    "estimate_pose_charuco_board(charuco_corners, charuco_ids, board, camera_matrix, dist_coeffs=None)\n--\n\n"
    "Estimate the pose of a ChArUco board from detected chessboard corners\n"
    "(cv::aruco::estimatePoseCharucoBoard).\n\n"
    "`charuco_ids` index into `board.chessboard_corners`. Returns `(rvec, tvec)`\n"
    "or None if the pose could not be estimated (fewer than 4 corners, or the\n"
    "corners are collinear)."};

const PyMethodDef kCharucoPredict = {
    "_charuco_predict", as_function<charuco_predict_impl>(), kArgumentsFlags,
    "_charuco_predict(image, board)\n--\n\n"
    "Test hook: interpolated charuco corners and window sizes, pre-refinement."};

}  // namespace morvelin::py
