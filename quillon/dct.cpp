#include "dct.h"

#include <cmath>

namespace quillon {

namespace {

constexpr double kPi = 3.141592653589793;

// cos(((2n + 1) * pi) * u * 0.125), the argument formed in exactly this order.
double Basis(int u, int n) {
  const double arg = static_cast<double>(2 * n + 1) * kPi * static_cast<double>(u) * 0.125;
  return std::cos(arg);
}

// Applies a line transform to the three axes of a block in turn: rows, then
// columns, then slices. This order fixes the rounding of the result.
template <void (*Line)(const Transforms&, const double*, double*)>
void Separable(const Transforms& t, const double* src, double* dst) {
  double scratch[64];
  double in[4];
  double out[4];
  for (int i = 0; i < 64; i += 4) Line(t, src + i, scratch + i);
  for (int k = 0; k < 4; ++k) {
    for (int p = 0; p < 4; ++p) {
      for (int m = 0; m < 4; ++m) in[m] = scratch[k + 16 * p + 4 * m];
      Line(t, in, out);
      for (int m = 0; m < 4; ++m) scratch[k + 16 * p + 4 * m] = out[m];
    }
  }
  for (int k = 0; k < 4; ++k) {
    for (int j = 0; j < 4; ++j) {
      for (int m = 0; m < 4; ++m) in[m] = scratch[k + 4 * j + 16 * m];
      Line(t, in, out);
      for (int m = 0; m < 4; ++m) dst[k + 4 * j + 16 * m] = out[m];
    }
  }
}

}  // namespace

Transforms MakeTransforms() {
  Transforms t;
  for (int u = 0; u < 4; ++u)
    for (int n = 0; n < 4; ++n) t.tabla1[4 * u + n] = Basis(u, n);
  for (int n = 0; n < 4; ++n)
    for (int u = 0; u < 4; ++u) t.tabla2[4 * n + u] = Basis(u, n);
  t.W1 = std::sqrt(0.25);
  t.W2 = std::sqrt(0.5);
  return t;
}

bool HasUnitDcBasis(const Transforms& t) {
  for (int n = 0; n < 4; ++n)
    if (t.tabla1[n] != 1.0 || t.tabla2[4 * n] != 1.0) return false;
  return true;
}

void dct(const Transforms& t, const double* src, double* dst) {
  for (int u = 0; u < 4; ++u) {
    const double* b = t.tabla1 + 4 * u;
    const double s = ((src[0] * b[0] + src[1] * b[1]) + src[2] * b[2]) + src[3] * b[3];
    dst[u] = s * (u == 0 ? t.W1 : t.W2);
  }
}

void idct(const Transforms& t, const double* src, double* dst) {
  // The factor scales each coefficient before it meets the basis value.
  const double a0 = src[0] * t.W1;
  const double a1 = src[1] * t.W2;
  const double a2 = src[2] * t.W2;
  const double a3 = src[3] * t.W2;
  for (int n = 0; n < 4; ++n) {
    const double* b = t.tabla2 + 4 * n;
    dst[n] = ((a0 * b[0] + a1 * b[1]) + a2 * b[2]) + a3 * b[3];
  }
}

void dct3(const Transforms& t, const double* src, double* dst) { Separable<dct>(t, src, dst); }
void idct3(const Transforms& t, const double* src, double* dst) { Separable<idct>(t, src, dst); }

}  // namespace quillon
