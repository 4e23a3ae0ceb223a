// The order statistics the estimates are made of.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace noise_sigma {

// sigma over the median absolute deviation of a Gaussian.
inline constexpr double kMadToSigma = 1.482602218505602;

// The value of rank floor(q * (n - 1)) among `values` (reordered); n > 0.
inline double Quantile(std::vector<double>& values, double q) {
  const auto rank = static_cast<std::ptrdiff_t>(q * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + rank, values.end());
  return values[rank];
}

}  // namespace noise_sigma
