#include "contours/border_following.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "runtime/cpu_features.hpp"

namespace morvelin {
namespace {

// Neighbour directions, clockwise on screen (y down), starting west.
constexpr std::array<std::int32_t, 8> kStepX = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr std::array<std::int32_t, 8> kStepY = {0, -1, -1, -1, 0, 1, 1, 1};
constexpr int kWest = 0;
constexpr int kEast = 4;

// Safety bound on the positions of one border. A border may pass through a
// pixel several times (a one-pixel line is walked there and back, so a line
// of L pixels gives 2L - 2 positions and a comb of such lines nearly twice
// its pixel count), so W * H is not enough. The trace is a walk over (cell,
// direction) states that closes before it repeats one, so no border needs
// more than 8 * W * H positions: the bound only stops a broken invariant.
std::uint64_t border_length_bound(std::uint32_t width, std::uint32_t height) {
  const std::uint64_t cells = static_cast<std::uint64_t>(width) * height;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return cells > (kMax - 2) / 8 ? kMax : 8 * cells + 2;
}

class BorderTracer {
 public:
  BorderTracer(BinaryImage& image, const ContourCallback& on_contour)
      : cells_(image.cells.data()),
        width_(image.width),
        max_length_(border_length_bound(image.width, image.height)),
        on_contour_(on_contour) {
    const auto stride = static_cast<std::ptrdiff_t>(image.stride());
    for (int d = 0; d < 16; ++d) offset_[d] = kStepX[d & 7] + kStepY[d & 7] * stride;
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
      while (k >= 0 && cells_[c + offset_[d + k]] == 0) --k;
      const int n = (d + k) & 7;
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
  std::array<std::ptrdiff_t, 16> offset_{};  // direction d at d and d + 8
  Contour contour_;
};

std::uint64_t load_word(const std::int8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// Skips whole 32-cell blocks of row[from, width) that hold no cell of the
// kind sought; returns the index of the first such cell, or the start of the
// unexamined tail (fewer than 32 cells) when the blocks hold none.
[[gnu::target("avx2")]] std::uint32_t skip_blocks_avx2(const std::int8_t* row, std::uint32_t from,
                                                       std::uint32_t width, bool want_zero) {
  const __m256i zero = _mm256_setzero_si256();
  std::uint32_t x = from;
  while (width - x >= 32) {
    const __m256i cells = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
    auto zeros = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(cells, zero)));
    const std::uint32_t hits = want_zero ? zeros : ~zeros;
    if (hits != 0) return x + static_cast<std::uint32_t>(std::countr_zero(hits));
    x += 32;
  }
  return x;
}
#endif

// Index of the first background (zero) or, with `want_zero` false, the
// first foreground cell in row[from, width), or width when there is none.
// Eight cells are examined at once where possible, 32 with `wide`.
std::uint32_t find_cell(const std::int8_t* row, std::uint32_t from, std::uint32_t width, bool want_zero,
                        [[maybe_unused]] bool wide) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  std::uint32_t x = from;
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (wide) {
    x = skip_blocks_avx2(row, from, width, want_zero);
    if (width - x >= 32) return x;  // found within a block
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (width - x >= 8) {
      const std::uint64_t word = load_word(row + x);
      // Flags the lowest zero byte exactly (higher flags may be spurious).
      const std::uint64_t flags = want_zero ? ((word - kOnes) & ~word & kHighs) : word;
      if (flags != 0) return x + static_cast<std::uint32_t>(std::countr_zero(flags)) / 8;
      x += 8;
    }
  }
  while (x < width && (row[x] == 0) != want_zero) ++x;
  return x;
}

template <class Stop>
void trace_rows(BinaryImage& image, const ContourCallback& on_contour, const Stop& stop) {
  const std::uint32_t width = image.width;
  const std::uint32_t height = image.height;
  if (width == 0 || height == 0) return;
  BorderTracer tracer(image, on_contour);
  const std::size_t stride = image.stride();
  const bool wide = cpu_has_avx2();
  for (std::uint32_t y = 0; y < height && !stop(); ++y) {
    const std::ptrdiff_t row_start = static_cast<std::ptrdiff_t>((y + 1) * stride + 1);
    const std::int8_t* row = image.cells.data() + row_start;
    const auto yi = static_cast<std::int64_t>(y);
    std::uint32_t x = 0;
    while (true) {
      // Runs of background cells start nothing. In a run of foreground cells
      // only the first can start an outer border and only the last can start
      // a hole border; tracing re-marks cells but never changes which cells
      // are background, so the run's extent stays valid while it is handled.
      const std::uint32_t first = find_cell(row, x, width, false, wide);
      if (first == width) break;
      const std::uint32_t end = find_cell(row, first + 1, width, true, wide);
      const std::uint32_t last = end - 1;
      const std::int8_t v = row[first];
      if (first >= 1 && v == 1) {
        tracer.trace(row_start + first, first, yi, kWest);
      } else if (v >= 1 && first == last && end < width) {
        tracer.trace(row_start + first, first, yi, kEast);
      }
      if (last > first && row[last] >= 1 && end < width) tracer.trace(row_start + last, last, yi, kEast);
      x = end;
    }
  }
}

}  // namespace

void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour) {
  trace_rows(image, on_contour, [] { return false; });
}

void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour, const std::function<bool()>& stop) {
  trace_rows(image, on_contour, stop);
}

}  // namespace morvelin
