#include "apriltag/segmentation.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "runtime/cpu_features.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

namespace {

// body(label) for every label in [first, end), blocks of labels in parallel.
template <class Body>
void for_each_label(std::size_t first, std::size_t end, Body&& body) {
  constexpr std::size_t kLabelsPerTask = std::size_t{1} << 16;
  parallel_for((end - first + kLabelsPerTask - 1) / kLabelsPerTask, [&](std::size_t task) {
    const std::size_t stop = std::min(end, first + (task + 1) * kLabelsPerTask);
    for (std::size_t label = first + task * kLabelsPerTask; label < stop; ++label) body(label);
  });
}

}  // namespace

void RegionForest::grow(std::uint32_t count) {
  const std::size_t first = nodes_.size();
  if (count <= first) return;
  nodes_.resize(count);  // left uninitialised: every new node is written below
  for_each_label(first, count, [&](std::size_t label) { nodes_[label] = {static_cast<std::uint32_t>(label), 1}; });
}

UninitializedVec<std::uint32_t> RegionForest::roots() const {
  // The forest no longer changes, so the paths are followed without being
  // shortened.
  UninitializedVec<std::uint32_t> roots(nodes_.size());
  const Node* nodes = nodes_.data();
  for_each_label(0, roots.size(), [&](std::size_t label) {
    auto root = static_cast<std::uint32_t>(label);
    while (nodes[root].parent != root) root = nodes[root].parent;
    roots[label] = root;
  });
  return roots;
}

std::optional<Error> check_segmentable(std::uint32_t width, std::uint32_t height) {
  constexpr std::uint64_t kMaxPixels = 0xFFFFFFFEull;
  constexpr std::uint32_t kMaxSide = 1u << 30;
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
  if (pixels <= kMaxPixels && width <= kMaxSide && height <= kMaxSide) return std::nullopt;
  return value_error("image too large for the AprilTag quad detector: " + std::to_string(width) + " x " +
                     std::to_string(height) + " pixels after decimation; at most " + std::to_string(kMaxPixels) +
                     " pixels and " + std::to_string(kMaxSide) + " per side are supported");
}

namespace {

constexpr std::uint8_t kUnknown = kTernaryUnknown;

// The label runs of one row: maximal ranges of columns with one label.
// Unknown pixels form runs too (of kNoLabel); no black or white pixel joins them.
struct LabelRuns {
  explicit LabelRuns(std::uint32_t w) : start(static_cast<std::size_t>(w) + 1), run_of(w) {}

  OwnedArray<std::uint32_t> start;   // run r covers columns [start[r], start[r + 1])
  OwnedArray<std::uint32_t> run_of;  // the run of every column
  std::uint32_t count = 0;
};

// The labels of a row: a pixel takes the label of its left neighbour when
// both have the same value (from column 2 on, except in the last row),
// otherwise the next new one; unknown pixels get kNoLabel. Labels are handed
// out in scan order, so the rows can be labelled independently once each
// knows its first new label.

// The first column of row y whose pixel may take its left neighbour's label.
std::uint32_t shared_from(const TernaryImage& t, std::uint32_t y) { return y + 1 == t.height ? t.width : 2; }

// Number of new labels row y hands out.
std::uint32_t count_new_labels(const TernaryImage& t, std::uint32_t y) {
  const std::uint8_t* row = t.row(y);
  const std::uint32_t from = std::min(shared_from(t, y), t.width);
  std::uint32_t count = 0;
  for (std::uint32_t x = 0; x < from; ++x) count += row[x] != kUnknown ? 1 : 0;
  // Indices of the pointer width, which cannot wrap, let the loop be vectorised.
  for (std::size_t x = from; x < t.width; ++x) {
    count += static_cast<std::uint32_t>(row[x] != kUnknown) & static_cast<std::uint32_t>(row[x - 1] != row[x]);
  }
  return count;
}

// Labels row y, its first new label being `next`. A known pixel's label is
// the last one handed out up to it, so one running count is the only chain
// from pixel to pixel; nothing branches on the values, which are as good as
// random in textured parts of an image. Returns the last label handed out.
std::uint32_t label_columns(const std::uint8_t* row, std::size_t from, std::size_t x, std::size_t end,
                            std::uint32_t last, std::uint32_t* lab) {
  for (; x < end; ++x) {
    const std::uint8_t v = row[x];
    const std::uint32_t unknown = v == kUnknown ? 1 : 0;
    const std::uint32_t same = x >= from && row[x - 1] == v ? 1 : 0;
    last += (same | unknown) ^ 1;
    lab[x] = last | (0u - unknown);  // kNoLabel when unknown
  }
  return last;
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// For each byte of eight flags, the places of its set bits in order,
// followed by places of no matter, and their number.
struct FlagPlaces {
  alignas(8) std::uint8_t at[256][8];
  std::uint8_t count[256];
};

constexpr FlagPlaces flag_places() {
  FlagPlaces t{};
  for (int bits = 0; bits < 256; ++bits) {
    for (int k = 0; k < 8; ++k) {
      if ((bits >> k & 1) != 0) t.at[bits][t.count[bits]++] = static_cast<std::uint8_t>(k);
    }
  }
  return t;
}

constexpr FlagPlaces kFlagPlaces = flag_places();

// Lane i of the result: the sum of lanes 0 ... i of v.
[[gnu::target("avx2")]] inline __m256i running_sums(__m256i v) {
  v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));  // within each half
  v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
  const __m256i low_total = _mm256_shuffle_epi32(v, 0xFF);
  // the low half's total added to the high half
  return _mm256_add_epi32(v, _mm256_permute2x128_si256(low_total, low_total, 0x08));
}

