// CharucoBoard: the geometry of a ChArUco board, a chessboard whose marker
// squares each hold one marker of a predefined dictionary. Everything a
// detection needs (marker layout, ids, marker corners, interior chessboard
// corners and which markers touch each corner) is computed once at
// construction; the object is immutable afterwards and may be read by any
// number of threads at once.
//
// Board coordinates: origin at the outer corner of square (row 0, column 0),
// x along the columns, y along the rows, z = 0, in the unit of square_length.
// All geometry is single precision.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dictionary/dictionary.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

using BoardPoint = std::array<float, 3>;           // (x, y, z), board units
using MarkerCorners = std::array<BoardPoint, 4>;  // smallest (x, y) first, then clockwise with y down

// Per chessboard corner, the markers touching it and, for each of them, the
// index (0..3) of its corner lying on the chessboard corner. Stored as one
// flat list with offsets: corner c owns entries [offsets[c], offsets[c + 1]).
struct NearestMarkerLists {
  Vec<std::uint64_t> offsets;         // corner count + 1 entries
  Vec<std::uint64_t> markers;         // marker indices
  Vec<std::uint64_t> marker_corners;  // corner index of the marker at the same position
};

class CharucoBoard {
 public:
  // Errors: "unknown dictionary: NAME" (the name as given); "Size of ids must
  // be equal to the number of markers: N"; ErrorKind::kMemory when the
  // geometry of so many squares cannot be held in memory. `ids`, when given,
  // are the marker ids in marker order, taken as they are.
  static Result<CharucoBoard> create(std::uint64_t squares_x, std::uint64_t squares_y, double square_length,
                                     double marker_length, std::string_view dictionary_name,
                                     std::optional<std::span<const std::uint64_t>> ids, bool legacy_pattern);

  std::uint64_t squares_x() const noexcept { return squares_x_; }
  std::uint64_t squares_y() const noexcept { return squares_y_; }
  float square_length() const noexcept { return square_length_; }
  float marker_length() const noexcept { return marker_length_; }
  bool legacy_pattern() const noexcept { return legacy_pattern_; }
  // The canonical name ("DICT_6X6_250"), however the name was given.
  std::string_view dictionary_name() const noexcept { return dictionary_name_; }
  const Dictionary& dictionary() const noexcept { return dictionary_; }

  // (squares_x * L, squares_y * L, 0): the board corner opposite the origin.
  BoardPoint extent() const noexcept;

  std::size_t marker_count() const noexcept { return ids_.size(); }
  std::span<const std::uint64_t> ids() const noexcept { return ids_; }
  std::span<const MarkerCorners> marker_corners() const noexcept { return marker_corners_; }

  // Interior corners, row-major; a corner's index is its ChArUco id.
  std::size_t corner_count() const noexcept { return chessboard_corners_.size(); }
  std::span<const BoardPoint> chessboard_corners() const noexcept { return chessboard_corners_; }

  // Markers touching chessboard corner `corner` (< corner_count()), and the
  // index of each one's corner that lies on it.
  std::span<const std::uint64_t> nearest_markers(std::size_t corner) const noexcept;
  std::span<const std::uint64_t> nearest_marker_corners(std::size_t corner) const noexcept;

  // Index of the first marker, in marker order, whose id is `id`.
  std::optional<std::size_t> first_marker_with_id(std::uint64_t id) const noexcept;

  // Why the board cannot be printed, hence never be seen: no squares, a
  // square or marker length that is not finite and positive, a marker longer
  // than its square, or a marker id the dictionary does not hold (also when
  // the board has more markers than the dictionary has codes). Nothing for a
  // board that can exist. Construction accepts such boards; drawing refuses
  // them.
  std::optional<Error> check_printable() const;

 private:
  CharucoBoard() = default;

  std::uint64_t squares_x_ = 0;
  std::uint64_t squares_y_ = 0;
  float square_length_ = 0.0f;
  float marker_length_ = 0.0f;
  bool legacy_pattern_ = false;
  std::string dictionary_name_;
  Dictionary dictionary_;
  Vec<std::uint64_t> ids_;
  Vec<MarkerCorners> marker_corners_;
  Vec<BoardPoint> chessboard_corners_;
  NearestMarkerLists nearest_;
  // (id, first marker index) sorted by id, one entry per distinct id.
  Vec<std::pair<std::uint64_t, std::size_t>> id_index_;
};

}  // namespace morvelin
