// The published marker code tables, one per family, generated into
// dictionary/generated/ by tools/generate_dictionaries.py. Entry k of a table
// is 4 blocks of ceil(n*n/8) bytes: the marker's n x n bits as printed, then
// each further block turned a quarter counter-clockwise. Bits are packed row
// by row, most significant bit first, the last partial byte right-aligned;
// a set bit is a white cell.
#pragma once

#include <cstdint>

namespace morvelin::code_tables {

extern const std::uint8_t k4x4[1000 * 8];
extern const std::uint8_t k5x5[1000 * 16];
extern const std::uint8_t k6x6[1000 * 20];
extern const std::uint8_t k7x7[1000 * 28];
extern const std::uint8_t kArucoOriginal[1024 * 16];
extern const std::uint8_t k36h12[250 * 20];
extern const std::uint8_t k16h5[30 * 8];
extern const std::uint8_t k25h9[35 * 16];
extern const std::uint8_t k36h10[2320 * 20];
extern const std::uint8_t k36h11[587 * 20];

}  // namespace morvelin::code_tables