// label_columns for columns from `from` on (at least 1), eight at a time:
// the new labels' running count is a prefix sum over the lanes.
MORVELIN_AVX2_VARIANT void label_columns_avx2(const std::uint8_t* row, std::size_t from, std::size_t end,
                                              std::uint32_t last, std::uint32_t* lab) {
  std::size_t x = from;
  for (; x + 8 <= end; x += 8) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + x));
    const __m128i left = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + x - 1));
    const __m128i unknown = _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(kUnknown)));
    const __m128i fresh = _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(v, left), unknown), _mm_set1_epi8(1));
    const __m256i count = running_sums(_mm256_cvtepu8_epi32(fresh));
    const __m256i labels = _mm256_add_epi32(count, _mm256_set1_epi32(static_cast<int>(last)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lab + x),
                        _mm256_or_si256(labels, _mm256_cvtepi8_epi32(unknown)));  // kNoLabel when unknown
    last += static_cast<std::uint32_t>(_mm256_extract_epi32(count, 7));
  }
  label_columns(row, from, x, end, last, lab);
}
#endif

void label_row(const TernaryImage& t, std::uint32_t y, std::uint32_t next, std::uint32_t* lab) {
  const std::uint8_t* row = t.row(y);
  const std::size_t from = std::min<std::size_t>(shared_from(t, y), t.width);
  const std::uint32_t last = label_columns(row, from, 0, from, next - 1, lab);  // next - 1 wraps for next = 0
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (cpu_has_avx2()) {
    label_columns_avx2(row, from, t.width, last, lab);
    return;
  }
#endif
  label_columns(row, from, from, t.width, last, lab);
}

// Runs from column x on (at least 1), `count` runs having begun before it.
std::uint32_t find_runs_from(const std::uint32_t* lab, std::uint32_t x, std::uint32_t w, std::uint32_t count,
                             LabelRuns& runs) {
  for (; x < w; ++x) {
    runs.start[count] = x;
    count += lab[x] != lab[x - 1] ? 1 : 0;
    runs.run_of[x] = count - 1;
  }
  return count;
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// find_runs_from column 1 on, eight columns at a time: the columns where a
// run begins packed to the front of eight written (no further than column
// x + 7, as at most x runs have begun before column x), the runs' numbers a
// prefix sum over the lanes.
MORVELIN_AVX2_VARIANT std::uint32_t find_runs_avx2(const std::uint32_t* lab, std::uint32_t w, LabelRuns& runs) {
  std::uint32_t count = 1;
  std::uint32_t x = 1;
  for (; x + 8 <= w; x += 8) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lab + x));
    const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lab + x - 1));
    const __m256i same = _mm256_cmpeq_epi32(here, left);
    const auto begins = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(same))) ^ 0xFFu;
    const __m128i places = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFlagPlaces.at[begins]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(runs.start.data() + count),
                        _mm256_add_epi32(_mm256_cvtepu8_epi32(places), _mm256_set1_epi32(static_cast<int>(x))));
    const __m256i run = running_sums(_mm256_andnot_si256(same, _mm256_set1_epi32(1)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(runs.run_of.data() + x),
                        _mm256_add_epi32(run, _mm256_set1_epi32(static_cast<int>(count - 1))));
    count += kFlagPlaces.count[begins];
  }
  return find_runs_from(lab, x, w, count, runs);
}
#endif

// The label runs of a labelled row.
void find_runs(const std::uint32_t* lab, std::uint32_t w, LabelRuns& runs) {
  runs.start[0] = 0;
  runs.run_of[0] = 0;
#if MORVELIN_HAVE_AVX2_VARIANTS
  const std::uint32_t count = cpu_has_avx2() ? find_runs_avx2(lab, w, runs) : find_runs_from(lab, 1, w, 1, runs);
#else
  const std::uint32_t count = find_runs_from(lab, 1, w, 1, runs);
#endif
  runs.start[count] = w;
  runs.count = count;
}

// Joins the runs of row y (columns 1 ... w - 2 only) with the same-valued
// runs of row y - 1 they touch: white pixels touch the three pixels above
// them, black ones the one straight above. The unions come in the order a
// pixel-by-pixel scan would make them, leaving out only repeats of a union
// just made, which change nothing. join(y, root, label, above) makes one:
// the run's current root and label, the label above; it returns the new root.
template <class Join>
void join_runs(const TernaryImage& t, std::uint32_t y, const std::uint32_t* lab, const LabelRuns& runs,
               const LabelRuns& above, Join&& join) {
  const std::uint32_t w = t.width;
  if (w < 3) return;
  const std::uint8_t* row = t.row(y);
  const std::uint8_t* up = t.row(y - 1);
  const std::uint32_t* up_lab = lab - w;
  for (std::uint32_t r = 0; r < runs.count; ++r) {
    const std::uint32_t first = std::max<std::uint32_t>(runs.start[r], 1);
    const std::uint32_t last = std::min<std::uint32_t>(runs.start[r + 1] - 1, w - 2);
    const std::uint8_t v = row[first];
    if (first > last || v == kUnknown) continue;
    const std::uint32_t reach = v == kTernaryWhite ? 1 : 0;
    // A run's label is new to the forest, so it starts as its own root; the
    // root is then followed through the unions instead of looked up.
    std::uint32_t root = lab[first];
    const std::uint32_t above_end = above.run_of[last + reach];
    for (std::uint32_t a = above.run_of[first - reach]; a <= above_end; ++a) {
      const std::uint32_t x = above.start[a];
      if (up[x] == v) root = join(y, root, lab[first], up_lab[x]);
    }
  }
}

