#include "imgproc/homography.hpp"

#include <Eigen/LU>

namespace morvelin {

Result<Homography> solve_perspective(std::span<const Point2f, 4> source, std::span<const Point2f, 4> destination) {
  // Unknowns H(0,0) .. H(2,1); row i is the x equation of correspondence i,
  // row i + 4 its y equation.
  Eigen::Matrix<double, 8, 8> a = Eigen::Matrix<double, 8, 8>::Zero();
  Eigen::Matrix<double, 8, 1> b;
  for (int i = 0; i < 4; ++i) {
    const double u = source[i].x;
    const double v = source[i].y;
    const double x = destination[i].x;
    const double y = destination[i].y;
    a(i, 0) = u;
    a(i, 1) = v;
    a(i, 2) = 1.0;
    a(i, 6) = -u * x;
    a(i, 7) = -v * x;
    a(i + 4, 3) = u;
    a(i + 4, 4) = v;
    a(i + 4, 5) = 1.0;
    a(i + 4, 6) = -u * y;
    a(i + 4, 7) = -v * y;
    b(i) = x;
    b(i + 4) = y;
  }
  const Eigen::PartialPivLU<Eigen::Matrix<double, 8, 8>> lu(a);
  if ((lu.matrixLU().diagonal().array() == 0.0).any()) return value_error("perspective solve failed");
  const Eigen::Matrix<double, 8, 1> h = lu.solve(b);
  Homography m;
  m << h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), 1.0;
  return m;
}

}  // namespace morvelin
