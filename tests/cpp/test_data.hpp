// The test photographs: tests/data (or $MORVELIN_TEST_DATA), stored as
// binary PGM because the tests cannot decode JPEG or PNG.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "image/gray_image.hpp"

namespace morvelin::test {

inline std::filesystem::path data_dir() {
  if (const char* dir = std::getenv("MORVELIN_TEST_DATA")) return dir;
  return std::filesystem::path(__FILE__).parent_path().parent_path() / "data";
}

// An 8-bit binary PGM (P5, maximum 255), or nothing.
inline std::optional<GrayImage> read_pgm(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  std::uint32_t w = 0, h = 0, maxval = 0;
  in >> magic >> w >> h >> maxval;
  in.get();
  if (!in || magic != "P5" || maxval != 255) return std::nullopt;
  GrayImage image(w, h);
  in.read(reinterpret_cast<char*>(image.pixels.data()), static_cast<std::streamsize>(image.size()));
  if (!in) return std::nullopt;
  return image;
}

}  // namespace morvelin::test