// The boundary marks of row y; see Segmentation::boundary.
void mark_boundary_row(const TernaryImage& t, std::uint32_t y, std::uint8_t* marks) {
  const std::uint32_t w = t.width;
  std::fill_n(marks, w, std::uint8_t{0});
  if (y + 1 >= t.height || w < 3) return;
  const std::uint8_t* __restrict row = t.row(y);
  const std::uint8_t* __restrict down = t.row(y + 1);
  std::uint8_t* __restrict out = marks;
  // Byte arithmetic throughout (no branch, no wider type), so that the loop
  // is vectorised.
  for (std::size_t x = 1; x + 1 < w; ++x) {
    const std::uint8_t v = row[x];
    const std::uint8_t opposite = v ^ 0xFF;  // 128 for unknown, which never occurs
    const std::uint8_t bits = static_cast<std::uint8_t>(
        (row[x + 1] == opposite) | ((down[x] == opposite) << 1) | ((down[x - 1] == opposite) << 2) |
        ((down[x + 1] == opposite) << 3));
    const std::uint8_t white = static_cast<std::uint8_t>((bits != 0) & (v == kTernaryWhite));
    out[x] = static_cast<std::uint8_t>(bits | white * kBoundaryWhitePixel);
  }
}

// (smaller << 32) | larger, without a branch: which of two regions has the
// smaller root is as good as random.
std::uint64_t pair_key(std::uint32_t ra, std::uint32_t rb) {
  const std::uint32_t swap = (ra ^ rb) & (0u - static_cast<std::uint32_t>(rb < ra));
  return (static_cast<std::uint64_t>(ra ^ swap) << 32) | (rb ^ swap);
}

// The four fields of a boundary point, added as one vector.
typedef std::int32_t PointLanes __attribute__((vector_size(16)));
static_assert(sizeof(PointLanes) == sizeof(BoundaryPoint));

// A record's point relative to (2 px, 2 py), and its gradient, by neighbour:
// (dx, dy, dx diff, dy diff), diff being the neighbour's value minus the
// pixel's; for a black pixel, then for a white one.
struct PointSteps {
  PointLanes step[4];
};

constexpr PointSteps point_steps(std::int32_t diff) {
  PointSteps s{};
  for (int k = 0; k < 4; ++k) {
    const std::int32_t dx = kBoundaryNeighbours[k][0];
    const std::int32_t dy = kBoundaryNeighbours[k][1];
    s.step[k] = PointLanes{dx, dy, dx * diff, dy * diff};
  }
  return s;
}

constexpr PointSteps kPointSteps[2] = {point_steps(255), point_steps(-255)};

// For each value of a pixel's marks (its four neighbour bits and the white
// bit): the steps of its marked neighbours moved to the front, in neighbour
// order and followed by steps of no matter, and their number.
struct PackedSteps {
  PointSteps steps;
  std::size_t count;
};

constexpr std::array<PackedSteps, 32> packed_point_steps() {
  std::array<PackedSteps, 32> table{};
  for (std::uint32_t marks = 0; marks < table.size(); ++marks) {
    const PointSteps& steps = kPointSteps[(marks & kBoundaryWhitePixel) != 0 ? 1 : 0];
    PackedSteps& packed = table[marks];
    for (int k = 0; k < 4; ++k) {
      if ((marks >> k & 1) != 0) packed.steps.step[packed.count++] = steps.step[k];
    }
  }
  return table;
}

constexpr std::array<PackedSteps, 32> kPackedPointSteps = packed_point_steps();

// The steps of a pixel by its boundary marks.
const PointSteps& point_steps_of(std::uint32_t marks) {
  return kPointSteps[(marks & kBoundaryWhitePixel) != 0 ? 1 : 0];
}

// Calls visit(a, b, point) for every boundary record in scan order, with the
// pixel indices a and b of the pixel and its neighbour.
template <class Visit>
void visit_boundary(const Segmentation& s, Visit&& visit) {
  const std::uint32_t w = s.width;
  const std::uint32_t offsets[4] = {1, w, w - 1, w + 1};
  for (std::uint32_t y = 0; y < s.height; ++y) {
    const std::uint32_t row_start = y * w;  // w * h < 2^32
    const std::uint8_t* marks = s.boundary.data() + row_start;
    const auto y2 = static_cast<std::int32_t>(2 * y);
    for (std::uint32_t x = 1; x + 1 < w; ++x) {
      std::uint32_t bits = marks[x];
      if (bits == 0) continue;
      const PointSteps& steps = point_steps_of(bits);
      const std::uint32_t a = row_start + x;
      const auto x2 = static_cast<std::int32_t>(2 * x);
      for (bits &= 0xF; bits != 0; bits &= bits - 1) {
        const int k = std::countr_zero(bits);
        const PointLanes& step = steps.step[k];
        visit(a, a + offsets[k], BoundaryPoint{x2 + step[0], y2 + step[1], step[2], step[3]});
      }
    }
  }
}

// Open-addressing map from cluster key to a number, with linear probing. A
// key joins two different roots, so the key 0 (root 0 with itself) marks an
// empty slot.
class KeyTable {
 public:
  // Room for about `expected` keys before the table first grows.
  explicit KeyTable(std::size_t expected = 512) { rehash(std::bit_ceil(std::max<std::size_t>(2 * expected, 64))); }

  // The number of `key`, if it is in the table.
  std::optional<std::uint32_t> find(std::uint64_t key) const {
    for (std::size_t slot = home(key);; slot = (slot + 1) & mask_) {
      const Slot& there = slots_[slot];
      if (there.key == key) return there.number;
      if (there.key == 0) return std::nullopt;
    }
  }

  // The number of `key`; a key not seen before gets `fresh`.
  std::uint32_t number(std::uint64_t key, std::uint32_t fresh) {
    std::size_t slot = home(key);
    for (;;) {  // a hit on the first probe is by far the most common case
      const Slot& there = slots_[slot];
      if (there.key == key) return there.number;
      if (there.key == 0) break;
      slot = (slot + 1) & mask_;
    }
    slots_[slot] = {key, fresh};
    if (2 * ++count_ > slots_.size()) rehash(2 * slots_.size());
    return fresh;
  }

 private:
  struct Slot {
    std::uint64_t key;
    std::uint32_t number;
  };

