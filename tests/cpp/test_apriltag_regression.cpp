// Pins the exact output of the AprilTag path on rendered and photographed
// images: the candidate quads of the search (order and every corner bit) and
// the decoded markers, at several decimation, blur and refit settings. Any
// change to the threshold, segmentation, cluster order, quad fit, scale-back,
// identification or refit that moves one bit shows up here. The images are
// written by tools/make_apriltag_regression_images.py. The pinned values
// were taken on x86-64 with glibc's math library; another math library may
// round atan2, sin, cos or exp differently in the last bit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "apriltag/quad_detector.hpp"
#include "test_data.hpp"
#include "detector/detect.hpp"
#include "dictionary/dictionary.hpp"

using namespace morvelin;
using morvelin::test::data_dir;
using morvelin::test::read_pgm;

namespace {

// FNV-1a over the bit patterns of the values, in order.
struct Digest {
  std::uint64_t value = 0xcbf29ce484222325ull;

  void add(std::uint32_t bits) {
    for (int i = 0; i < 4; ++i) {
      value ^= (bits >> (8 * i)) & 0xFFu;
      value *= 0x100000001b3ull;
    }
  }
  void add(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    add(bits);
  }
  void add(const Quad& q) {
    for (const Point2f& p : q) {
      add(p.x);
      add(p.y);
    }
  }
};

struct Setting {
  const char* name;
  double decimate;
  double sigma;
  bool deglitch;
  bool refine_full_resolution;
  const char* dictionary;
};

constexpr Setting kSettings[] = {
    {"full", 1.0, 0.0, false, false, "DICT_APRILTAG_36h11"},
    {"half", 2.0, 0.0, false, false, "DICT_APRILTAG_36h11"},
    {"blurred", 1.5, 0.8, true, false, "DICT_APRILTAG_36h11"},
    {"refit", 2.0, 0.0, false, true, "DICT_APRILTAG_36h11"},
    {"16h5", 1.0, 0.0, false, false, "DICT_APRILTAG_16h5"},
};

struct Pinned {
  const char* image;
  const char* setting;
  std::size_t candidates;
  std::uint64_t candidate_digest;
  std::size_t markers;
  std::uint64_t marker_digest;
};

// Output of the AprilTag path at the time these images were added.
constexpr Pinned kPinned[] = {
    {"rendered_tags", "full", 28, 0x827f43bff422d6efull, 10, 0x4ae58664b4397eecull},
    {"rendered_tags", "half", 13, 0x79e61196f29814cdull, 8, 0xb7c89b3e88c5aa22ull},
    {"rendered_tags", "blurred", 13, 0x03602267436df1b1ull, 7, 0xc314514d9723f215ull},
    {"rendered_tags", "refit", 13, 0x79e61196f29814cdull, 8, 0x4c450d4d111dae93ull},
    {"rendered_tags", "16h5", 28, 0x827f43bff422d6efull, 0, 0xcbf29ce484222325ull},
    {"rendered_tags_noisy", "full", 22, 0xee798d452e522dc0ull, 12, 0xc6c23ba75ac748abull},
    {"rendered_tags_noisy", "half", 13, 0x12056ae9f5406fe0ull, 12, 0xf47eee90a3ab8d49ull},
    {"rendered_tags_noisy", "blurred", 20, 0x07a5750a77383567ull, 6, 0x9811ff375a3d0d25ull},
    {"rendered_tags_noisy", "refit", 13, 0x12056ae9f5406fe0ull, 12, 0x58a26267c90f4646ull},
    {"rendered_tags_noisy", "16h5", 22, 0xee798d452e522dc0ull, 0, 0xcbf29ce484222325ull},
    {"swatbotics_clipboard05", "full", 33, 0xc2327bac6aec7f06ull, 27, 0x136df57e5ea40f44ull},
    {"swatbotics_clipboard05", "half", 29, 0xb7310887985a64b8ull, 12, 0xcabdccb11c41b5e1ull},
    {"swatbotics_clipboard05", "blurred", 3, 0xa31d81bb9bc32792ull, 0, 0xcbf29ce484222325ull},
    {"swatbotics_clipboard05", "refit", 29, 0xb7310887985a64b8ull, 12, 0xb49318714e892d3eull},
    {"swatbotics_clipboard05", "16h5", 33, 0xc2327bac6aec7f06ull, 0, 0xcbf29ce484222325ull},
    {"duckietown_multiple_crop", "full", 26, 0xe4b67e1cd11c70edull, 6, 0x393513d36ade91feull},
    {"duckietown_multiple_crop", "half", 9, 0xc475b435697d9694ull, 2, 0xa4c13a99d10e927full},
    {"duckietown_multiple_crop", "blurred", 17, 0x6b918ebe54e39914ull, 0, 0xcbf29ce484222325ull},
    {"duckietown_multiple_crop", "refit", 9, 0xc475b435697d9694ull, 2, 0xf7c371eb6bdcdb49ull},
    {"duckietown_multiple_crop", "16h5", 26, 0xe4b67e1cd11c70edull, 1, 0x91d1f3029d9481c5ull},
    {"aprilgrid_iphone_crop", "full", 27, 0xbaf69ef9af79bd2full, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "half", 19, 0xc6b3809269c08395ull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "blurred", 19, 0x3381bb3f084ce5dcull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "refit", 19, 0xc6b3809269c08395ull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "16h5", 27, 0xbaf69ef9af79bd2full, 0, 0xcbf29ce484222325ull},
};

DetectorParameters parameters(const Setting& s) {
  DetectorParameters p;
  p.corner_refinement_method = kCornerRefineAprilTag;
  p.april_tag_quad_decimate = s.decimate;
  p.april_tag_quad_sigma = s.sigma;
  p.april_tag_deglitch = s.deglitch;
  p.april_tag_refine_full_resolution = s.refine_full_resolution;
  return p;
}

const Pinned* pinned(const std::string& image, const std::string& setting) {
  for (const Pinned& p : kPinned) {
    if (image == p.image && setting == p.setting) return &p;
  }
  return nullptr;
}

}  // namespace

