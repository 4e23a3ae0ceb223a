// The background estimate: sigma from the noise-only voxels of the air
// around the object, under Rician noise or for a sum of squares of several
// coils (the air's magnitudes follow the law of magnitude_law.h).
#pragma once

#include <cstdint>

#include "block_stats.h"

namespace noise_sigma {

// A box of the block grid: blocks (i, j, k) with first[0] <= i < end[0] and so on.
struct BlockRegion {
  int first[3] = {0, 0, 0};
  int end[3] = {0, 0, 0};
  static BlockRegion Whole(const BlockGrid& grid) {
    return BlockRegion{{0, 0, 0}, {grid.rows, grid.cols, grid.slices}};
  }
};

struct BackgroundFit {
  bool found = false;    // the fit passed its checks: sigma can be used
  double sigma = 0.0;    // the fitted sigma (also when not found, if any voxels)
  int64_t voxels = 0;    // the voxels it was fitted to
  // The sample's mean and standard deviation over the fitted law's: near 1
  // for a Rayleigh background, far below for tissue read as air.
  double mean_ratio = 0.0, sd_ratio = 0.0;
  double correlation[3] = {0.0, 0.0, 0.0};  // lag-1, along rows, columns, slices
  // The air: the blocks whose window (BlockStats::window) is at most this
  // (0 when no fit was made).
  double window_limit = 0.0;
};

// Fits the background in `region`. The volume's blocks must be filled
// (FillBlocks, FillSpread); `step` is the value grid's, 0 for none; sigma
// is each of `coils` channels'.
BackgroundFit FitBackground(const VolumeView& volume, const BlockGrid& grid, const BlockStats& stats,
                            const BlockRegion& region, double step, int coils = 1);

// Sets mask[v] to 1 for every voxel v of the region's blocks that `fit` took
// as air; other entries are left alone. mask has one entry per voxel.
void MarkBackground(const VolumeView& volume, const BlockGrid& grid, const BlockStats& stats,
                    const BlockRegion& region, const BackgroundFit& fit, unsigned char* mask);

}  // namespace noise_sigma
