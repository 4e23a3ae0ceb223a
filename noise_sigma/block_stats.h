// Per-block statistics of a volume on the grid of its whole 2x2x2 blocks:
// the block's Haar detail coefficients, its local moments, how much the
// signal around it varies, and the mean square of the window around it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "scratch.h"

#include "noise_sigma.h"

namespace noise_sigma {

// The grid of whole 2x2x2 blocks: block (i, j, k) covers voxels 2i..2i+1,
// 2j..2j+1, 2k..2k+1, at index i + j*rows + k*rows*cols.
struct BlockGrid {
  int rows = 0, cols = 0, slices = 0;
  int64_t Count() const { return int64_t{rows} * cols * slices; }
};

BlockGrid GridOf(const VolumeView& volume);

// Marks a block with a voxel that is not finite (or sums that overflow).
inline constexpr unsigned char kNotFinite = 255;

// One entry per block of the grid. The arrays are left uninitialised: the
// workers write every entry first, so their pages are touched in parallel.
// They share one allocation, kept by Reserve for the next volume of the
// same size or smaller (a series' volumes fault their pages in once), and
// advised for 2 MiB pages: a brain-sized volume's 70 MB in 4 KiB pages cost
// a fifth of the estimate in page faults.
struct BlockStats {
  // The orthonormal coefficient that is high-pass along all three axes:
  // white noise of sigma keeps sigma in it; correlated noise shrinks it
  // (see pairs).
  double* detail = nullptr;
  // The three coefficients that are low-pass along one axis a and high-pass
  // along the other two: against `detail` they tell the noise's lag-1
  // correlation along a.
  double* pairs[3] = {nullptr, nullptr, nullptr};
  // The mean square of the six coefficients that are low-pass along at
  // least one axis and not along all three: the signal's gradient and
  // curvature inside the block, plus noise.
  double* gradient = nullptr;
  double* mean = nullptr;         // mean of the eight voxels
  double* mean_square = nullptr;  // mean of their squares
  unsigned char* has_data = nullptr;  // 1 when all eight are finite and non-zero
  unsigned char* zeros = nullptr;     // how many of the eight are 0, or kNotFinite
  // The range of `mean` over the blocks with data among the 3x3x3 around
  // (clipped at the grid's faces); +infinity for a block without data.
  double* spread = nullptr;
  // The mean of `mean_square` over the 3x3x3 blocks around (clipped at the
  // grid's faces) when every one of them may hold air (BackgroundCandidate);
  // +infinity otherwise.
  double* window = nullptr;

  BlockStats() = default;
  explicit BlockStats(int64_t count) { Reserve(count); }
  // Points the arrays at room for `count` blocks. Throws std::bad_alloc.
  void Reserve(int64_t count);

 private:
  platform::Scratch storage_;
};

// Whether a block may be noise-only air: all eight voxels finite and none
// zero; on a value grid (quantised data), where small noise rounds to 0,
// at least one not zero (a block of zeros is a masked background).
inline bool BackgroundCandidate(unsigned char zeros, bool quantised) {
  return zeros == 0 || (quantised && zeros < 8);
}

// What one run over a slab of block slices found besides the per-block
// entries: the finite voxel values' extremes (every voxel of the slab's voxel
// slices, the odd last row, column or slice included), the blocks with data,
// and the finite voxels off the value grid being checked.
struct SlabSummary {
  double lowest = 0.0, highest = 0.0;
  bool any_finite = false;
  int64_t data_blocks = 0;
  int64_t off_grid = 0;
};

// A value grid to check the voxels against: origin + k * step; step 0 for none.
struct ValueGrid {
  double origin = 0.0, step = 0.0;
};

// Whether v lies on the grid (step > 0), up to the rounding of a scaled
// integer in doubles (a scaled file's values are stored * slope + intercept).
// Inline, and std::max for fmax (the same value for any k, infinite
// included): it is asked of every voxel.
inline bool OnGrid(double v, const ValueGrid& grid) {
  const double k = (v - grid.origin) / grid.step;
  return std::fabs(k - std::nearbyint(k)) <= 1e-6 * std::max(1.0, std::fabs(k) * 1e-6);
}

// Fills every per-block entry but spread and window for block slices
// [first, end), and counts the finite voxels off `grid_check`. The slab that
// ends at the grid's last slice also scans an odd last voxel slice.
SlabSummary FillBlocks(const VolumeView& volume, const BlockGrid& grid, const ValueGrid& grid_check,
                       int first, int end, BlockStats& stats);

// Fills spread and window for block slices [first, end); needs the whole
// grid's other entries.
void FillSpread(const BlockGrid& grid, bool quantised, int first, int end, BlockStats& stats);

}  // namespace noise_sigma
