// The fixed constants of the pose Levenberg–Marquardt loop and its
// normal-equation update, shared by its one-problem and two-problem forms.
#pragma once

#include <cstddef>

namespace morvelin::lm {

inline constexpr double kInitialDamping = 0.001;
inline constexpr double kDampingUp = 10.0;
inline constexpr double kDampingDown = 0.1;
inline constexpr double kDampingFloor = 1e-12;  // also the floor of the scaled diagonal
inline constexpr double kDampingCeiling = 1e12;
inline constexpr double kConvergedCost = 1e-24;
inline constexpr int kAttemptsPerIteration = 10;

// Adds one Jacobian row and its residual: g += row·r, H += row·rowᵀ (upper
// triangle only; H is symmetric term by term). T is a double or a pair of
// lanes, which then accumulate two problems at once in the same order.
template <class T, class Matrix, class Vector>
inline void accumulate_row(const T (&row)[6], T residual, Matrix& h, Vector& g) noexcept {
  for (std::size_t a = 0; a < 6; ++a) {
    g[a] += row[a] * residual;
    for (std::size_t b = a; b < 6; ++b) h[a][b] += row[a] * row[b];
  }
}

}  // namespace morvelin::lm
