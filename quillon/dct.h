// The orthonormal 4-point DCT and the separable 4x4x4 block transform.
//
// A block is 64 doubles, element (k, j, p) at k + 4*j + 16*p: the same
// column-major order as the volume it is cut from. The arithmetic order of
// every product and sum is fixed, so a block always gives the same bits.
#pragma once

namespace quillon {

// Module-level transform state, set by SetUpTransforms before any worker
// starts and only read while workers run.
extern double* tabla1;  // forward basis by frequency: [4u + n]
extern double* tabla2;  // inverse basis by sample:    [4n + u]
extern double W1;       // DC factor, sqrt(1/4)
extern double W2;       // factor of frequencies 1..3, sqrt(2/4)

// Fills the two 16-double tables (storage owned by the caller) and the
// factors, and makes them the module's tables.
void SetUpTransforms(double* forward_table, double* inverse_table);

// Four-point forward (DCT-II) and inverse (DCT-III); dst must not overlap src.
void dct(const double* src, double* dst);
void idct(const double* src, double* dst);

// Block transforms; src and dst may be the same block.
void dct3(const double* src, double* dst);
void idct3(const double* src, double* dst);

}  // namespace quillon