TEST(AprilTagRegression, CandidatesAndMarkersStayBitForBit) {
  const char* images[] = {"rendered_tags", "rendered_tags_noisy", "swatbotics_clipboard05",
                          "duckietown_multiple_crop", "aprilgrid_iphone_crop"};
  for (const char* name : images) {
    const auto image = read_pgm(data_dir() / "apriltag" / (std::string(name) + ".pgm"));
    ASSERT_TRUE(image) << "cannot read " << name;
    for (const Setting& setting : kSettings) {
      const DetectorParameters params = parameters(setting);
      const auto candidates = find_apriltag_candidates(*image, params);
      ASSERT_TRUE(candidates.ok());
      Digest candidate_digest;
      for (const MarkerCandidate& c : *candidates) candidate_digest.add(c.corners);
      const auto markers = detect_markers(*image, *lookup_dictionary(setting.dictionary), params);
      ASSERT_TRUE(markers.ok());
      Digest marker_digest;
      for (const DetectedMarker& m : *markers) {
        marker_digest.add(static_cast<std::uint32_t>(m.id));
        marker_digest.add(m.corners);
      }
      char actual[256];
      std::snprintf(actual, sizeof actual, "{\"%s\", \"%s\", %zu, 0x%016llxull, %zu, 0x%016llxull},", name,
                    setting.name, candidates->size(), static_cast<unsigned long long>(candidate_digest.value),
                    markers->size(), static_cast<unsigned long long>(marker_digest.value));
      const Pinned* expected = pinned(name, setting.name);
      if (expected == nullptr) {
        ADD_FAILURE() << "not pinned: " << actual;
        continue;
      }
      EXPECT_EQ(candidates->size(), expected->candidates) << actual;
      EXPECT_EQ(candidate_digest.value, expected->candidate_digest) << actual;
      EXPECT_EQ(markers->size(), expected->markers) << actual;
      EXPECT_EQ(marker_digest.value, expected->marker_digest) << actual;
    }
  }
}