  std::size_t home(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void rehash(std::size_t capacity) {
    Vec<Slot> old(capacity, Slot{0, 0});  // swapped: the empty table becomes the new one
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    for (const Slot& s : old) {
      if (s.key == 0) continue;
      std::size_t slot = home(s.key);
      while (slots_[slot].key != 0) slot = (slot + 1) & mask_;
      slots_[slot] = s;
    }
  }

  Vec<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 0;
  std::size_t count_ = 0;
};

// The region pairs of the boundary records: the distinct keys numbered in
// order of first appearance, with their record counts.
class KeyNumbering {
 public:
  explicit KeyNumbering(std::size_t expected = 512) : table_(expected) {}

  std::optional<std::uint32_t> find(std::uint64_t key) const { return table_.find(key); }

  // The number of `key`.
  std::uint32_t number(std::uint64_t key) {
    const std::uint32_t n = table_.number(key, static_cast<std::uint32_t>(keys.size()));
    if (n == keys.size()) {
      keys.push_back(key);
      counts.push_back(0);
    }
    return n;
  }

  Vec<std::uint64_t> keys;
  Vec<std::uint32_t> counts;

 private:
  KeyTable table_;
};

#if MORVELIN_HAVE_AVX2_VARIANTS
// For each set of neighbour bits, the 32-bit lanes of the selected ones of
// four 64-bit keys, in neighbour order, followed by lanes of no matter.
struct KeyLanes {
  alignas(32) std::int32_t lanes[16][8];
};

constexpr KeyLanes key_lanes() {
  KeyLanes t{};
  for (int bits = 0; bits < 16; ++bits) {
    int n = 0;
    for (int k = 0; k < 4; ++k) {
      if ((bits >> k & 1) == 0) continue;
      t.lanes[bits][n++] = 2 * k;
      t.lanes[bits][n++] = 2 * k + 1;
    }
  }
  return t;
}

constexpr KeyLanes kKeyLanes = key_lanes();

// RowRecords::keys for the marked pixels `columns` of the row starting at
// pixel index `row_start`: a pixel's four candidate keys in one vector, the
// marked ones moved to the front and all four written. `keys` needs room for
// four keys per column.
MORVELIN_AVX2_VARIANT std::size_t row_keys_avx2(const Segmentation& s, std::uint32_t row_start,
                                                const std::uint32_t* columns, std::size_t count,
                                                std::uint64_t* keys) {
  const std::uint32_t w = s.width;
  const std::uint32_t* labels = s.labels.data();
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t a = row_start + columns[i];
    const unsigned bits = s.boundary[a] & 0xFu;
    // Labels below-left-left ... below-right (marked pixels are above the
    // last row and off the first and last column, so all four exist),
    // reordered to the record order right, below, below-left, below-right.
    const __m128i below = _mm_loadu_si128(reinterpret_cast<const __m128i*>(labels + a + w - 2));
    const __m128i around = _mm_insert_epi32(_mm_shuffle_epi32(below, _MM_SHUFFLE(3, 1, 2, 0)),
                                            static_cast<int>(labels[a + 1]), 0);
    const __m128i self = _mm_set1_epi32(static_cast<int>(labels[a]));
    const __m128i smaller = _mm_min_epu32(self, around);
    const __m128i larger = _mm_max_epu32(self, around);
    const __m256i key = _mm256_set_m128i(_mm_unpackhi_epi32(larger, smaller), _mm_unpacklo_epi32(larger, smaller));
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kKeyLanes.lanes[bits]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + n), _mm256_permutevar8x32_epi32(key, order));
    n += static_cast<std::size_t>(std::popcount(bits));
  }
  return n;
}

// The columns x = 1 ... w - 2 whose marks are not zero, 32 columns at a
// time: eight columns are written for every eight looked at, the marked ones
// first. `columns` needs room for w + 8.
MORVELIN_AVX2_VARIANT std::size_t marked_columns_avx2(const std::uint8_t* marks, std::uint32_t w,
                                                      std::uint32_t* columns) {
  std::size_t n = 0;
  std::uint32_t x = 1;
  for (; x + 33 <= w; x += 32) {  // columns x ... x + 31, none past w - 2
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(marks + x));
    auto set = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(m, _mm256_setzero_si256())));
    for (std::uint32_t first = x; first < x + 32; first += 8, set >>= 8) {
      const std::uint32_t byte = set & 0xFFu;
      const __m128i places = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFlagPlaces.at[byte]));
      const __m256i at = _mm256_add_epi32(_mm256_cvtepu8_epi32(places), _mm256_set1_epi32(static_cast<int>(first)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(columns + n), at);
      n += kFlagPlaces.count[byte];
    }
  }
  for (; x + 1 < w; ++x) {
    columns[n] = x;
    n += marks[x] != 0 ? 1 : 0;
  }
  return n;
}

// RowRecords::points for the marked pixels `columns` of a row with marks
// `marks`, two candidate points to a vector. `points` needs room for four
// points per column.
MORVELIN_AVX2_VARIANT std::size_t row_points_avx2(const std::uint8_t* marks, std::int32_t y2,
                                                  const std::uint32_t* columns, std::size_t count,
                                                  BoundaryPoint* points) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t x = columns[i];
    const PackedSteps& packed = kPackedPointSteps[marks[x] & (kPackedPointSteps.size() - 1)];
    const auto x2 = static_cast<std::int32_t>(2 * x);
    const __m256i at = _mm256_setr_epi32(x2, y2, 0, 0, x2, y2, 0, 0);
    const auto* steps = reinterpret_cast<const __m256i*>(packed.steps.step);
    for (int half = 0; half < 2; ++half) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(points + n + 2 * half),
                          _mm256_add_epi32(at, _mm256_loadu_si256(steps + half)));
    }
    n += packed.count;
  }
  return n;
}
#endif

// Copies a run of points, a few on average: inline, without the call and
// size dispatch of a library copy.
void copy_points(const BoundaryPoint* from, std::size_t count, BoundaryPoint* to) {
  for (std::size_t i = 0; i < count; ++i) {
    PointLanes point;
    std::memcpy(&point, &from[i], sizeof point);
    std::memcpy(static_cast<void*>(&to[i]), &point, sizeof point);
  }
}

