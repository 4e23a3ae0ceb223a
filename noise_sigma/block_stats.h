// Per-block statistics of a volume on the grid of its whole 2x2x2 blocks:
// the finest Haar detail coefficient (high-pass along all three axes), the
// local moments, and how much the signal around each block varies.
#pragma once

#include <cstdint>
#include <memory>

#include "noise_sigma.h"

namespace noise_sigma {

// The grid of whole 2x2x2 blocks: block (i, j, k) covers voxels 2i..2i+1,
// 2j..2j+1, 2k..2k+1, at index i + j*rows + k*rows*cols.
struct BlockGrid {
  int rows = 0, cols = 0, slices = 0;
  int64_t Count() const { return int64_t{rows} * cols * slices; }
};

BlockGrid GridOf(const VolumeView& volume);

// One entry per block of the grid. The arrays are left uninitialised: the
// workers write every entry first, so their pages are touched in parallel.
struct BlockStats {
  std::unique_ptr<double[]> detail;       // the orthonormal HHH coefficient: noise sigma keeps sigma
  std::unique_ptr<double[]> mean;         // mean of the eight voxels
  std::unique_ptr<double[]> mean_square;  // mean of their squares
  std::unique_ptr<unsigned char[]> has_data;  // 1 when all eight are finite and non-zero
  // The range of `mean` over the blocks with data among the 3x3x3 around
  // (clipped at the grid's faces); +infinity for a block without data.
  std::unique_ptr<double[]> spread;
  explicit BlockStats(int64_t count)
      : detail(new double[count]),
        mean(new double[count]),
        mean_square(new double[count]),
        has_data(new unsigned char[count]),
        spread(new double[count]) {}
};

// What one run over a slab of block slices found besides the per-block
// entries: the finite voxel values' extremes (every voxel of the slab's voxel
// slices, the odd last row, column or slice included) and the blocks with data.
struct SlabSummary {
  double lowest = 0.0, highest = 0.0;
  bool any_finite = false;
  int64_t data_blocks = 0;
};

// Fills detail, mean, mean_square and has_data for block slices
// [first, end). The slab that ends at the grid's last slice also scans an
// odd last voxel slice.
SlabSummary FillBlocks(const VolumeView& volume, const BlockGrid& grid, int first, int end,
                       BlockStats& stats);

// Fills spread for block slices [first, end); needs the whole grid's means.
void FillSpread(const BlockGrid& grid, int first, int end, BlockStats& stats);

}  // namespace noise_sigma
