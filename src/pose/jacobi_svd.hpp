// Singular value decomposition of small square matrices by two-sided Jacobi
// rotations. The sweep order, stopping rule, scaling and every floating-point
// operation are those of Eigen 3.4's JacobiSVD on square input, so the
// results are bit-identical to it; the code is faster because it is
// specialised to fixed sizes and can decompose several matrices at once
// across SIMD lanes.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "pose/small_lu.hpp"

namespace morvelin {

enum SvdFactors : unsigned {
  kSingularValuesOnly = 0,
  kLeftVectors = 1,   // compute U
  kRightVectors = 2,  // compute V
};

// A = U·diag(σ)·Vᵀ. Singular values descend; when some are exactly 0 the
// sorting stops at the first of them, leaving the rest in place. Vectors not
// asked for stay zero.
template <std::size_t kN>
struct Svd {
  std::array<double, kN> singular_values{};
  SquareMatrix<kN> u{};  // left singular vectors as columns: u[row][column]
  SquareMatrix<kN> v{};  // right singular vectors as columns
};

// None when an element of `a` is not finite.
template <std::size_t kN>
std::optional<Svd<kN>> jacobi_svd(const SquareMatrix<kN>& a, unsigned factors);

// The decompositions of several matrices, each bit-identical to jacobi_svd
// on its own: out[i] for *a[i]. Right vectors are always computed, left
// ones when `factors` has kLeftVectors. `out` must have a.size() elements.
// Instantiated for kN = 3, 9 and 12.
template <std::size_t kN>
void jacobi_svd_batch(std::span<const SquareMatrix<kN>* const> a, std::span<std::optional<Svd<kN>>> out,
                      unsigned factors = kRightVectors);

// How many matrices jacobi_svd_batch decomposes together on this processor
// (the SIMD lane count of double precision: 2, 4 or 8).
std::size_t jacobi_svd_lanes() noexcept;

}  // namespace morvelin