// The boundary records of one row at a time, gathered without branching on
// the marks (which are as good as random in textured parts of an image):
// every candidate is written and the end moves on only for marked ones.
class RowRecords {
 public:
  explicit RowRecords(const Segmentation& s)
      : s_(s),
        marked_(static_cast<std::size_t>(s.width) + 8),
        keys_(4 * static_cast<std::size_t>(s.width)),
        points_(keys_.size()),
        run_starts_(keys_.size() + 1) {}

  // The cluster keys of row y's records, in scan order; returns their count.
  std::size_t keys(std::uint32_t y) {
    const std::uint32_t w = s_.width;
    const std::uint32_t offsets[4] = {1, w, w - 1, w + 1};
    const std::uint32_t* labels = s_.labels.data();
    const std::uint32_t row_start = y * w;  // w * h < 2^32
    const std::size_t marked = find_marked(y);
#if MORVELIN_HAVE_AVX2_VARIANTS
    if (cpu_has_avx2()) return row_keys_avx2(s_, row_start, marked_.data(), marked, keys_.data());
#endif
    std::size_t n = 0;
    for (std::size_t i = 0; i < marked; ++i) {
      const std::uint32_t a = row_start + marked_[i];
      const std::uint32_t bits = s_.boundary[a];
      const std::uint32_t ra = labels[a];
      for (int k = 0; k < 4; ++k) {
        const std::uint32_t bit = (bits >> k) & 1;
        // An unmarked neighbour may be unknown: read the pixel itself instead.
        const std::uint32_t rb = labels[a + (offsets[k] & (0u - bit))];
        keys_[n] = pair_key(ra, rb);
        n += bit;
      }
    }
    return n;
  }

  // The points of row y's records, in scan order; returns their count. A
  // pixel's four candidates are all written, its marked ones first, and the
  // end moves on by their number.
  std::size_t points(std::uint32_t y) {
    const std::uint32_t row_start = y * s_.width;
    const auto y2 = static_cast<std::int32_t>(2 * y);
    const std::size_t marked = find_marked(y);
    static_assert(kBoundaryWhitePixel < kPackedPointSteps.size());
#if MORVELIN_HAVE_AVX2_VARIANTS
    if (cpu_has_avx2()) {
      return row_points_avx2(s_.boundary.data() + row_start, y2, marked_.data(), marked, points_.data());
    }
#endif
    std::size_t n = 0;
    for (std::size_t i = 0; i < marked; ++i) {
      const std::uint32_t x = marked_[i];
      const std::uint32_t marks = s_.boundary[row_start + x] & (kPackedPointSteps.size() - 1);
      const PackedSteps& packed = kPackedPointSteps[marks];
      const PointLanes at = {static_cast<std::int32_t>(2 * x), y2, 0, 0};
      for (int k = 0; k < 4; ++k) {
        const PointLanes point = at + packed.steps.step[k];
        std::memcpy(static_cast<void*>(&points_[n + k]), &point, sizeof point);  // trivially copyable
      }
      n += packed.count;
    }
    return n;
  }

  // Splits the first `count` keys into runs of equal keys; returns the number
  // of runs, run r being [run_starts()[r], run_starts()[r + 1]).
  std::size_t find_runs(std::size_t count) {
    if (count == 0) return 0;
    std::size_t runs = 1;
    run_starts_[0] = 0;
    for (std::size_t i = 1; i < count; ++i) {
      run_starts_[runs] = static_cast<std::uint32_t>(i);
      runs += keys_[i] != keys_[i - 1] ? 1 : 0;
    }
    run_starts_[runs] = static_cast<std::uint32_t>(count);
    return runs;
  }

  const std::uint64_t* key_data() const { return keys_.data(); }
  const std::uint32_t* run_starts() const { return run_starts_.data(); }
  const BoundaryPoint* point_data() const { return points_.data(); }

 private:
  // Columns of the marked pixels of row y.
  std::size_t find_marked(std::uint32_t y) {
    const std::uint8_t* marks = s_.boundary.data() + static_cast<std::size_t>(y) * s_.width;
#if MORVELIN_HAVE_AVX2_VARIANTS
    if (cpu_has_avx2()) return marked_columns_avx2(marks, s_.width, marked_.data());
#endif
    std::size_t n = 0;
    for (std::uint32_t x = 1; x + 1 < s_.width; ++x) {
      marked_[n] = x;
      n += marks[x] != 0 ? 1 : 0;
    }
    return n;
  }

  const Segmentation& s_;
  OwnedArray<std::uint32_t> marked_;
  OwnedArray<std::uint64_t> keys_;
  OwnedArray<BoundaryPoint> points_;
  OwnedArray<std::uint32_t> run_starts_;
};

// A run of consecutive records (within one row) of the same region pair.
struct RecordRun {
  std::uint32_t number;  // of the key, within its band
  std::uint32_t length;
};

constexpr std::size_t kDropped = ~std::size_t{0};

// Where a key first appears: its band and its number there.
struct KeyOwner {
  std::uint32_t band;
  std::uint32_t index;
};

// The records of a band of rows [y0, y1), gathered independently of the
// other bands: keys numbered within the band, and the band's runs.
struct BandRecords {
  std::uint32_t y0 = 0;
  std::uint32_t y1 = 0;
  KeyNumbering numbering;
  Vec<RecordRun> runs;
  Vec<std::size_t> row_runs;  // runs of row y0 + i: [row_runs[i], row_runs[i + 1])
  // Per number of the band: the band and number where the key first appears,
  // and for keys first appearing here, their count over all bands and where
  // the next of their points goes (kDropped for dropped clusters).
  Vec<KeyOwner> owner;
  Vec<std::uint32_t> total;
  Vec<std::size_t> next;
  Vec<std::uint32_t> foreign;  // numbers of the keys that first appear in an earlier band
  Vec<std::size_t> cursor;  // per number: where the band's next point of the key goes, or kDropped

