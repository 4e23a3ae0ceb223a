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
// series of `count` volumes of first's shape, on the voxels both volumes
// hold (finite, non-zero) and, under Rician noise, where both are brighter
// than kRepeatSnr times `spatial` (the series' sigma from its volumes one
// by one), so that each magnitude's noise is all but Gaussian. The volumes
// lie one after another from first.data, or, given `volume`, where it says
// (asked for in order, each pointer valid until the next call: the earlier
// volume of a pair is kept in a copy). kInterrupted when `volume` gives
// null, kOutOfMemory when the copy cannot be made.
Status FitRepeats(const VolumeView& first, int64_t count, const VolumeSource& volume,
                  NoiseModel model, double spatial, RepeatFit* fit);

}  // namespace noise_sigma
