// The repeat estimate: sigma from the differences between consecutive
// volumes of a series.
#pragma once

#include <cstdint>

#include "noise_sigma.h"

namespace noise_sigma {

struct RepeatFit {
  double sigma = 0.0;  // NaN when no pair of volumes had enough voxels
  int64_t voxels = 0;  // the voxel differences it rests on, over every pair
  int64_t pairs = 0;   // the pairs of consecutive volumes it rests on
};

// Fits sigma to the differences of every pair of consecutive volumes of the
// series that starts at `first`, on the voxels both volumes hold (finite,
// non-zero) and, under Rician noise, where both are brighter than
// kRepeatSnr times `spatial` (the series' sigma from its volumes one by
// one), so that each magnitude's noise is all but Gaussian.
RepeatFit FitRepeats(const VolumeView& first, int64_t count, NoiseModel model, double spatial);

}  // namespace noise_sigma