  // First pass: the records of each row as runs of equal keys, one table
  // look-up per run.
  void gather(const Segmentation& s) {
    RowRecords records(s);
    row_runs.assign(static_cast<std::size_t>(y1 - y0) + 1, 0);
    for (std::uint32_t y = y0; y < y1; ++y) {
      const std::size_t count = records.keys(y);
      const std::size_t run_count = records.find_runs(count);
      const std::uint64_t* keys = records.key_data();
      const std::uint32_t* run_start = records.run_starts();
      for (std::size_t r = 0; r < run_count; ++r) {
        const std::uint32_t number = numbering.number(keys[run_start[r]]);
        const std::uint32_t length = run_start[r + 1] - run_start[r];
        numbering.counts[number] += length;
        runs.push_back({number, length});
      }
      row_runs[y - y0 + 1] = runs.size();
    }
  }

  // Second pass: the points of each row, run by run to their clusters.
  void scatter(const Segmentation& s, BoundaryPoint* out) {
    RowRecords records(s);
    for (std::uint32_t y = y0; y < y1; ++y) {
      const std::size_t first = row_runs[y - y0];
      const std::size_t last = row_runs[y - y0 + 1];
      if (first == last) continue;
      records.points(y);
      const BoundaryPoint* p = records.point_data();
      for (std::size_t r = first; r < last; ++r) {
        const RecordRun& run = runs[r];
        std::size_t& at = cursor[run.number];
        if (at != kDropped) {
          copy_points(p, run.length, out + at);
          at += run.length;
        }
        p += run.length;
      }
    }
  }
};

// Bands of rows for the parallel passes: enough for two or more threads to
// share the work evenly, few enough that per-band tables stay cheap. Where
// there are more bands than workers, each worker gets as many: five bands on
// two workers take as long as six.
struct RowBand {
  std::uint32_t y0 = 0;
  std::uint32_t y1 = 0;
};

Vec<RowBand> row_bands(std::uint32_t height) {
  constexpr std::uint32_t kRowsPerBand = 96;
  constexpr std::uint32_t kMostBands = 8;
  std::uint32_t count = std::clamp<std::uint32_t>(height / kRowsPerBand, 1, kMostBands);
  const auto workers = static_cast<std::uint32_t>(std::min<std::size_t>(worker_count(), kMostBands));
  if (count > workers) count -= count % workers;
  Vec<RowBand> bands(count);
  for (std::uint32_t b = 0; b < count; ++b) {
    bands[b].y0 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(height) * b / count);
    bands[b].y1 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(height) * (b + 1) / count);
  }
  return bands;
}

std::uint32_t smaller_root(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }
std::uint32_t larger_root(std::uint64_t key) { return static_cast<std::uint32_t>(key); }

struct KeptCluster {
  std::uint64_t key;
  KeyOwner owner;
};

// Finds where each key first appears and adds up its counts there; returns
// the clusters of at least `minimum` records, in no particular order. A key
// can have appeared in an earlier band only when both of its regions have,
// so only those keys are looked up in the earlier bands' tables. The bands
// are worked on side by side; only the counts of keys that first appear in
// an earlier band are added band after band.
Vec<KeptCluster> merge_bands(Vec<BandRecords>& bands, std::size_t labels, std::uint32_t minimum) {
  // Per band, one bit per root: in a key of an earlier band.
  const std::size_t words = (labels + 63) / 64;
  Vec<std::uint64_t> earlier(bands.size() * words, 0);
  const auto bits_of = [&](std::size_t b) { return earlier.data() + b * words; };
  parallel_for(bands.size(), [&](std::size_t b) {  // first the roots of band b itself
    std::uint64_t* bits = bits_of(b);
    const auto set = [bits](std::uint32_t root) { bits[root / 64] |= std::uint64_t{1} << (root % 64); };
    for (const std::uint64_t key : bands[b].numbering.keys) {
      set(smaller_root(key));
      set(larger_root(key));
    }
  });
  // Then, word by word, band b's bits become the union of those before it.
  constexpr std::size_t kWordsPerTask = 4096;
  parallel_for((words + kWordsPerTask - 1) / kWordsPerTask, [&](std::size_t t) {
    for (std::size_t w = t * kWordsPerTask; w < std::min(words, (t + 1) * kWordsPerTask); ++w) {
      std::uint64_t before = 0;
      for (std::size_t b = 0; b < bands.size(); ++b) before |= std::exchange(bits_of(b)[w], before);
    }
  });
  parallel_for(bands.size(), [&](std::size_t b) {
    BandRecords& band = bands[b];
    const Vec<std::uint64_t>& keys = band.numbering.keys;
    const std::uint64_t* seen = bits_of(b);
    const auto seen_before = [&](std::uint32_t root) { return (seen[root / 64] >> (root % 64) & 1) != 0; };
    band.owner.resize(keys.size());
    band.total.assign(keys.size(), 0);
    band.next.assign(keys.size(), kDropped);
    band.foreign.clear();
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
      KeyOwner owner{static_cast<std::uint32_t>(b), i};
      if (seen_before(smaller_root(keys[i])) && seen_before(larger_root(keys[i]))) {
        for (std::uint32_t c = 0; c < b; ++c) {
          if (const auto n = bands[c].numbering.find(keys[i])) {
            owner = {c, *n};
            band.foreign.push_back(i);
            break;
          }
        }
      }
      band.owner[i] = owner;
      if (owner.band == b) band.total[i] = band.numbering.counts[i];
    }
  });
  for (BandRecords& band : bands) {
    for (const std::uint32_t i : band.foreign) {
      bands[band.owner[i].band].total[band.owner[i].index] += band.numbering.counts[i];
    }
  }
  Vec<Vec<KeptCluster>> kept(bands.size());
  parallel_for(bands.size(), [&](std::size_t b) {
    const BandRecords& band = bands[b];
    for (std::uint32_t i = 0; i < band.owner.size(); ++i) {
      if (band.owner[i].band != b || band.total[i] < minimum) continue;
      kept[b].push_back({band.numbering.keys[i], band.owner[i]});
    }
  });
  for (std::size_t b = 1; b < kept.size(); ++b) kept[0].insert(kept[0].end(), kept[b].begin(), kept[b].end());
  return kept.empty() ? Vec<KeptCluster>{} : std::move(kept[0]);
}

