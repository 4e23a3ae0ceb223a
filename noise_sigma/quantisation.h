// Data on a value grid: integer-valued scans, or integers scaled by a
// file's slope. The grid's step is found from a sample of the voxels (and
// then checked on every voxel by FillBlocks), and the wavelet coefficients
// of such data, which move in steps too, are spread over their steps.
#pragma once

#include <cstdint>

#include "block_stats.h"

namespace noise_sigma {

// The grid a sample of the volume's finite voxels suggests: the smallest gap
// between two of their distinct values, from the smallest value. Step 0
// when the sample holds fewer than two values or the gap is too fine to be
// a grid (below 1e-9 of the values' range).
ValueGrid SuggestedGrid(const VolumeView& volume);

// A coefficient (an orthonormal Haar coefficient: a sum of eight signed
// voxels over sqrt(8)) of data on a grid of `step` is (integer + u) *
// step / sqrt(8), with u in [-1/2, 1/2) fixed by the block's index and the
// coefficient's kind (`salt`): the median of such spread values moves
// continuously with the noise instead of in steps of 0.52 step. Spreading
// adds step^2 / 96 to the coefficient's variance, and the rounding of the
// eight voxels step^2 / 12: kSpreadVariance * step^2 in all, which the
// estimate subtracts (Sheppard's correction).
double Spread(double coefficient, double step, int64_t block, unsigned salt);
inline constexpr double kSpreadVariance = 9.0 / 96.0;

}  // namespace noise_sigma
