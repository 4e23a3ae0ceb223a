// The Rician bias table: for an observed magnitude's integer part, the
// smallest true value (in steps of 0.1) whose expected Rician magnitude has
// that integer part.
#pragma once

#include <cstdint>

namespace quillon {

// Polynomial approximations of the modified Bessel functions I0 and I1,
// branching at |x| = 3.75.
double Bessel0(double x);
double Bessel1(double x);

// The mean of the Rician distribution for true value a and noise sigma, in
// the fixed order that decides which integer it truncates to.
double ExpectedMagnitude(double a, double sigma);

// Fills `copies` identical copies of bias_len entries each, one after another.
// Up to `threads` threads evaluate the candidates; the table is the same for
// any number.
void RicianBias(int bias_len, double* table, int copies, double sigma, int threads = 1);

// Entries per copy for a largest input value m >= 0: ceil(2m). Returns -1
// when eight copies would not fit a 32-bit count (or m is not finite).
int64_t BiasLength(double largest_value);

}  // namespace quillon

namespace quillon {

// The largest voxel value, from 0: negative values never raise it and values
// that are not numbers never replace it.
inline double LargestValue(const double* volume, int64_t count) {
  double m = 0.0;
  for (int64_t i = 0; i < count; ++i)
    if (volume[i] > m) m = volume[i];
  return m;
}

}  // namespace quillon
