// GrayImage: an owned 8-bit single-channel image, rows packed without padding.
// GrayView: the same layout read in place, from a GrayImage or from memory
// the caller keeps alive (a NumPy array's buffer), so that finding targets
// never has to copy its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/allocator.hpp"

namespace morvelin {

struct GrayImage {
  Vec<std::uint8_t> pixels;  // row-major; pixel (x, y) at y * width + x
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  GrayImage() = default;
  GrayImage(std::uint32_t w, std::uint32_t h, std::uint8_t fill = 0)
      : pixels(static_cast<std::size_t>(w) * h, fill), width(w), height(h) {}
  GrayImage(Vec<std::uint8_t> data, std::uint32_t w, std::uint32_t h)
      : pixels(std::move(data)), width(w), height(h) {}

  bool empty() const noexcept { return width == 0 || height == 0; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(width) * height; }
  std::uint8_t at(std::uint32_t x, std::uint32_t y) const noexcept {
    return pixels[static_cast<std::size_t>(y) * width + x];
  }
  const std::uint8_t* row(std::uint32_t y) const noexcept {
    return pixels.data() + static_cast<std::size_t>(y) * width;
  }
  std::uint8_t* row(std::uint32_t y) noexcept { return pixels.data() + static_cast<std::size_t>(y) * width; }
};

struct GrayView {
  const std::uint8_t* pixels = nullptr;  // row-major; pixel (x, y) at y * width + x
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  GrayView() = default;
  GrayView(const std::uint8_t* data, std::uint32_t w, std::uint32_t h) noexcept : pixels(data), width(w), height(h) {}
  GrayView(const GrayImage& image) noexcept  // NOLINT(google-explicit-constructor): every image is a view
      : pixels(image.pixels.data()), width(image.width), height(image.height) {}

  bool empty() const noexcept { return width == 0 || height == 0; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(width) * height; }
  std::span<const std::uint8_t> span() const noexcept { return {pixels, size()}; }
  std::uint8_t at(std::uint32_t x, std::uint32_t y) const noexcept {
    return pixels[static_cast<std::size_t>(y) * width + x];
  }
  const std::uint8_t* row(std::uint32_t y) const noexcept { return pixels + static_cast<std::size_t>(y) * width; }
};

}  // namespace morvelin
