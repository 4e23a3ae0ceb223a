// The law of noise-only magnitudes: with one receive channel (coils = 1) a
// magnitude M of complex Gaussian noise of sigma per part follows the
// Rayleigh law, P(M <= m) = 1 - exp(-m^2 / (2 sigma^2)); the root of the sum
// of squares of N channels the central chi law with 2N degrees of freedom,
// P(M <= m) = P(N, m^2 / (2 sigma^2)) (the regularised lower gamma function;
// N = 1 is the Rayleigh law). Fitting sigma to a sample, and the moments the
// fitted law predicts, on a value grid too.
#pragma once

#include <cstdint>
#include <vector>

namespace noise_sigma {

// sigma of the law whose median is the sample's, read where the data are
// exact: for data on a value grid of `step` (0: none), each value k*step
// stands for the magnitudes that round to it, so the sample's distribution
// function is known exactly at the bin edges (k + 1/2) * step only; the law
// is fitted at the edge where it is nearest 1/2, so no interpolation inside
// a bin (which is wrong by 15% when the step is twice sigma) is needed.
// The sample is given as a band: `band` (reordered) holds its values in
// some interval, `below` counts its values under that interval and `total`
// all of them; the median's rank must fall inside the band, and so must the
// values within one step of the median. (The whole sample is a band with
// below = 0.) Returns 0 when the sample cannot be fitted (all of it at 0),
// and -1 when the median falls outside the band.
// `coils` (1 to quillon::kMostCoils) selects the law; sigma is each channel's.
// `median`, when given, receives the sample's median (unless -1 is returned).
double FitMagnitudeSigma(std::vector<double>& band, int64_t below, int64_t total, double step,
                         int coils = 1, double* median = nullptr);

// The law's median over sigma: sqrt(2 ln 2) for one coil.
double MagnitudeMedian(int coils);

// The mean and standard deviation of the law of `sigma`, rounded to the grid
// of `step` (0: none), for the check of a fit against its own sample.
struct Moments {
  double mean = 0.0, sd = 0.0;
};
Moments MagnitudeMoments(double sigma, double step, int coils = 1);

}  // namespace noise_sigma
