// The Rician bias table: for an observed magnitude's integer part, the
// smallest true value (in steps of 0.1) whose expected Rician magnitude has
// that integer part.
#pragma once

#include <cmath>
#include <cstdint>

#include "stop.h"

namespace quillon {

// Polynomial approximations of the modified Bessel functions I0 and I1,
// branching at |x| = 3.75.
double Bessel0(double x);
double Bessel1(double x);

// The mean of the Rician distribution for true value a and noise sigma, in
// the fixed order that decides which integer it truncates to.
double ExpectedMagnitude(double a, double sigma);

// The most receive coils a sum-of-squares magnitude may come from.
inline constexpr int kMostCoils = 64;

// The mean of the magnitude of a sum of squares over `coils` channels (the
// non-central chi law with 2*coils degrees of freedom) for true value a and
// per-channel noise sigma: the Poisson mixture of central chi means,
// sigma*sqrt(2) * sum_k Pois(k; a^2/(2 sigma^2)) * G(coils+k+1/2)/G(coils+k),
// or its asymptotic series in sigma^2/a^2 once a/sigma is large. coils = 1
// is the Rician mean, but the table for one coil uses ExpectedMagnitude.
double ExpectedChiMagnitude(double a, double sigma, int coils);

// Fills the bias_len entries of the table. Up to `threads` threads evaluate
// the candidates; the table is the same for any number. With a stop flag,
// polls it between blocks of candidates and returns false once it is set,
// the table then unfinished. coils > 1: the entries map through the
// non-central chi mean of that many channels instead of the Rician one, by
// the same rules of candidates and landings.
bool RicianBias(int bias_len, double* table, double sigma, int threads = 1,
                platform::StopFlag* stop = nullptr, int coils = 1);

// The largest voxel value a call with Rician noise takes. The table grows
// with it, and so does its cost: seconds at this bound, some twenty at 1e7
// on a busy two-core machine. Scaling the volume and sigma down changes
// nothing but the units.
inline constexpr double kLargestRicianValue = 4194304.0;  // 2^22

// Entries for a largest input value m >= 0: ceil(2m). Returns -1 when m
// exceeds kLargestRicianValue (or is not finite).
int64_t BiasLength(double largest_value);

}  // namespace quillon

namespace quillon {

// The largest finite voxel value, from 0: negative values never raise it,
// and values that are not finite pass through the call unread.
inline double LargestValue(const double* volume, int64_t count) {
  double m = 0.0;
  for (int64_t i = 0; i < count; ++i)
    if (volume[i] > m && volume[i] < HUGE_VAL) m = volume[i];
  return m;
}

}  // namespace quillon
