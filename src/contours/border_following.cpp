#include "contours/border_following.hpp"

#include <algorithm>
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
  BorderTracer(BinaryImage& image, const ContourCallback& on_contour, std::size_t min_length)
      : cells_(image.cells.data()),
        width_(image.width),
        max_length_(border_length_bound(image.width, image.height)),
        min_length_(min_length),
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
      hand_over();
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
    hand_over();
  }

 private:
  void hand_over() {
    if (contour_.size() >= min_length_) on_contour_(contour_);
  }

  // Positions are 32-bit; coordinates are tracked in 64 bits so that even an
  // absurdly wide image cannot overflow while stepping.
  static ContourPoint position(std::int64_t x, std::int64_t y) {
    return {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)};
  }

  std::int8_t* cells_;
  std::uint32_t width_;
  std::uint64_t max_length_;
  std::size_t min_length_;
  const ContourCallback& on_contour_;
  std::array<std::ptrdiff_t, 16> offset_{};  // direction d at d and d + 8
  Contour contour_;
};

std::uint64_t load_word(const std::int8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

// Bit x of the mask is set when cell x of the row is foreground (non-zero).
// Tracing re-marks foreground cells but never turns one into background or
// back, so a row's mask stays valid while the row's borders are traced.
class RowMask {
 public:
  explicit RowMask(std::uint32_t width) : width_(width), words_(width / 64 + 1, 0) {}

  void load(const std::int8_t* row) {
    std::uint32_t x = 0;
#if MORVELIN_HAVE_AVX2_VARIANTS
    if (cpu_has_avx2()) x = load_avx2(row);
#endif
    for (; x < width_; x += 8) load_eight(row, x);
  }

  // Calls run(first, end) for every run of foreground cells [first, end),
  // left to right. A run starts or ends wherever a cell differs from the one
  // before it (the cell before the row counts as background); the bits past
  // the width are clear, so a run reaching the end of the row ends there.
  template <class Run>
  void for_each_run(const Run& run) const {
    const std::uint64_t* words = words_.data();
    const std::size_t count = words_.size();
    std::uint64_t before = 0;  // the previous word's last cell, at bit 0
    std::uint32_t first = 0;
    bool open = false;
    for (std::size_t w = 0;; ++w) {
      // Words without a change are skipped in a loop of their own, which
      // keeps its state in registers (the runs' work does not).
      std::uint64_t bits = 0;
      std::uint64_t changes = 0;
      for (; w < count; ++w) {
        bits = words[w];
        changes = bits ^ ((bits << 1) | before);
        if (changes != 0) break;
        before = bits >> 63;
      }
      if (w == count) return;
      before = bits >> 63;
      while (changes != 0) {
        const auto x = static_cast<std::uint32_t>(w * 64 + static_cast<std::uint64_t>(std::countr_zero(changes)));
        changes &= changes - 1;
        if (open) run(first, x);
        first = x;
        open = !open;
      }
    }
  }

 private:
  // Eight cells from x (fewer at the end of the row) into bits x ... x + 7.
  void load_eight(const std::int8_t* row, std::uint32_t x) {
    std::uint64_t bits = 0;
    const std::uint32_t n = std::min<std::uint32_t>(8, width_ - x);
    if (std::endian::native == std::endian::little && n == 8) {
      constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
      const std::uint64_t word = load_word(row + x);
      // The top bit of each byte, set when the byte is non-zero (the sum
      // stays within its byte), then the eight top bits gathered in order
      // by one multiplication whose partial products never overlap.
      const std::uint64_t nonzero = (((word & kLow7) + kLow7) | word) & ~kLow7;
      bits = ((nonzero >> 7) * 0x0102040810204080ull) >> 56;
    } else {
      for (std::uint32_t i = 0; i < n; ++i) bits |= static_cast<std::uint64_t>(row[x + i] != 0) << i;
    }
    std::uint64_t& word = words_[x / 64];
    word = (word & ~(std::uint64_t{0xff} << (x % 64))) | (bits << (x % 64));
  }

#if MORVELIN_HAVE_AVX2_VARIANTS
  // Whole 64-cell words, 32 cells a step; returns the cells done.
  [[gnu::target("avx2")]] std::uint32_t load_avx2(const std::int8_t* row) {
    const __m256i zero = _mm256_setzero_si256();
    std::uint32_t x = 0;
    for (; width_ - x >= 64; x += 64) {
      const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x));
      const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x + 32));
      const auto zeros_lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero)));
      const auto zeros_hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)));
      words_[x / 64] = ~((static_cast<std::uint64_t>(zeros_hi) << 32) | zeros_lo);
    }
    return x;
  }
#endif

  std::uint32_t width_;
  Vec<std::uint64_t> words_;
};

template <class Stop>
void trace_rows(BinaryImage& image, const ContourCallback& on_contour, const Stop& stop, std::size_t min_length) {
  const std::uint32_t width = image.width;
  const std::uint32_t height = image.height;
  if (width == 0 || height == 0) return;
  BorderTracer tracer(image, on_contour, min_length);
  const std::size_t stride = image.stride();
  RowMask mask(width);
  for (std::uint32_t y = 0; y < height && !stop(); ++y) {
    const std::ptrdiff_t row_start = static_cast<std::ptrdiff_t>((y + 1) * stride + 1);
    const std::int8_t* row = image.cells.data() + row_start;
    const auto yi = static_cast<std::int64_t>(y);
    mask.load(row);
    // Runs of background cells start nothing. In a run of foreground cells
    // only the first can start an outer border and only the last can start
    // a hole border; the run's extent stays valid while it is handled.
    mask.for_each_run([&](std::uint32_t first, std::uint32_t end) {
      const std::uint32_t last = end - 1;
      const std::int8_t v = row[first];
      if (first >= 1 && v == 1) {
        tracer.trace(row_start + first, first, yi, kWest);
      } else if (v >= 1 && first == last && end < width) {
        tracer.trace(row_start + first, first, yi, kEast);
      }
      if (last > first && row[last] >= 1 && end < width) tracer.trace(row_start + last, last, yi, kEast);
    });
  }
}

}  // namespace

void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour, std::size_t min_length) {
  trace_rows(image, on_contour, [] { return false; }, min_length);
}

void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour, const std::function<bool()>& stop,
                       std::size_t min_length) {
  trace_rows(image, on_contour, stop, min_length);
}

}  // namespace morvelin
