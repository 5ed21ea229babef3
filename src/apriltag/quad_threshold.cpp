#include "apriltag/quad_threshold.hpp"

#include <algorithm>

#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

struct TileGrid {
  std::uint32_t columns = 0;
  std::uint32_t rows = 0;
  Vec<std::uint8_t> min;  // row-major, columns x rows
  Vec<std::uint8_t> max;
};

// Extrema of the tiles of tile rows [first_row, end_row).
void tile_extrema_rows(GrayView image, TileGrid& tiles, std::uint32_t first_row, std::uint32_t end_row) {
  const std::uint32_t span = tiles.columns * 4;
  Vec<std::uint8_t> lo(span), hi(span);
  for (std::uint32_t ty = first_row; ty < end_row; ++ty) {
    const std::uint8_t* first = image.row(4 * ty);
    std::copy(first, first + span, lo.begin());
    std::copy(first, first + span, hi.begin());
    for (std::uint32_t dy = 1; dy < 4; ++dy) {
      const std::uint8_t* src = image.row(4 * ty + dy);
      for (std::uint32_t x = 0; x < span; ++x) {
        lo[x] = std::min(lo[x], src[x]);
        hi[x] = std::max(hi[x], src[x]);
      }
    }
    for (std::uint32_t tx = 0; tx < tiles.columns; ++tx) {
      const std::uint32_t x = 4 * tx;
      const std::size_t t = static_cast<std::size_t>(ty) * tiles.columns + tx;
      tiles.min[t] = std::min({lo[x], lo[x + 1], lo[x + 2], lo[x + 3]});
      tiles.max[t] = std::max({hi[x], hi[x + 1], hi[x + 2], hi[x + 3]});
    }
  }
}

// Tile rows per parallel task of the threshold.
constexpr std::uint32_t kTileRowsPerTask = 8;

// Runs body(first, end) over consecutive ranges of the tile rows in parallel.
template <class Body>
void for_tile_rows(std::uint32_t rows, Body&& body) {
  const std::uint32_t tasks = (rows + kTileRowsPerTask - 1) / kTileRowsPerTask;
  parallel_for(tasks, [&](std::size_t t) {
    const auto first = static_cast<std::uint32_t>(t) * kTileRowsPerTask;
    body(first, std::min(rows, first + kTileRowsPerTask));
  });
}

// Extrema of the 16 pixels of every full 4 x 4 tile.
TileGrid tile_extrema(GrayView image) {
  TileGrid tiles{image.width / 4, image.height / 4, {}, {}};
  const std::size_t count = static_cast<std::size_t>(tiles.columns) * tiles.rows;
  tiles.min.resize(count);
  tiles.max.resize(count);
  for_tile_rows(tiles.rows,
                [&](std::uint32_t first, std::uint32_t end) { tile_extrema_rows(image, tiles, first, end); });
  return tiles;
}

// Replaces each tile's extrema by those of the 3 x 3 tiles around it
// (tiles beyond the grid are ignored): along the rows, then along the
// columns a whole row at a time, so that both passes run over contiguous
// bytes.
void spread_extrema(TileGrid& tiles) {
  const std::size_t tw = tiles.columns;
  const std::size_t th = tiles.rows;
  Vec<std::uint8_t> line(tw), above(tw);
  const auto spread = [&](Vec<std::uint8_t>& v, auto pick) {
    for (std::size_t r = 0; r < th; ++r) {
      std::uint8_t* row = v.data() + r * tw;
      std::copy(row, row + tw, line.begin());
      if (tw < 2) continue;
      row[0] = pick(line[0], line[1]);
      for (std::size_t i = 1; i + 1 < tw; ++i) row[i] = pick(pick(line[i - 1], line[i]), line[i + 1]);
      row[tw - 1] = pick(line[tw - 2], line[tw - 1]);
    }
    for (std::size_t r = 0; r < th; ++r) {
      std::uint8_t* row = v.data() + r * tw;
      std::copy(row, row + tw, line.begin());  // row r as it was
      if (r > 0) {
        for (std::size_t i = 0; i < tw; ++i) row[i] = pick(row[i], above[i]);
      }
      if (r + 1 < th) {
        const std::uint8_t* below = row + tw;
        for (std::size_t i = 0; i < tw; ++i) row[i] = pick(row[i], below[i]);
      }
      std::swap(line, above);
    }
  };
  spread(tiles.min, [](std::uint8_t a, std::uint8_t b) { return std::min(a, b); });
  spread(tiles.max, [](std::uint8_t a, std::uint8_t b) { return std::max(a, b); });
}

