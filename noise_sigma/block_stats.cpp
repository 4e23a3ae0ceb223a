#include "block_stats.h"

#include <cmath>
#include <limits>

namespace noise_sigma {

namespace {

// 1/sqrt(8): scales the sum of eight signed voxels to an orthonormal coefficient.
constexpr double kInvSqrt8 = 0.35355339059327373;

}  // namespace

BlockGrid GridOf(const VolumeView& volume) {
  return BlockGrid{volume.rows / 2, volume.cols / 2, volume.slices / 2};
}

SlabSummary FillBlocks(const VolumeView& volume, const BlockGrid& grid, int first, int end,
                       BlockStats& stats) {
  SlabSummary summary;
  const int64_t rows = volume.rows;
  const int64_t plane = rows * volume.cols;

  // Extremes of the finite voxels, for the constant-volume case.
  const int voxel_first = 2 * first;
  const int voxel_end = end == grid.slices ? volume.slices : 2 * end;
  for (int64_t i = voxel_first * plane; i < voxel_end * plane; ++i) {
    const double v = volume.data[i];
    if (!std::isfinite(v)) continue;
    if (!summary.any_finite) {
      summary.lowest = summary.highest = v;
      summary.any_finite = true;
    } else if (v < summary.lowest) {
      summary.lowest = v;
    } else if (v > summary.highest) {
      summary.highest = v;
    }
  }

  for (int k = first; k < end; ++k)
    for (int j = 0; j < grid.cols; ++j)
      for (int i = 0; i < grid.rows; ++i) {
        const double* p = volume.data + 2 * i + 2 * j * rows + 2 * k * plane;
        // The eight voxels in memory order; voxel (a, b, c) of the block has
        // the sign (-1)^(a+b+c) in the detail coefficient.
        const double v[8] = {p[0],         p[1],         p[rows],         p[rows + 1],
                             p[plane],     p[plane + 1], p[plane + rows], p[plane + rows + 1]};
        const int64_t b = i + j * int64_t{grid.rows} + k * int64_t{grid.rows} * grid.cols;
        bool data = true;
        for (double x : v) data = data && std::isfinite(x) && x != 0.0;
        stats.has_data[b] = data;
        if (!data) {
          stats.detail[b] = stats.mean[b] = stats.mean_square[b] = 0.0;
          continue;
        }
        const double detail = (v[0] - v[1] - v[2] + v[3] - v[4] + v[5] + v[6] - v[7]) * kInvSqrt8;
        double sum = 0.0, sum_sq = 0.0;
        for (double x : v) {
          sum += x;
          sum_sq += x * x;
        }
        // Values near the largest double overflow the sums: such a block
        // carries nothing a noise level could be read from.
        if (!std::isfinite(detail) || !std::isfinite(sum) || !std::isfinite(sum_sq)) {
          stats.has_data[b] = 0;
          stats.detail[b] = stats.mean[b] = stats.mean_square[b] = 0.0;
          continue;
        }
        ++summary.data_blocks;
        stats.detail[b] = detail;
        stats.mean[b] = sum * 0.125;
        stats.mean_square[b] = sum_sq * 0.125;
      }
  return summary;
}

void FillSpread(const BlockGrid& grid, int first, int end, BlockStats& stats) {
  const int64_t rows = grid.rows;
  const int64_t plane = rows * grid.cols;
  const double infinity = std::numeric_limits<double>::infinity();
  for (int k = first; k < end; ++k)
    for (int j = 0; j < grid.cols; ++j)
      for (int i = 0; i < grid.rows; ++i) {
        const int64_t b = i + j * rows + k * plane;
        if (!stats.has_data[b]) {
          stats.spread[b] = infinity;
          continue;
        }
        // Neighbours without data are passed over: a scattered NaN or zero
        // voxel must not take the flat blocks around it out of the count.
        double lo = stats.mean[b], hi = lo;
        for (int dk = k > 0 ? -1 : 0; dk <= (k + 1 < grid.slices ? 1 : 0); ++dk)
          for (int dj = j > 0 ? -1 : 0; dj <= (j + 1 < grid.cols ? 1 : 0); ++dj)
            for (int di = i > 0 ? -1 : 0; di <= (i + 1 < grid.rows ? 1 : 0); ++di) {
              const int64_t n = b + di + dj * rows + dk * plane;
              if (!stats.has_data[n]) continue;
              const double m = stats.mean[n];
              if (m < lo) lo = m;
              if (m > hi) hi = m;
            }
        stats.spread[b] = hi - lo;
      }
}

}  // namespace noise_sigma
