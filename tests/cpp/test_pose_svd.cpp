// The Jacobi SVD against Eigen's JacobiSVD, bit for bit, and the lane-batched
// form against the single one.
#include <gtest/gtest.h>

#include <Eigen/SVD>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "pose/jacobi_svd.hpp"
#include "runtime/allocator.hpp"

using namespace morvelin;

namespace {

template <std::size_t kN>
using EigenMatrix = Eigen::Matrix<double, static_cast<int>(kN), static_cast<int>(kN)>;

// Same bits, so −0 differs from +0 and NaNs compare equal.
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

template <std::size_t kN>
void expect_matrix_bits(const SquareMatrix<kN>& ours, const EigenMatrix<kN>& theirs, const char* what) {
  for (std::size_t r = 0; r < kN; ++r) {
    for (std::size_t c = 0; c < kN; ++c) {
      const double expected = theirs(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
      ASSERT_TRUE(same_bits(ours[r][c], expected)) << what << "(" << r << "," << c << "): " << ours[r][c] << " vs " << expected;
    }
  }
}

template <std::size_t kN>
void expect_like_eigen(const SquareMatrix<kN>& a, unsigned factors) {
  EigenMatrix<kN> e;
  for (std::size_t r = 0; r < kN; ++r) {
    for (std::size_t c = 0; c < kN; ++c) e(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = a[r][c];
  }
  unsigned options = 0;
  if (factors & kLeftVectors) options |= Eigen::ComputeFullU;
  if (factors & kRightVectors) options |= Eigen::ComputeFullV;
  const Eigen::JacobiSVD<EigenMatrix<kN>> reference(e, options);
  const std::optional<Svd<kN>> ours = jacobi_svd<kN>(a, factors);
  ASSERT_EQ(ours.has_value(), reference.info() == Eigen::Success);
  if (!ours) return;
  for (std::size_t i = 0; i < kN; ++i) {
    ASSERT_TRUE(same_bits(ours->singular_values[i], reference.singularValues()(static_cast<Eigen::Index>(i)))) << i;
  }
  if (factors & kLeftVectors) expect_matrix_bits<kN>(ours->u, reference.matrixU(), "U");
  if (factors & kRightVectors) expect_matrix_bits<kN>(ours->v, reference.matrixV(), "V");
}

template <std::size_t kN>
SquareMatrix<kN> random_matrix(std::mt19937_64& rng, double scale) {
  std::uniform_real_distribution<double> u(-scale, scale);
  SquareMatrix<kN> a{};
  for (auto& row : a) {
    for (double& e : row) e = u(rng);
  }
  return a;
}

// AᵀA of a 2n x 12 direct-linear-transform system (rows as in the general
// PnP start): symmetric, with exactly zero blocks.
SquareMatrix<12> projection_normal_matrix(std::mt19937_64& rng, int n) {
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  SquareMatrix<12> ata{};
  for (int i = 0; i < n; ++i) {
    const double x = u(rng), y = u(rng), z = u(rng) + 1.5, px = u(rng), py = u(rng);
    const double rows[2][12] = {{x, y, z, 1.0, 0.0, 0.0, 0.0, 0.0, -px * x, -px * y, -px * z, -px},
                                {0.0, 0.0, 0.0, 0.0, x, y, z, 1.0, -py * x, -py * y, -py * z, -py}};
    for (const auto& row : rows) {
      for (std::size_t a = 0; a < 12; ++a) {
        for (std::size_t b = 0; b < 12; ++b) ata[a][b] += row[a] * row[b];
      }
    }
  }
  return ata;
}

// The 9x9 homography counterpart.
SquareMatrix<9> homography_normal_matrix(std::mt19937_64& rng, int n) {
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  SquareMatrix<9> ata{};
  for (int i = 0; i < n; ++i) {
    const double x = u(rng), y = u(rng), pu = u(rng), pv = u(rng);
    const double rows[2][9] = {{-x, -y, -1.0, 0.0, 0.0, 0.0, pu * x, pu * y, pu},
                               {0.0, 0.0, 0.0, -x, -y, -1.0, pv * x, pv * y, pv}};
    for (const auto& row : rows) {
      for (std::size_t a = 0; a < 9; ++a) {
        for (std::size_t b = 0; b < 9; ++b) ata[a][b] += row[a] * row[b];
      }
    }
  }
  return ata;
}

}  // namespace

TEST(JacobiSvd, MatchesEigenBitForBit) {
  std::mt19937_64 rng(1);
  const unsigned all_factors[] = {kSingularValuesOnly, kLeftVectors, kRightVectors, kLeftVectors | kRightVectors};
  for (int trial = 0; trial < 50; ++trial) {
    for (unsigned factors : all_factors) {
      expect_like_eigen<3>(random_matrix<3>(rng, trial % 2 == 0 ? 1.0 : 1e-200), factors);
      expect_like_eigen<9>(homography_normal_matrix(rng, 5 + trial % 3), factors);
      expect_like_eigen<12>(projection_normal_matrix(rng, 6 + trial % 4), factors);
    }
    expect_like_eigen<12>(random_matrix<12>(rng, 1e150), kRightVectors);
  }
}

TEST(JacobiSvd, SpecialMatricesMatchEigen) {
  const unsigned both = kLeftVectors | kRightVectors;
  expect_like_eigen<3>(SquareMatrix<3>{}, both);                                              // all zero
  expect_like_eigen<3>({{{-2.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 5.0}}}, both);         // signs, a zero value
  expect_like_eigen<3>({{{1.0, 2.0, 3.0}, {2.0, 4.0, 6.0}, {-1.0, -2.0, -3.0}}}, both);       // rank one
  expect_like_eigen<3>({{{0.0, 1.0, 0.0}, {-1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}}, both);         // a pure rotation
  expect_like_eigen<3>({{{1e-310, 0.0, 0.0}, {0.0, 3e-310, 1e-311}, {0.0, 0.0, 0.0}}}, both);  // subnormal
  std::mt19937_64 rng(2);
  SquareMatrix<12> few = projection_normal_matrix(rng, 3);  // rank at most 6
  expect_like_eigen<12>(few, kRightVectors);
}

TEST(JacobiSvd, NonFiniteInputHasNoDecomposition) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    SquareMatrix<3> a = {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
    a[1][2] = bad;
    EXPECT_FALSE(jacobi_svd<3>(a, kRightVectors));
  }
  // Huge but finite entries still decompose.
  SquareMatrix<3> big = {{{1e308, 0.0, 0.0}, {0.0, -1e308, 0.0}, {0.0, 0.0, 1.0}}};
  EXPECT_TRUE(jacobi_svd<3>(big, kRightVectors));
}

namespace {

template <std::size_t kN>
void expect_batch_like_single(const Vec<SquareMatrix<kN>>& matrices, unsigned factors) {
  Vec<const SquareMatrix<kN>*> inputs;
  for (const auto& m : matrices) inputs.push_back(&m);
  Vec<std::optional<Svd<kN>>> batch(matrices.size());
  jacobi_svd_batch<kN>(inputs, batch, factors);
  for (std::size_t i = 0; i < matrices.size(); ++i) {
    const auto single = jacobi_svd<kN>(matrices[i], factors);
    ASSERT_EQ(batch[i].has_value(), single.has_value()) << kN << ": " << matrices.size() << " " << i;
    if (single) {
      EXPECT_EQ(std::memcmp(&*batch[i], &*single, sizeof *single), 0) << kN << ": " << matrices.size() << " " << i;
    }
  }
}

}  // namespace

TEST(JacobiSvd, BatchesEqualSingleDecompositions) {
  // Every batch length up to two full passes of the widest kernel plus one,
  // so each kernel width runs with full and partly used lanes; non-finite
  // and zero matrices sit among valid ones, and lanes need different sweep
  // counts.
  std::mt19937_64 rng(3);
  const std::size_t longest = 2 * jacobi_svd_lanes() + 1;
  for (std::size_t count = 1; count <= longest; ++count) {
    Vec<SquareMatrix<12>> general(count);
    Vec<SquareMatrix<9>> planar(count);
    Vec<SquareMatrix<3>> small(count);
    for (std::size_t i = 0; i < count; ++i) {
      general[i] = i % 5 == 3 ? random_matrix<12>(rng, 1.0) : projection_normal_matrix(rng, 6 + static_cast<int>(i % 3));
      planar[i] = homography_normal_matrix(rng, 5 + static_cast<int>(i % 4));
      small[i] = random_matrix<3>(rng, i % 2 == 0 ? 1.0 : 1e-3);
    }
    if (count > 2) {
      general[count / 2][4][7] = std::numeric_limits<double>::quiet_NaN();
      small[count / 2][1][1] = std::numeric_limits<double>::infinity();
    }
    if (count > 3) {
      planar[1] = SquareMatrix<9>{};
      small[2] = {{{-1.0, 0.0, 0.0}, {0.0, 2.0, 0.0}, {0.0, 0.0, 0.0}}};  // negative and zero values
    }
    expect_batch_like_single<12>(general, kRightVectors);
    expect_batch_like_single<9>(planar, kRightVectors);
    expect_batch_like_single<3>(small, kRightVectors);
    expect_batch_like_single<3>(small, kLeftVectors | kRightVectors);
  }
}
