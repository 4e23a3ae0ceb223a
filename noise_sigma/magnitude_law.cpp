#include "magnitude_law.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "exp.h"
#include "portable_log.h"
#include "rician_bias.h"

namespace noise_sigma {

namespace {

// The Rayleigh law's median over sigma, sqrt(2 ln 2).
constexpr double kRayleighMedian = 1.1774100225154747;

// sigma of the Rayleigh law that puts probability f at or below m.
double SigmaAt(double m, double f) { return m / std::sqrt(-2.0 * PortableLog(1.0 - f)); }

double RayleighCdf(double m, double sigma) { return 1.0 - platform::Exp(-(m * m) / (2.0 * sigma * sigma)); }

// P(coils, x), the law of x = M^2 / (2 sigma^2) for `coils` channels:
// 1 - exp(-x) * sum_{k < coils} x^k / k!.
double GammaCdf(double x, int coils) {
  double term = 1.0, sum = 1.0;
  for (int k = 1; k < coils; ++k) {
    term = term * (x / k);
    sum = sum + term;
  }
  return 1.0 - platform::Exp(-x) * sum;
}

// The x at which P(coils, x) reaches f, 0 < f < 1, by bisection: the same
// bits on every build, and a few microseconds per fit.
double GammaQuantile(double f, int coils) {
  double lo = 0.0, hi = static_cast<double>(coils);
  while (GammaCdf(hi, coils) < f && hi < 1e6) hi = 2.0 * hi;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (mid <= lo || mid >= hi) break;
    (GammaCdf(mid, coils) < f ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

double ChiCdf(double m, double sigma, int coils) {
  if (coils == 1) return RayleighCdf(m, sigma);
  return GammaCdf((m * m) / (2.0 * sigma * sigma), coils);
}

// sigma of the law that puts probability f at or below m.
double SigmaAt(double m, double f, int coils) {
  if (coils == 1) return SigmaAt(m, f);
  return m / std::sqrt(2.0 * GammaQuantile(f, coils));
}

}  // namespace

double MagnitudeMedian(int coils) {
  return coils == 1 ? kRayleighMedian : std::sqrt(2.0 * GammaQuantile(0.5, coils));
}

double FitMagnitudeSigma(std::vector<double>& band, int64_t below, int64_t total, double step,
                         int coils, double* median_out) {
  const int64_t rank = (total - 1) / 2 - below;
  if (rank < 0 || rank >= static_cast<int64_t>(band.size())) return -1.0;
  std::nth_element(band.begin(), band.begin() + rank, band.end());
  const double median = band[rank];
  if (median_out != nullptr) *median_out = median;
  if (step <= 0.0) return median / MagnitudeMedian(coils);
  // The bins next to the median's: the edges below and above it, and the
  // share of the sample under each.
  const double level = std::nearbyint(median / step);
  const double below_edge = (level - 0.5) * step, above_edge = (level + 0.5) * step;
  // nth_element left the band at most the median before `rank` and at
  // least it after: each count need only read the side where it can differ.
  const auto at = static_cast<std::size_t>(rank);
  const auto count_under = [&](double edge, std::size_t from, std::size_t end) {
    int64_t under = 0;
    for (std::size_t i = from; i < end; ++i) under += band[i] < edge;
    return under;
  };
  const int64_t under_below =
      below + count_under(below_edge, 0, below_edge <= median ? at : band.size());
  const int64_t under_above = below + (above_edge > median
                                           ? rank + 1 + count_under(above_edge, at + 1, band.size())
                                           : count_under(above_edge, 0, band.size()));
  const double n = static_cast<double>(total);
  const double f_below = static_cast<double>(under_below) / n;
  const double f_above = static_cast<double>(under_above) / n;
  const bool use_below =
      below_edge > 0.0 && under_below > 0 && std::fabs(f_below - 0.5) < std::fabs(f_above - 0.5);
  if (use_below) return SigmaAt(below_edge, f_below, coils);
  if (under_above == total) return 0.0;
  return SigmaAt(above_edge, f_above, coils);
}

Moments MagnitudeMoments(double sigma, double step, int coils) {
  // A grid far finer than sigma changes the moments by less than 1e-4.
  if (step <= 0.0 || step < sigma / 64.0) {
    if (coils > 1) {
      // E[M^2] = 2 coils sigma^2.
      const double mean = quillon::ExpectedChiMagnitude(0.0, sigma, coils);
      return Moments{mean, std::sqrt(std::max(0.0, 2.0 * coils * sigma * sigma - mean * mean))};
    }
    return Moments{sigma * std::sqrt(std::numbers::pi / 2.0),
                   sigma * std::sqrt(2.0 - std::numbers::pi / 2.0)};
  }
  // The law's mass in each bin, out to where it is spent (10 sigma past
  // the floor of sqrt(2 coils - 1) sigma, which one coil leaves out).
  const double reach = coils == 1 ? 10.0 : 10.0 + std::sqrt(2.0 * coils);
  const auto bins = static_cast<int64_t>(std::ceil(reach * sigma / step)) + 2;
  double mean = 0.0, square = 0.0;
  for (int64_t k = 0; k < bins; ++k) {
    const double value = static_cast<double>(k) * step;
    const double lo = std::max(0.0, value - 0.5 * step), hi = value + 0.5 * step;
    const double p = ChiCdf(hi, sigma, coils) - ChiCdf(lo, sigma, coils);
    mean += value * p;
    square += value * value * p;
  }
  return Moments{mean, std::sqrt(std::max(0.0, square - mean * mean))};
}

}  // namespace noise_sigma