// Sorts clusters by key, a few bits at a time from the lowest: their roots
// are below `labels`, so a key packs into twice as many bits as the largest
// root has. On thousands of clusters a comparison sort, whose branches on
// random keys go either way, takes several times as long.
void sort_by_key(Vec<KeptCluster>& clusters, std::size_t labels) {
  const auto root_bits = static_cast<unsigned>(std::bit_width(labels));
  const auto packed = [&](std::uint64_t key) {
    return static_cast<std::uint64_t>(smaller_root(key)) << root_bits | larger_root(key);
  };
  constexpr unsigned kDigitBits = 11;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  Vec<KeptCluster> sorted(clusters.size());
  Vec<std::size_t> next(kDigits);
  for (unsigned shift = 0; shift < 2 * root_bits; shift += kDigitBits) {
    std::fill(next.begin(), next.end(), 0);
    for (const KeptCluster& c : clusters) ++next[packed(c.key) >> shift & (kDigits - 1)];
    std::size_t start = 0;
    for (std::size_t& n : next) start += std::exchange(n, start);
    for (const KeptCluster& c : clusters) sorted[next[packed(c.key) >> shift & (kDigits - 1)]++] = c;
    clusters.swap(sorted);
  }
}

// Labels and boundary marks by bands of rows in parallel, each row's labels
// starting after those of all rows above it. Returns the number of labels.
std::uint32_t label_and_mark(const TernaryImage& t, const Vec<RowBand>& bands, Segmentation& s) {
  Vec<std::uint32_t> first_label(s.height + 1, 0);
  parallel_for(bands.size(), [&](std::size_t b) {
    for (std::uint32_t y = bands[b].y0; y < bands[b].y1; ++y) first_label[y + 1] = count_new_labels(t, y);
  });
  for (std::uint32_t y = 0; y < s.height; ++y) first_label[y + 1] += first_label[y];  // at most w h < 2^32 - 1
  parallel_for(bands.size(), [&](std::size_t b) {
    for (std::uint32_t y = bands[b].y0; y < bands[b].y1; ++y) {
      label_row(t, y, first_label[y], s.labels.data() + static_cast<std::size_t>(y) * s.width);
      mark_boundary_row(t, y, s.boundary.data() + static_cast<std::size_t>(y) * s.width);
    }
  });
  return first_label[s.height];
}

// Joins rows y0 ... y1 - 1 each with the row above it (row 0 has none).
template <class Join>
void join_rows(const TernaryImage& t, const Segmentation& s, std::uint32_t y0, std::uint32_t y1, Join&& join) {
  LabelRuns runs(s.width), above(s.width);
  const std::uint32_t first = std::max<std::uint32_t>(y0, 1);
  find_runs(s.labels.data() + static_cast<std::size_t>(first - 1) * s.width, s.width, above);
  for (std::uint32_t y = first; y < y1; ++y) {
    const std::uint32_t* lab = s.labels.data() + static_cast<std::size_t>(y) * s.width;
    find_runs(lab, s.width, runs);
    join_runs(t, y, lab, runs, above, join);
    std::swap(runs, above);
  }
}

// The unions of a part of the rows below the first, made while the parts
// above are still being joined. A union is made at once when both of its
// sets lie wholly in the part and no union yet left for later touches them;
// any other (every union of the part's first row with the row above, and
// then every union of a set such a union touched) is kept, in order, for
// after the parts above. Unions of disjoint sets commute, so making those
// later gives every label the root that one top-to-bottom scan gives it.
class DeferredJoins {
 public:
  DeferredJoins(RegionForest& forest, Vec<std::uint8_t>& waiting, std::uint32_t first_row)
      : forest_(forest), waiting_(waiting), first_row_(first_row) {}

  std::uint32_t operator()(std::uint32_t y, std::uint32_t root, std::uint32_t label, std::uint32_t above) {
    if (y != first_row_) {
      const std::uint32_t above_root = forest_.find(above);
      if ((waiting_[root] | waiting_[above_root]) == 0) return forest_.link(root, above_root);
      waiting_[above_root] = 1;
    }
    waiting_[root] = 1;
    later.push_back({label, above});
    return root;
  }

  struct Union {
    std::uint32_t label;
    std::uint32_t above;
  };
  Vec<Union> later;  // in scan order

 private:
  RegionForest& forest_;
  // Per root of the part (a byte each, so that parts never share one):
  // touched by a union left for later.
  Vec<std::uint8_t>& waiting_;
  std::uint32_t first_row_;
};

// The regions grow as in one ordered scan of unions, row after row. On
// several workers the rows are split into parts joined side by side; the
// unions that the parts below the first leave for later are made afterwards,
// part by part.
void join_regions(const TernaryImage& t, Segmentation& s) {
  constexpr std::uint32_t kRowsPerPart = 64;
  const auto parts = static_cast<std::uint32_t>(
      std::min<std::size_t>(worker_count(), std::max<std::uint32_t>(1, s.height / kRowsPerPart)));
  const auto first_row = [&](std::size_t p) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(s.height) * p / parts);
  };
  const auto unite_now = [&](std::uint32_t, std::uint32_t root, std::uint32_t, std::uint32_t above) {
    return s.regions.unite(root, above);
  };
  Vec<std::uint8_t> waiting(parts > 1 ? s.regions.size() : 0, 0);
  Vec<DeferredJoins> deferred;  // parts 1, 2, ...
  for (std::uint32_t p = 1; p < parts; ++p) deferred.emplace_back(s.regions, waiting, first_row(p));
  parallel_for(parts, [&](std::size_t p) {
    if (p == 0) {
      join_rows(t, s, 0, first_row(1), unite_now);
    } else {
      join_rows(t, s, first_row(p), first_row(p + 1), deferred[p - 1]);
    }
  });
  for (const DeferredJoins& part : deferred) {
    for (const DeferredJoins::Union& u : part.later) s.regions.join(u.label, u.above);
  }
}

