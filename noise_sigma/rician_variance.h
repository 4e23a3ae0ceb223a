// The variance of Rician magnitudes relative to the Gaussian sigma behind them.
#pragma once

namespace noise_sigma {

// Koay and Basser's correction factor xi(theta): the variance of the
// magnitude of a signal of amplitude theta*sigma under Gaussian noise sigma
// in each of its two parts, divided by sigma^2. xi(0) = 2 - pi/2 (Rayleigh
// noise), rising to 1 as theta grows. Defined for theta >= 0.
double RicianVarianceFactor(double theta);

// The same for the root of the sum of squares of `coils` channels (the
// non-central chi law with 2 coils degrees of freedom): 2 coils + theta^2
// - (E[M] / sigma)^2, from 2 coils - (E[M] / sigma)^2 at theta = 0 (about
// 0.5 from four coils up) to 1 as theta grows. coils = 1 agrees with
// RicianVarianceFactor to within the latter's own error (below 3e-6).
double ChiVarianceFactor(double theta, int coils);

// e^-x I0(x) and e^-x I1(x) for x >= 0: the modified Bessel functions scaled
// so that they neither overflow nor lose the cancellation in xi.
double ScaledBessel0(double x);
double ScaledBessel1(double x);

}  // namespace noise_sigma
