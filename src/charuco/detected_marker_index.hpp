// Lookup of detected markers by board id: for each id, the first marker of
// that id in detection order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "detector/marker.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

class DetectedMarkerIndex {
 public:
  explicit DetectedMarkerIndex(std::span<const DetectedMarker> markers) {
    first_.reserve(markers.size());
    for (std::size_t k = 0; k < markers.size(); ++k) {
      if (markers[k].id >= 0) first_.emplace_back(static_cast<std::uint64_t>(markers[k].id), k);
    }
    std::sort(first_.begin(), first_.end());  // by id, then detection order
    first_.erase(std::unique(first_.begin(), first_.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
                 first_.end());
  }

  // The first detected marker whose id equals `board_id`.
  std::optional<std::size_t> find(std::uint64_t board_id) const noexcept {
    const auto it = std::lower_bound(first_.begin(), first_.end(), board_id,
                                     [](const auto& entry, std::uint64_t id) { return entry.first < id; });
    if (it == first_.end() || it->first != board_id) return std::nullopt;
    return it->second;
  }

 private:
  Vec<std::pair<std::uint64_t, std::size_t>> first_;
};

}  // namespace morvelin
