// Solve of a small dense linear system by in-place LU factorisation with
// partial pivoting, on stack storage. Reports an exactly-zero pivot instead
// of dividing by it, so callers can react to singular systems.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

namespace morvelin {

template <std::size_t kN>
using SquareMatrix = std::array<std::array<double, kN>, kN>;

// Factorises `a` in place (the unit-lower factor below the diagonal, rows in
// pivot order) and solves a·x = b. The pivot of each column is the first
// entry of largest magnitude at or below the diagonal. False, with `x`
// untouched, when a pivot is exactly zero.
template <std::size_t kN>
bool lu_solve_in_place(SquareMatrix<kN>& a, std::array<double, kN> b, std::array<double, kN>& x) noexcept {
  // Fully unrolled for the small fixed sizes this serves; the arithmetic and
  // its order are those of the plain loops.
#pragma GCC unroll 16
  for (std::size_t k = 0; k < kN; ++k) {
    std::size_t pivot = k;
    double largest = std::fabs(a[k][k]);
#pragma GCC unroll 16
    for (std::size_t i = k + 1; i < kN; ++i) {
      if (std::fabs(a[i][k]) > largest) {
        largest = std::fabs(a[i][k]);
        pivot = i;
      }
    }
    if (a[pivot][k] == 0.0) return false;
    std::swap(a[k], a[pivot]);
    std::swap(b[k], b[pivot]);
#pragma GCC unroll 16
    for (std::size_t i = k + 1; i < kN; ++i) {
      const double factor = a[i][k] / a[k][k];
      a[i][k] = factor;
#pragma GCC unroll 16
      for (std::size_t j = k + 1; j < kN; ++j) a[i][j] -= factor * a[k][j];
      b[i] -= factor * b[k];
    }
  }
#pragma GCC unroll 16
  for (std::size_t step = 0; step < kN; ++step) {
    const std::size_t k = kN - 1 - step;
    double sum = b[k];
#pragma GCC unroll 16
    for (std::size_t j = k + 1; j < kN; ++j) sum -= a[k][j] * x[j];
    x[k] = sum / a[k][k];
  }
  return true;
}

}  // namespace morvelin