// Thresholds the pixels of tile rows [first, end); the last tile row
// reaches y = h - 1.
void threshold_rows(GrayView image, const TileGrid& tiles, std::int32_t min_white_black_diff,
                    std::uint32_t first, std::uint32_t end, TernaryImage& out) {
  const std::uint32_t w = image.width;
  const std::uint32_t h = image.height;
  // Per pixel column of the current tile row: its tile's threshold and
  // whether the tile lacks contrast. The last tile column reaches x = w - 1.
  Vec<std::uint8_t> thresh(w);
  Vec<std::uint8_t> unknown(w);
  for (std::uint32_t ty = first; ty < end; ++ty) {
    for (std::uint32_t tx = 0; tx < tiles.columns; ++tx) {
      const std::size_t t = static_cast<std::size_t>(ty) * tiles.columns + tx;
      const int lo = tiles.min[t];
      const int hi = tiles.max[t];
      const bool flat = hi - lo < min_white_black_diff;
      const std::uint32_t x_end = (tx + 1 == tiles.columns) ? w : 4 * tx + 4;
      for (std::uint32_t x = 4 * tx; x < x_end; ++x) {
        thresh[x] = static_cast<std::uint8_t>((lo + hi) >> 1);
        unknown[x] = flat ? 1 : 0;
      }
    }
    const std::uint32_t y_end = (ty + 1 == tiles.rows) ? h : 4 * ty + 4;
    for (std::uint32_t y = 4 * ty; y < y_end; ++y) {
      const std::uint8_t* src = image.row(y);
      std::uint8_t* dst = out.row(y);
      for (std::uint32_t x = 0; x < w; ++x) {
        const std::uint8_t level = src[x] > thresh[x] ? kTernaryWhite : kTernaryBlack;
        dst[x] = unknown[x] ? kTernaryUnknown : level;
      }
    }
  }
}

}  // namespace

TernaryImage threshold_tiles(GrayView image, std::int32_t min_white_black_diff) {
  const std::uint32_t w = image.width;
  const std::uint32_t h = image.height;
  TernaryImage out(w, h, kTernaryUnknown);
  if (w < 4 || h < 4) return out;
  TileGrid tiles = tile_extrema(image);
  spread_extrema(tiles);

  for_tile_rows(tiles.rows, [&](std::uint32_t first, std::uint32_t end) {
    threshold_rows(image, tiles, min_white_black_diff, first, end, out);
  });
  return out;
}

namespace {

// dst(x, y) = pick over the 3 x 3 neighbourhood of src, for interior pixels.
template <class Pick>
void filter_interior_3x3(const TernaryImage& src, TernaryImage& dst, Pick pick) {
  const std::uint32_t w = src.width;
  Vec<std::uint8_t> column(w);
  for (std::uint32_t y = 1; y + 1 < src.height; ++y) {
    const std::uint8_t* above = src.row(y - 1);
    const std::uint8_t* here = src.row(y);
    const std::uint8_t* below = src.row(y + 1);
    for (std::uint32_t x = 0; x < w; ++x) column[x] = pick(pick(above[x], here[x]), below[x]);
    std::uint8_t* out = dst.row(y);
    for (std::uint32_t x = 1; x + 1 < w; ++x) out[x] = pick(pick(column[x - 1], column[x]), column[x + 1]);
  }
}

}  // namespace

void deglitch(TernaryImage& ternary) {
  if (ternary.width < 3 || ternary.height < 3) return;
  TernaryImage dilated = ternary;
  filter_interior_3x3(ternary, dilated, [](std::uint8_t a, std::uint8_t b) { return std::max(a, b); });
  filter_interior_3x3(dilated, ternary, [](std::uint8_t a, std::uint8_t b) { return std::min(a, b); });
}

}  // namespace morvelin