// Every pixel gets the root of its label, so that a region is one number.
void replace_labels_by_roots(const Vec<RowBand>& bands, Segmentation& s) {
  const UninitializedVec<std::uint32_t> roots = s.regions.roots();
  if (roots.empty()) return;  // every pixel is unknown
  parallel_for(bands.size(), [&](std::size_t b) {
    const std::size_t end = static_cast<std::size_t>(bands[b].y1) * s.width;
    for (std::size_t i = static_cast<std::size_t>(bands[b].y0) * s.width; i < end; ++i) {
      const std::uint32_t label = s.labels[i];
      const std::uint32_t root = roots[label == kNoLabel ? 0 : label];
      s.labels[i] = label == kNoLabel ? kNoLabel : root;
    }
  });
}

}  // namespace

Result<Segmentation> segment(const TernaryImage& ternary) {
  if (auto error = check_segmentable(ternary.width, ternary.height)) return *error;
  Segmentation s;
  s.width = ternary.width;
  s.height = ternary.height;
  s.labels = OwnedArray<std::uint32_t>(ternary.pixels.size());
  s.boundary = OwnedArray<std::uint8_t>(ternary.pixels.size());
  if (ternary.pixels.empty()) return s;
  const Vec<RowBand> bands = row_bands(s.height);
  s.regions.grow(label_and_mark(ternary, bands, s));
  join_regions(ternary, s);
  replace_labels_by_roots(bands, s);
  return s;
}

Vec<BoundaryRecord> boundary_records(const Segmentation& segmentation) {
  Vec<BoundaryRecord> records;
  visit_boundary(segmentation,
                 [&](std::uint32_t a, std::uint32_t b, const BoundaryPoint& p) { records.push_back({p, a, b}); });
  return records;
}

BoundaryClusters cluster_boundary(const Segmentation& segmentation, std::int32_t min_cluster_pixels) {
  const std::uint32_t minimum = static_cast<std::uint32_t>(std::max<std::int32_t>(24, min_cluster_pixels));
  const Vec<RowBand> rows = row_bands(segmentation.height);
  Vec<BandRecords> bands(rows.size());
  parallel_for(bands.size(), [&](std::size_t b) {
    bands[b].y0 = rows[b].y0;
    bands[b].y1 = rows[b].y1;
    bands[b].gather(segmentation);
  });

  Vec<KeptCluster> kept = merge_bands(bands, segmentation.regions.size(), minimum);
  sort_by_key(kept, segmentation.regions.size());

  // Kept clusters are laid out by key; within a cluster the bands' points
  // follow each other in band order, so every cluster stays in scan order.
  Vec<std::uint64_t> keys(kept.size());
  Vec<std::size_t> starts(kept.size() + 1);
  std::size_t total = 0;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const KeyOwner& o = kept[k].owner;
    keys[k] = kept[k].key;
    starts[k] = bands[o.band].next[o.index] = total;
    total += bands[o.band].total[o.index];
  }
  starts[kept.size()] = total;
  // Each band's points of a key follow those of the bands before it: a key
  // first appearing in the band starts where its cluster does, the others
  // where the earlier bands left off, band after band.
  parallel_for(bands.size(), [&](std::size_t b) {
    BandRecords& band = bands[b];
    band.cursor.resize(band.owner.size());
    for (std::size_t i = 0; i < band.owner.size(); ++i) {
      if (band.owner[i].band != b) continue;
      band.cursor[i] = band.next[i];
      if (band.next[i] != kDropped) band.next[i] += band.numbering.counts[i];
    }
  });
  for (BandRecords& band : bands) {
    for (const std::uint32_t i : band.foreign) {
      std::size_t& at = bands[band.owner[i].band].next[band.owner[i].index];
      band.cursor[i] = at;
      if (at != kDropped) at += band.numbering.counts[i];
    }
  }
  OwnedArray<BoundaryPoint> points(total);
  parallel_for(bands.size(), [&](std::size_t b) { bands[b].scatter(segmentation, points.data()); });
  return BoundaryClusters(std::move(keys), std::move(starts), std::move(points));
}

Vec<ClusterTally> tally_boundary(const Segmentation& segmentation,
                                 const std::function<bool(const BoundaryPoint&)>& near) {
  const std::uint32_t* labels = segmentation.labels.data();
  KeyNumbering n;
  Vec<std::uint32_t> near_counts;
  visit_boundary(segmentation,
                 [&](std::uint32_t a, std::uint32_t b, const BoundaryPoint& p) {
                   const std::uint32_t c = n.number(pair_key(labels[a], labels[b]));
                   near_counts.resize(n.keys.size(), 0);
                   ++n.counts[c];
                   if (near(p)) ++near_counts[c];
                 });
  Vec<ClusterTally> tallies(n.keys.size());
  for (std::size_t c = 0; c < n.keys.size(); ++c) tallies[c] = {n.keys[c], n.counts[c], near_counts[c]};
  std::sort(tallies.begin(), tallies.end(), [](const ClusterTally& a, const ClusterTally& b) { return a.key < b.key; });
  return tallies;
}

Vec<BoundaryPoint> collect_boundary(const Segmentation& segmentation, std::uint64_t key) {
  const std::uint32_t* labels = segmentation.labels.data();
  Vec<BoundaryPoint> points;
  visit_boundary(segmentation,
                 [&](std::uint32_t a, std::uint32_t b, const BoundaryPoint& p) {
                   if (pair_key(labels[a], labels[b]) == key) points.push_back(p);
                 });
  return points;
}

}  // namespace morvelin
