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
#include "detector/detect.hpp"
#include "detector/stage_settings.hpp"
#include "dictionary/dictionary.hpp"
#include "test_data.hpp"

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
    {"rendered_tags", "full", 28, 0xc47e06f2d978ff21ull, 10, 0x0cc39fc956c90464ull},
    {"rendered_tags", "half", 13, 0x189ecba4c9888800ull, 10, 0x00c1f24c2e83f199ull},
    {"rendered_tags", "blurred", 13, 0xda5725d537a6cabcull, 8, 0x9e3d208887a77aeeull},
    {"rendered_tags", "refit", 13, 0x189ecba4c9888800ull, 10, 0xb203c5587929dc15ull},
    {"rendered_tags", "16h5", 28, 0xc47e06f2d978ff21ull, 0, 0xcbf29ce484222325ull},
    {"rendered_tags_noisy", "full", 22, 0xf9db4bbb23af9923ull, 12, 0xb9cf48025b6803efull},
    {"rendered_tags_noisy", "half", 13, 0x4019f7c0800a5c5cull, 12, 0xca0c722da4b843adull},
    {"rendered_tags_noisy", "blurred", 20, 0x9fc210968bd8b4e9ull, 6, 0x6ef5d48b3b396cb9ull},
    {"rendered_tags_noisy", "refit", 13, 0x4019f7c0800a5c5cull, 12, 0xb9cf48025b6803efull},
    {"rendered_tags_noisy", "16h5", 22, 0xf9db4bbb23af9923ull, 0, 0xcbf29ce484222325ull},
    {"swatbotics_clipboard05", "full", 33, 0x748c09cd3982efcdull, 29, 0xb930c2054392b542ull},
    {"swatbotics_clipboard05", "half", 29, 0xe30c5fc7e8dba2a9ull, 28, 0x47c7bc22626e1b18ull},
    {"swatbotics_clipboard05", "blurred", 3, 0x36f913247d4a8832ull, 1, 0x4c82f0bff5da76b1ull},
    {"swatbotics_clipboard05", "refit", 29, 0xe30c5fc7e8dba2a9ull, 28, 0xb5d6612679581fa1ull},
    {"swatbotics_clipboard05", "16h5", 33, 0x748c09cd3982efcdull, 0, 0xcbf29ce484222325ull},
    {"duckietown_multiple_crop", "full", 26, 0x85b02b5054f13be9ull, 5, 0xa2f7b3a1b55c7106ull},
    {"duckietown_multiple_crop", "half", 9, 0x191eb7740fa36951ull, 2, 0xade29d7bcd42460cull},
    {"duckietown_multiple_crop", "blurred", 17, 0x8c87c45263ea7fbfull, 1, 0xd8969733b46f729dull},
    {"duckietown_multiple_crop", "refit", 9, 0x191eb7740fa36951ull, 2, 0xabd87e56b914c2c5ull},
    {"duckietown_multiple_crop", "16h5", 26, 0x85b02b5054f13be9ull, 2, 0xfeaddd64b621cd41ull},
    {"aprilgrid_iphone_crop", "full", 27, 0x9845d350a63856cfull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "half", 19, 0x2b637975b63d26bbull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "blurred", 19, 0xfa239ea14ac13f13ull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "refit", 19, 0x2b637975b63d26bbull, 0, 0xcbf29ce484222325ull},
    {"aprilgrid_iphone_crop", "16h5", 27, 0x9845d350a63856cfull, 0, 0xcbf29ce484222325ull},
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
      const auto candidates = find_apriltag_candidates(*image, apriltag_search_settings(params));
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
