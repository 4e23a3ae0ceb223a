#include "portable_log.h"

#include <cmath>

#include "exp.h"

namespace noise_sigma {

double PortableLog(double x) {
  int exponent = 0;
  const double m = std::frexp(x, &exponent);  // x = m * 2^exponent, m in [0.5, 1): exact
  // ln(m) = 2 atanh(z), z = (m - 1) / (m + 1) in (-1/3, 0]: four terms of the
  // series start within 1e-5, and each Halley step cubes the error.
  const double z = (m - 1.0) / (m + 1.0), z2 = z * z;
  double y = 2.0 * z * (1.0 + z2 * (1.0 / 3.0 + z2 * (1.0 / 5.0 + z2 * (1.0 / 7.0))));
  for (int step = 0; step < 3; ++step) {
    const double e = platform::Exp(y);
    y += 2.0 * (m - e) / (m + e);
  }
  return y + static_cast<double>(exponent) * 0.6931471805599453;
}

}  // namespace noise_sigma
