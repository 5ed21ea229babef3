#include "charuco/board.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "charuco/board_layout.hpp"
#include "charuco/nearest_markers.hpp"
#include "runtime/owned_array.hpp"

namespace morvelin {
namespace {

// Bytes of the geometry of a board with these counts, assuming two
// nearest-marker entries per corner (a regular board's number); nothing when
// the count overflows.
std::optional<std::uint64_t> geometry_bytes(std::uint64_t markers, std::uint64_t corners) {
  constexpr std::uint64_t kPerMarker = sizeof(std::uint64_t) + sizeof(MarkerCorners) +
                                       sizeof(std::pair<std::uint64_t, std::size_t>) * 2;  // ids, corners, id index
  constexpr std::uint64_t kPerCorner = sizeof(BoardPoint) + sizeof(std::uint64_t) + 4 * sizeof(std::uint64_t);
  std::uint64_t marker_bytes = 0, corner_bytes = 0, total = 0;
  if (__builtin_mul_overflow(markers, kPerMarker, &marker_bytes) ||
      __builtin_mul_overflow(corners, kPerCorner, &corner_bytes) ||
      __builtin_add_overflow(marker_bytes, corner_bytes, &total)) {
    return std::nullopt;
  }
  return total;
}

// Interior corners: (squares_x - 1) * (squares_y - 1), none with fewer than
// two squares along either axis.
std::optional<std::uint64_t> interior_corner_count(std::uint64_t squares_x, std::uint64_t squares_y) {
  if (squares_x < 2 || squares_y < 2) return 0;
  std::uint64_t corners = 0;
  if (__builtin_mul_overflow(squares_x - 1, squares_y - 1, &corners)) return std::nullopt;
  return corners;
}

Error too_large(std::uint64_t squares_x, std::uint64_t squares_y) {
  return {ErrorKind::kMemory, "CharucoBoard of " + std::to_string(squares_x) + " x " + std::to_string(squares_y) +
                                  " squares does not fit in memory"};
}

// Marker corners in marker order: row by row, left to right.
Vec<MarkerCorners> lay_out_markers(const BoardGrid& g, std::uint64_t count) {
  Vec<MarkerCorners> corners;
  corners.reserve(count);
  if (g.squares_x == 0) return corners;  // no squares at all, however many rows
  for (std::uint64_t i = 0; i < g.squares_y; ++i) {
    for (std::uint64_t j = (g.parity + i) % 2; j < g.squares_x; j += 2) {
      corners.push_back(board_layout::marker_corners_in_square(i, j, g.square_length, g.marker_length));
    }
  }
  return corners;
}

Vec<BoardPoint> lay_out_corners(const BoardGrid& g, std::uint64_t count) {
  Vec<BoardPoint> corners;
  corners.reserve(count);
  if (count == 0) return corners;
  for (std::uint64_t r = 1; r < g.squares_y; ++r) {
    for (std::uint64_t c = 1; c < g.squares_x; ++c) corners.push_back(board_layout::chessboard_corner(c, r, g.square_length));
  }
  return corners;
}

Vec<std::pair<std::uint64_t, std::size_t>> index_ids(std::span<const std::uint64_t> ids) {
  Vec<std::pair<std::uint64_t, std::size_t>> index;
  index.reserve(ids.size());
  for (std::size_t k = 0; k < ids.size(); ++k) index.emplace_back(ids[k], k);
  std::sort(index.begin(), index.end());  // by id, then by marker index
  index.erase(std::unique(index.begin(), index.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
              index.end());
  return index;
}

}  // namespace

Result<CharucoBoard> CharucoBoard::create(std::uint64_t squares_x, std::uint64_t squares_y, double square_length,
                                          double marker_length, std::string_view dictionary_name,
                                          std::optional<std::span<const std::uint64_t>> ids, bool legacy_pattern) {
  std::optional<Dictionary> dictionary = lookup_dictionary(dictionary_name);
  if (!dictionary) return value_error("unknown dictionary: " + std::string(dictionary_name));

  BoardGrid grid;
  grid.squares_x = squares_x;
  grid.squares_y = squares_y;
  grid.parity = board_layout::marker_parity(squares_y, legacy_pattern);
  grid.square_length = static_cast<float>(square_length);
  grid.marker_length = static_cast<float>(marker_length);

  const auto markers = board_layout::marker_count(squares_x, squares_y, grid.parity);
  const auto corners = interior_corner_count(squares_x, squares_y);
  if (!markers || !corners) return too_large(squares_x, squares_y);
  const auto bytes = geometry_bytes(*markers, *corners);
  if (!bytes || *bytes > SIZE_MAX || !fits_in_physical_memory(*bytes)) return too_large(squares_x, squares_y);

  try {
    CharucoBoard board;
    board.squares_x_ = squares_x;
    board.squares_y_ = squares_y;
    board.square_length_ = grid.square_length;
    board.marker_length_ = grid.marker_length;
    board.legacy_pattern_ = legacy_pattern;
    board.dictionary_name_ = std::string(dictionary->name);
    board.dictionary_ = std::move(*dictionary);

    board.marker_corners_ = lay_out_markers(grid, *markers);
    if (ids) {
      if (ids->size() != board.marker_corners_.size()) {
        return value_error("Size of ids must be equal to the number of markers: " +
                           std::to_string(board.marker_corners_.size()));
      }
      board.ids_.assign(ids->begin(), ids->end());
    } else {
      board.ids_.resize(board.marker_corners_.size());
      for (std::size_t k = 0; k < board.ids_.size(); ++k) board.ids_[k] = k;
    }
    board.chessboard_corners_ = lay_out_corners(grid, *corners);
    grid.markers = board.marker_corners_;
    grid.corners = board.chessboard_corners_;
    board.nearest_ = find_nearest_markers(grid);
    board.id_index_ = index_ids(board.ids_);
    return board;
  } catch (const std::bad_alloc&) {
    return too_large(squares_x, squares_y);
  } catch (const std::length_error&) {
    return too_large(squares_x, squares_y);
  }
}

BoardPoint CharucoBoard::extent() const noexcept {
  return {static_cast<float>(squares_x_) * square_length_, static_cast<float>(squares_y_) * square_length_, 0.0f};
}

std::span<const std::uint64_t> CharucoBoard::nearest_markers(std::size_t corner) const noexcept {
  const std::size_t begin = nearest_.offsets[corner];
  return {nearest_.markers.data() + begin, nearest_.offsets[corner + 1] - begin};
}

std::span<const std::uint64_t> CharucoBoard::nearest_marker_corners(std::size_t corner) const noexcept {
  const std::size_t begin = nearest_.offsets[corner];
  return {nearest_.marker_corners.data() + begin, nearest_.offsets[corner + 1] - begin};
}

std::optional<std::size_t> CharucoBoard::first_marker_with_id(std::uint64_t id) const noexcept {
  const auto it = std::lower_bound(id_index_.begin(), id_index_.end(), id,
                                   [](const auto& entry, std::uint64_t value) { return entry.first < value; });
  if (it == id_index_.end() || it->first != id) return std::nullopt;
  return it->second;
}

std::optional<Error> CharucoBoard::check_printable() const {
  if (squares_x_ == 0 || squares_y_ == 0) return value_error("a board without squares cannot be drawn");
  if (!std::isfinite(square_length_) || !std::isfinite(marker_length_) || square_length_ <= 0.0f ||
      marker_length_ <= 0.0f || marker_length_ > square_length_) {
    return value_error("a board needs 0 < marker_length <= square_length, both finite");
  }
  const std::size_t codes = dictionary_.size();
  for (const std::uint64_t id : ids_) {
    if (id >= codes) {
      return value_error("marker id " + std::to_string(id) + " is out of range for " + dictionary_name_ + " (0 to " +
                         std::to_string(codes - 1) + ")");
    }
  }
  return std::nullopt;
}

}  // namespace morvelin
