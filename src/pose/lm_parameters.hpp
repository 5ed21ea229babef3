// The fixed constants of the pose Levenberg–Marquardt loop, shared by its
// one-problem and two-problem forms.
#pragma once

namespace morvelin::lm {

inline constexpr double kInitialDamping = 0.001;
inline constexpr double kDampingUp = 10.0;
inline constexpr double kDampingDown = 0.1;
inline constexpr double kDampingFloor = 1e-12;  // also the floor of the scaled diagonal
inline constexpr double kDampingCeiling = 1e12;
inline constexpr double kConvergedCost = 1e-24;
inline constexpr int kAttemptsPerIteration = 10;

}  // namespace morvelin::lm
