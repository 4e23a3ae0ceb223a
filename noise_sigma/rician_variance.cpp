#include "rician_variance.h"

#include <cmath>
#include <numbers>

#include "exp.h"
#include "rician_bias.h"

namespace noise_sigma {

// Abramowitz and Stegun's polynomials (9.8.1 to 9.8.4), relative error below
// 2e-7: ample for a factor that corrects a median. They need nothing but
// products, sums, a square root and the platform's exp, so every build gets
// the same bits.
double ScaledBessel0(double x) {
  if (x < 3.75) {
    const double t = (x / 3.75) * (x / 3.75);
    const double i0 =
        1.0 + t * (3.5156229 + t * (3.0899424 + t * (1.2067492 + t * (0.2659732 +
                                                                      t * (0.0360768 + t * 0.0045813)))));
    return i0 * platform::Exp(-x);
  }
  const double u = 3.75 / x;
  const double p =
      0.39894228 +
      u * (0.01328592 +
           u * (0.00225319 +
                u * (-0.00157565 +
                     u * (0.00916281 +
                          u * (-0.02057706 + u * (0.02635537 + u * (-0.01647633 + u * 0.00392377)))))));
  return p / std::sqrt(x);
}

double ScaledBessel1(double x) {
  if (x < 3.75) {
    const double t = (x / 3.75) * (x / 3.75);
    const double i1_over_x =
        0.5 + t * (0.87890594 +
                   t * (0.51498869 + t * (0.15084934 + t * (0.02658733 + t * (0.00301532 + t * 0.00032411)))));
    return x * i1_over_x * platform::Exp(-x);
  }
  const double u = 3.75 / x;
  const double p =
      0.39894228 +
      u * (-0.03988024 +
           u * (-0.00362018 +
                u * (0.00163801 +
                     u * (-0.01031555 +
                          u * (0.02282967 + u * (-0.02895312 + u * (0.01787654 + u * -0.00420059)))))));
  return p / std::sqrt(x);
}

double RicianVarianceFactor(double theta) {
  const double t2 = theta * theta;
  // Past theta = 10 the closed form cancels away the digits the polynomials
  // carry (its error grows as theta^2, 2e-6 at 10); the asymptotic series is
  // within 1e-7 of the exact value there and closer beyond.
  if (theta >= 10.0) {
    const double u = 1.0 / t2;
    return 1.0 - u * (0.5 + u * (0.5 + u * 1.5));
  }
  // xi = 2 + t2 - (pi/8) e^(-t2/2) [(2 + t2) I0(t2/4) + t2 I1(t2/4)]^2, with
  // the exponential split evenly into the two scaled Bessel functions.
  const double a = t2 / 4.0;
  const double b = (2.0 + t2) * ScaledBessel0(a) + t2 * ScaledBessel1(a);
  return 2.0 + t2 - (std::numbers::pi / 8.0) * (b * b);
}

double ChiVarianceFactor(double theta, int coils) {
  const double mean = quillon::ExpectedChiMagnitude(theta, 1.0, coils);
  return std::max(0.0, 2.0 * coils + theta * theta - mean * mean);
}

}  // namespace noise_sigma
