// Marker identification: orient and order the candidates, group
// near-duplicates, rectify each group's candidate into a small canonical
// image, read its cells, check the black border and match the data bits
// against the dictionary.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "detector/detector_parameters.hpp"
#include "detector/marker.hpp"
#include "dictionary/dictionary.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

struct IdentificationOptions {
  // A near-duplicate group is normally decoded from its longest member only.
  // A marker in a white quiet zone is often grouped with the slightly longer
  // border of that zone, which never decodes; when this is set and the
  // longest member fails, the other members are tried in order of decreasing
  // perimeter and the first that decodes is reported (one marker per group).
  bool retry_group_members = true;
};

// Decodes the candidates found in `image`. The result is in order of
// decreasing perimeter of the decoded candidates; repeated ids are kept.
MarkerList identify_markers(GrayView image, const Dictionary& dictionary,
                            std::span<const MarkerCandidate> candidates, const DetectorParameters& params,
                            const IdentificationOptions& options = {});

// Decodes one clockwise quadrilateral: nothing when a corner is within
// border_margin_px of the image edge, the rectification fails, the border
// has too many white cells or no code matches. The corners of the result
// start at the marker's top-left corner; with CORNER_REFINE_SUBPIX they are
// refined.
std::optional<DetectedMarker> decode_candidate(GrayView image, const Dictionary& dictionary,
                                               const Quad& corners, const DetectorParameters& params);

}  // namespace morvelin
