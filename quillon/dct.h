// The orthonormal 4-point DCT and the separable 4x4x4 block transform.
//
// A block is 64 doubles, element (k, j, p) at k + 4*j + 16*p: the same
// column-major order as the volume it is cut from. The arithmetic order of
// every product and sum is fixed, so a block always gives the same bits.
#pragma once

namespace quillon {

// The transform tables and factors of a call.
struct Transforms {
  double tabla1[16];  // forward basis by frequency: [4u + n]
  double tabla2[16];  // inverse basis by sample:    [4n + u]
  double W1;          // DC factor, sqrt(1/4)
  double W2;          // factor of frequencies 1..3, sqrt(2/4)
};

Transforms MakeTransforms();

// Whether the basis of frequency 0 is exactly 1.0 in both tables, as
// MakeTransforms makes it: the vector kernels leave those products out.
bool HasUnitDcBasis(const Transforms& t);

// Four-point forward (DCT-II) and inverse (DCT-III); dst must not overlap src.
void dct(const Transforms& t, const double* src, double* dst);
void idct(const Transforms& t, const double* src, double* dst);

// Block transforms; src and dst may be the same block.
void dct3(const Transforms& t, const double* src, double* dst);
void idct3(const Transforms& t, const double* src, double* dst);

}  // namespace quillon
