// generate_marker_image and CharucoBoard.generate_image: printable images as
// uint8 NumPy arrays.
#include <cstring>
#include <string>

#include "dictionary/dictionary.hpp"
#include "python/arguments.hpp"
#include "python/charuco_types.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/markers.hpp"
#include "render/board_image.hpp"
#include "render/marker_image.hpp"

namespace morvelin::py {
namespace {

// A new H x W uint8 NumPy array holding the pixels of `image`.
PyObject* to_array(const GrayImage& image) {
  return new_uint8_array(image.height, image.width, 0, [&](std::span<std::uint8_t> out) {
    if (!out.empty()) std::memcpy(out.data(), image.pixels.data(), out.size());
  });
}

PyObject* generate_marker_image_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"generate_marker_image", {"dictionary", "id", "side_pixels", "border_bits"}, 3};
  PyObject* argv[4];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  std::string name;
  std::int64_t id = 0, side_pixels = 0, border_bits = 1;
  if (!to_string(argv[0], "dictionary", name) || !to_int64(argv[1], "id", id) ||
      !to_int64(argv[2], "side_pixels", side_pixels) ||
      (argv[3] && !to_int64(argv[3], "border_bits", border_bits))) {
    return nullptr;
  }
  const auto dictionary = lookup_dictionary(name);
  if (!dictionary) return raise_unknown_dictionary(name);
  Result<GrayImage> image = [&] {
    GilRelease unlocked;
    return render_marker_image(*dictionary, name, id, side_pixels, border_bits);
  }();
  if (!image) return raise(image.error());
  return to_array(*image);
}

PyObject* board_generate_image_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"generate_image", {"width", "height", "margin_pixels"}, 2};
  PyObject* argv[3];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  std::int64_t width = 0, height = 0, margin = 0;
  if (!to_int64(argv[0], "width", width) || !to_int64(argv[1], "height", height) ||
      (argv[2] && !to_int64(argv[2], "margin_pixels", margin))) {
    return nullptr;
  }
  Ref keep = Ref::borrow(self);  // the board stays alive while unlocked
  const CharucoBoard& board = charuco_board_of(self);
  Result<GrayImage> image = [&] {
    GilRelease unlocked;
    return render_charuco_board_image(board, width, height, margin);
  }();
  if (!image) return raise(image.error());
  return to_array(*image);
}

}  // namespace

const PyMethodDef kGenerateMarkerImage = {
    "generate_marker_image",
    as_function<generate_marker_image_impl>(),
    kArgumentsFlags,
    "generate_marker_image(dictionary, id, side_pixels, border_bits=1)\n--\n\n"
    "Draw marker `id` of `dictionary` as printed: a side_pixels x side_pixels uint8\n"
    "array (0 black, 255 white) with a black border `border_bits` cells wide around\n"
    "the data cells. Each pixel takes the colour of the cell under its centre, so\n"
    "choose side_pixels as a multiple of the cell count for equal cells."};

const PyMethodDef kCharucoBoardGenerateImage = {
    "generate_image", as_method<board_generate_image_impl>(),
    kArgumentsFlags,
    "generate_image($self, /, width, height, margin_pixels=0)\n--\n\n"
    "Draw the board as printed: a height x width uint8 array (0 black, 255 white).\n"
    "The board keeps its proportions, is scaled to fit inside a white margin of\n"
    "`margin_pixels` and is centred; square (0, 0) is dark unless the legacy\n"
    "pattern puts a marker there."};

}  // namespace morvelin::py
