#include "imgproc/otsu_threshold.hpp"

namespace morvelin {

int otsu_threshold(const Histogram256& histogram) {
  double count = 0.0;
  double total = 0.0;
  for (int i = 0; i < 256; ++i) {
    count += histogram[i];
    total += static_cast<double>(i) * histogram[i];
  }
  double w0 = 0.0;
  double sum0 = 0.0;
  double best = -1.0;
  int threshold = 0;
  for (int i = 0; i < 256; ++i) {
    w0 += histogram[i];
    if (w0 == 0.0) continue;
    const double w1 = count - w0;
    if (w1 == 0.0) break;
    sum0 += static_cast<double>(i) * histogram[i];
    const double diff = sum0 / w0 - (total - sum0) / w1;
    const double between = w0 * w1 * (diff * diff);
    if (between > best) {
      best = between;
      threshold = i;
    }
  }
  return threshold;
}

}  // namespace morvelin
