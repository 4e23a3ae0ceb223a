#include "magnitude_law.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "exp.h"
#include "portable_log.h"

namespace noise_sigma {

namespace {

// The Rayleigh law's median over sigma, sqrt(2 ln 2).
constexpr double kRayleighMedian = 1.1774100225154747;

// sigma of the Rayleigh law that puts probability f at or below m.
double SigmaAt(double m, double f) { return m / std::sqrt(-2.0 * PortableLog(1.0 - f)); }

double RayleighCdf(double m, double sigma) { return 1.0 - platform::Exp(-(m * m) / (2.0 * sigma * sigma)); }

}  // namespace

double FitMagnitudeSigma(std::vector<double>& band, int64_t below, int64_t total, double step) {
  const int64_t rank = (total - 1) / 2 - below;
  if (rank < 0 || rank >= static_cast<int64_t>(band.size())) return -1.0;
  std::nth_element(band.begin(), band.begin() + rank, band.end());
  const double median = band[rank];
  if (step <= 0.0) return median / kRayleighMedian;
  // The bins next to the median's: the edges below and above it, and the
  // share of the sample under each.
  const double level = std::nearbyint(median / step);
  const double below_edge = (level - 0.5) * step, above_edge = (level + 0.5) * step;
  int64_t under_below = below, under_above = below;
  for (double v : band) {
    under_below += v < below_edge;
    under_above += v < above_edge;
  }
  const double n = static_cast<double>(total);
  const double f_below = static_cast<double>(under_below) / n;
  const double f_above = static_cast<double>(under_above) / n;
  const bool use_below =
      below_edge > 0.0 && under_below > 0 && std::fabs(f_below - 0.5) < std::fabs(f_above - 0.5);
  if (use_below) return SigmaAt(below_edge, f_below);
  if (under_above == total) return 0.0;
  return SigmaAt(above_edge, f_above);
}

Moments MagnitudeMoments(double sigma, double step) {
  // A grid far finer than sigma changes the moments by less than 1e-4.
  if (step <= 0.0 || step < sigma / 64.0) {
    return Moments{sigma * std::sqrt(std::numbers::pi / 2.0),
                   sigma * std::sqrt(2.0 - std::numbers::pi / 2.0)};
  }
  // The law's mass in each bin, out to where it is spent (10 sigma).
  const auto bins = static_cast<int64_t>(std::ceil(10.0 * sigma / step)) + 2;
  double mean = 0.0, square = 0.0;
  for (int64_t k = 0; k < bins; ++k) {
    const double value = static_cast<double>(k) * step;
    const double lo = std::max(0.0, value - 0.5 * step), hi = value + 0.5 * step;
    const double p = RayleighCdf(hi, sigma) - RayleighCdf(lo, sigma);
    mean += value * p;
    square += value * value * p;
  }
  return Moments{mean, std::sqrt(std::max(0.0, square - mean * mean))};
}

}  // namespace noise_sigma
