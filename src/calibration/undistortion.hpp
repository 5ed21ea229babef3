// Removing lens distortion: the normalised coordinates of pixels (the
// inverse of the distortion, by Newton's method), undistorted images by
// bilinear remapping, and the camera matrix that frames an undistorted image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "image/channel_image.hpp"
#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// The normalised point (x′, y′) whose distortion images at `pixel`. Newton
// steps on the distortion, halved while they do not reduce the mismatch,
// until a step moves less than 1e-15 (at most 50 steps); the best point
// found stands where the distortion cannot be inverted. Non-finite input
// gives non-finite output.
Point2 undistort_point(const Point2& pixel, const CameraModel& camera) noexcept;

// undistort_point of each pixel; with `new_camera`, mapped to its pixels
// (fx·x′ + cx, fy·y′ + cy) instead.
Vec<Point2> undistort_points(std::span<const Point2> pixels, const CameraModel& camera,
                             const std::optional<CameraModel>& new_camera);

// The image `new_camera` would see without distortion: output pixel (u, v)
// takes the input at the pixel where `camera` images the ray of (u, v) under
// `new_camera`, interpolated bilinearly and rounded; input outside the image
// counts as 0. `out` receives the pixels, same size and layout as the input
// (nothing is written when it is shorter); rows in parallel.
void undistort_image(const ChannelImage& image, const CameraModel& camera, const CameraModel& new_camera,
                     std::span<std::uint8_t> out);

// A camera matrix for undistorted images of `width` x `height`: `alpha` 0
// frames only pixels that have an input pixel behind them, 1 keeps every
// input pixel in view, values between interpolate. Found from the
// undistorted positions of a 9 x 9 grid over the image. `valid` is the
// rectangle (x, y, width, height) of output pixels with input behind them:
// the largest axis-aligned rectangle inside the grid's border, its corner
// and size rounded to whole pixels and clipped to the image.
struct NewCamera {
  CameraModel camera;  // no distortion
  std::array<std::int64_t, 4> valid{};
};
NewCamera optimal_new_camera(const CameraModel& camera, std::int64_t width, std::int64_t height, double alpha);

}  // namespace morvelin
