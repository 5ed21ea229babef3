#include "contours/border_following.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace morvelin {
namespace {

// Neighbour directions, clockwise on screen (y down), starting west.
constexpr std::array<std::int32_t, 8> kStepX = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr std::array<std::int32_t, 8> kStepY = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kWest = 0;
constexpr int kEast = 4;

class BorderTracer {
 public:
  BorderTracer(BinaryImage& image, const ContourCallback& on_contour)
      : cells_(image.cells.data()),
        width_(image.width),
        max_length_(static_cast<std::uint64_t>(image.width) * image.height + 2),
        on_contour_(on_contour) {
    const auto stride = static_cast<std::ptrdiff_t>(image.stride());
    for (int d = 0; d < 8; ++d) offset_[d] = kStepX[d] + kStepY[d] * stride;
  }

  // Traces the border through cell `start` (image pixel (x, y)) whose
  // neighbour in direction `d0` is background.
  void trace(std::ptrdiff_t start, std::int64_t x, std::int64_t y, int d0) {
    contour_.clear();
    int first_dir = -1;
    for (int k = 1; k < 8; ++k) {
      const int dir = (d0 + k) & 7;
      if (cells_[start + offset_[dir]] != 0) {
        first_dir = dir;
        break;
      }
    }
    if (first_dir < 0) {  // isolated pixel
      contour_.push_back(position(x, y));
      cells_[start] = -2;
      on_contour_(contour_);
      return;
    }
    const std::ptrdiff_t follower = start + offset_[first_dir];
    std::ptrdiff_t c = start;
    int d = first_dir;
    while (true) {
      contour_.push_back(position(x, y));
      int k = 7;
      int n = 0;
      for (; k >= 0; --k) {
        n = (d + k) & 7;
        if (cells_[c + offset_[n]] != 0) break;
      }
      if (k < 0) {  // no foreground neighbour left: cannot happen on a real border
        cells_[c] = -2;
        break;
      }
      if (x + 1 == static_cast<std::int64_t>(width_) || k < ((kEast - d) & 7)) {
        cells_[c] = -2;
      } else if (cells_[c] == 1) {
        cells_[c] = 2;
      }
      const std::ptrdiff_t next = c + offset_[n];
      if (c == follower && next == start) break;
      if (contour_.size() >= max_length_) break;
      c = next;
      d = (n + 4) & 7;
      x += kStepX[n];
      y += kStepY[n];
    }
    on_contour_(contour_);
  }

 private:
  // Positions are 32-bit; coordinates are tracked in 64 bits so that even an
  // absurdly wide image cannot overflow while stepping.
  static ContourPoint position(std::int64_t x, std::int64_t y) {
    return {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)};
  }

  std::int8_t* cells_;
  std::uint32_t width_;
  std::uint64_t max_length_;
  const ContourCallback& on_contour_;
  std::array<std::ptrdiff_t, 8> offset_{};
  Contour contour_;
};

bool eight_background_cells(const std::int8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word == 0;
}

}  // namespace

void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour) {
  const std::uint32_t width = image.width;
  const std::uint32_t height = image.height;
  if (width == 0 || height == 0) return;
  BorderTracer tracer(image, on_contour);
  const std::size_t stride = image.stride();
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::ptrdiff_t row_start = static_cast<std::ptrdiff_t>((y + 1) * stride + 1);
    const std::int8_t* row = image.cells.data() + row_start;
    std::uint32_t x = 0;
    while (x < width) {
      if (width - x >= 8 && eight_background_cells(row + x)) {
        x += 8;
        continue;
      }
      const std::int8_t v = row[x];
      if (v != 0) {
        const auto cell = row_start + static_cast<std::ptrdiff_t>(x);
        const auto xi = static_cast<std::int64_t>(x);
        const auto yi = static_cast<std::int64_t>(y);
        if (x >= 1 && v == 1 && row[x - 1] == 0) {
          tracer.trace(cell, xi, yi, kWest);
        } else if (v >= 1 && x + 1 < width && row[x + 1] == 0) {
          tracer.trace(cell, xi, yi, kEast);
        }
      }
      ++x;
    }
  }
}

}  // namespace morvelin
