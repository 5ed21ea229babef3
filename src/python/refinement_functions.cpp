// _corner_sub_pix: the sub-pixel corner refiner exposed as a test hook.
#include "subpixel/corner_sub_pix.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace morvelin::py {
namespace {

PyObject* corner_sub_pix_impl(PyObject* args, PyObject* kwargs) {
  static const Signature signature{"_corner_sub_pix", {"image", "corners", "win", "max_iters", "eps"}, 5};
  PyObject* argv[5];
  if (!parse_arguments(signature, args, kwargs, argv)) return nullptr;
  GrayInput image;
  Vec<std::array<double, 2>> points;
  std::uint64_t win = 0;
  std::int32_t max_iters = 0;
  double eps = 0.0;
  if (!image.read(argv[0], "image") || !to_rows<2>(argv[1], "corners", points) ||
      !to_uint64(argv[2], "win", win) || !to_int32(argv[3], "max_iters", max_iters) ||
      !to_double(argv[4], "eps", eps)) {
    return nullptr;
  }
  Vec<Point2f> corners(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    corners[i] = {static_cast<float>(points[i][0]), static_cast<float>(points[i][1])};
  }
  corner_sub_pix(image.view(), corners, win, max_iters, eps);
  return list_of(std::span<const Point2f>(corners), [](Point2f p) { return float_pair(p.x, p.y); });
}

}  // namespace

const PyMethodDef kCornerSubPix = {
    "_corner_sub_pix", as_function<corner_sub_pix_impl>(),
    kArgumentsFlags,
    "_corner_sub_pix(image, corners, win, max_iters, eps)\n--\n\n"
    "Test hook: run cornerSubPix directly so it can be compared against\n"
    "cv2.cornerSubPix on identical inputs. Not part of the public API."};

}  // namespace morvelin::py
