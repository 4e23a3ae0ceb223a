#include "rician_bias.h"

#include <cmath>

namespace quillon {
namespace {

// Horner's rule, highest power first.
template <int N>
double Horner(const double (&c)[N], double x) {
  double r = c[N - 1];
  for (int i = N - 2; i >= 0; --i) r = r * x + c[i];
  return r;
}

// Coefficients by ascending power.
constexpr double kSmall0[] = {1.0,       3.5156229, 3.0899424, 1.2067492,
                              0.2659732, 0.0360768, 0.0045813};
constexpr double kLarge0[] = {0.39894228,  0.01328592,  0.00225319, -0.00157565, 0.00916281,
                              -0.02057706, 0.02635537, -0.01647633, 0.00392377};
constexpr double kSmall1[] = {0.5,        0.87890594, 0.51498869, 0.15084934,
                              0.02658733, 0.00301532, 0.00032411};
constexpr double kLarge1[] = {0.39894228, -0.03988024, -0.00362018, 0.00163801, -0.01031555,
                              0.02282967, -0.02895312, 0.01787654, -0.00420059};

}  // namespace

double Bessel0(double x) {
  const double ax = std::fabs(x);
  if (ax < 3.75) {
    const double r = x / 3.75;
    return Horner(kSmall0, r * r);
  }
  return Horner(kLarge0, 3.75 / ax) * (std::exp(ax) / std::sqrt(ax));
}

double Bessel1(double x) {
  const double ax = std::fabs(x);
  double value;
  if (ax < 3.75) {
    const double r = x / 3.75;
    value = Horner(kSmall1, r * r) * ax;
  } else {
    value = (std::exp(ax) / std::sqrt(ax)) * Horner(kLarge1, 3.75 / ax);
  }
  return x < 0.0 ? -value : value;
}

double ExpectedMagnitude(double a, double sigma) {
  const double s2 = sigma * sigma;
  const double t = (a * a) / s2;
  const double q = std::exp(-0.5 * t);
  const double h = 0.5 * t;
  const double x = 0.25 * t;
  const double i0 = Bessel0(x);
  const double i1 = Bessel1(x);
  const double f = h * i1 + (1.0 + h) * i0;
  const double p = (((1.5707963267948966 * q) * f) * f) * s2;
  return std::sqrt(p);
}

void RicianBias(int bias_len, double* table, int copies, double sigma) {
  const int64_t total = static_cast<int64_t>(bias_len) * copies;
  for (int64_t i = 0; i < total; ++i) table[i] = 0.0;
  if (bias_len <= 0) return;

  const double limit = static_cast<double>(bias_len);
  // The candidates are running sums of 0.1, not k/10: their last bits drift,
  // and which entry a candidate lands in depends on them.
  for (double a = 0.0; a < limit; a = a + 0.1) {
    const double e = ExpectedMagnitude(a, sigma);
    int i = e < 2147483648.0 ? static_cast<int>(e) : 0;  // false for NaN
    if (!(e < 2147483648.0) || i < 1) i = static_cast<int>(a);
    if (i < 0 || i >= bias_len || table[i] != 0.0) continue;
    for (int k = 0; k < copies; ++k) table[static_cast<int64_t>(k) * bias_len + i] = a;
  }
}

int64_t BiasLength(double largest_value) {
  const double n = std::ceil(2.0 * largest_value);
  if (!(n <= 2147483647.0 / 8.0)) return -1;
  return static_cast<int64_t>(n);
}

}  // namespace quillon
