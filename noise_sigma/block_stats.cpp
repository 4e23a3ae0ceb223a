#include "block_stats.h"

#include <cmath>
#include <limits>

namespace noise_sigma {

namespace {

// 1/sqrt(8): scales a sum of eight signed voxels to an orthonormal coefficient.
constexpr double kInvSqrt8 = 0.35355339059327373;

// The eight voxels of the block whose first voxel is p, in memory order:
// voxel (a, b, c) of the block (a along the rows, b the columns, c the
// slices) at position a + 2b + 4c.
inline void BlockVoxels(const double* p, int64_t rows, int64_t plane, double v[8]) {
  v[0] = p[0], v[1] = p[1], v[2] = p[rows], v[3] = p[rows + 1];
  v[4] = p[plane], v[5] = p[plane + 1], v[6] = p[plane + rows], v[7] = p[plane + rows + 1];
}

// The per-block entries of `count` blocks along a row, from block
// first_block whose first voxel is p.
void FillRow(const double* p, int64_t rows, int64_t plane, int64_t first_block, int count,
             BlockStats& stats, SlabSummary& summary) {
  for (int i = 0; i < count; ++i) {
    const int64_t b = first_block + i;
    double v[8];
    BlockVoxels(p + 2 * i, rows, plane, v);
    unsigned char zeros = 0;
    bool finite = true;
    for (double x : v) {
      finite = finite && std::isfinite(x);
      zeros += x == 0.0;
    }
    // The Haar transform in three butterflies, one per axis: after them
    // coefficient t is high-pass along the axes whose bit is set in t.
    double sum = 0.0, sum_sq = 0.0;
    for (double x : v) {
      sum += x;
      sum_sq += x * x;
    }
    double c[8];
    for (int t = 0; t < 8; t += 2) c[t] = v[t] + v[t + 1], c[t + 1] = v[t] - v[t + 1];
    for (int t : {0, 1, 4, 5}) {
      const double lo = c[t] + c[t + 2], hi = c[t] - c[t + 2];
      c[t] = lo, c[t + 2] = hi;
    }
    for (int t = 0; t < 4; ++t) {
      const double lo = c[t] + c[t + 4], hi = c[t] - c[t + 4];
      c[t] = lo, c[t + 4] = hi;
    }
    double gradient = 0.0;
    for (int t = 1; t < 7; ++t) gradient += (c[t] * kInvSqrt8) * (c[t] * kInvSqrt8);
    // Values near the largest double overflow the sums: such a block
    // carries nothing a noise level could be read from.
    finite = finite && std::isfinite(c[7]) && std::isfinite(sum_sq) && std::isfinite(gradient);
    for (int t = 1; t < 7; ++t) finite = finite && std::isfinite(c[t]);
    stats.zeros[b] = finite ? zeros : kNotFinite;
    stats.has_data[b] = finite && zeros == 0;
    if (!finite) {
      stats.detail[b] = stats.mean[b] = stats.mean_square[b] = stats.gradient[b] = 0.0;
      for (auto& pair : stats.pairs) pair[b] = 0.0;
      continue;
    }
    summary.data_blocks += zeros == 0;
    stats.detail[b] = c[7] * kInvSqrt8;
    stats.pairs[0][b] = c[6] * kInvSqrt8;
    stats.pairs[1][b] = c[5] * kInvSqrt8;
    stats.pairs[2][b] = c[3] * kInvSqrt8;
    stats.gradient[b] = gradient / 6.0;
    stats.mean[b] = sum * 0.125;
    stats.mean_square[b] = sum_sq * 0.125;
  }
}

}  // namespace

void BlockStats::Reserve(int64_t count) {
  // Nine arrays of doubles, then the two of bytes.
  const auto n = static_cast<std::size_t>(count);
  double* p = storage_.Reserve(9 * n + (2 * n + sizeof(double) - 1) / sizeof(double));
  for (double** array : {&detail, &pairs[0], &pairs[1], &pairs[2], &gradient, &mean, &mean_square,
                         &spread, &window}) {
    *array = p;
    p += n;
  }
  has_data = reinterpret_cast<unsigned char*>(p);
  zeros = has_data + n;
}

BlockGrid GridOf(const VolumeView& volume) {
  return BlockGrid{volume.rows / 2, volume.cols / 2, volume.slices / 2};
}

SlabSummary FillBlocks(const VolumeView& volume, const BlockGrid& grid, const ValueGrid& grid_check,
                       int first, int end, BlockStats& stats) {
  SlabSummary summary;
  const int64_t plane = int64_t{volume.rows} * volume.cols;

  // Extremes of the finite voxels, for the constant-volume case, and the
  // check of the value grid.
  const int voxel_first = 2 * first;
  const int voxel_end = end == grid.slices ? volume.slices : 2 * end;
  for (int64_t i = voxel_first * plane; i < voxel_end * plane; ++i) {
    const double v = volume.data[i];
    if (!std::isfinite(v)) continue;
    if (grid_check.step > 0.0 && !OnGrid(v, grid_check)) ++summary.off_grid;
    if (!summary.any_finite) {
      summary.lowest = summary.highest = v;
      summary.any_finite = true;
    } else if (v < summary.lowest) {
      summary.lowest = v;
    } else if (v > summary.highest) {
      summary.highest = v;
    }
  }

  const int64_t rows = volume.rows;
  for (int k = first; k < end; ++k)
    for (int j = 0; j < grid.cols; ++j)
      FillRow(volume.data + 2 * j * rows + 2 * k * plane, rows, plane,
              j * int64_t{grid.rows} + k * (int64_t{grid.rows} * grid.cols), grid.rows, stats,
              summary);
  return summary;
}

void FillSpread(const BlockGrid& grid, bool quantised, int first, int end, BlockStats& stats) {
  const int64_t rows = grid.rows;
  const int64_t plane = rows * grid.cols;
  const double infinity = std::numeric_limits<double>::infinity();
  for (int k = first; k < end; ++k)
    for (int j = 0; j < grid.cols; ++j)
      for (int i = 0; i < grid.rows; ++i) {
        const int64_t b = i + j * rows + k * plane;
        const bool data = stats.has_data[b];
        const bool air = BackgroundCandidate(stats.zeros[b], quantised);
        // Neighbours without data are passed over: a scattered NaN or zero
        // voxel must not take the flat blocks around it out of the count.
        double lo = stats.mean[b], hi = lo;
        double window = 0.0;
        int count = 0;
        bool all_air = air;
        for (int dk = k > 0 ? -1 : 0; dk <= (k + 1 < grid.slices ? 1 : 0); ++dk)
          for (int dj = j > 0 ? -1 : 0; dj <= (j + 1 < grid.cols ? 1 : 0); ++dj)
            for (int di = i > 0 ? -1 : 0; di <= (i + 1 < grid.rows ? 1 : 0); ++di) {
              const int64_t n = b + di + dj * rows + dk * plane;
              all_air = all_air && BackgroundCandidate(stats.zeros[n], quantised);
              window += stats.mean_square[n];
              ++count;
              if (!data || !stats.has_data[n]) continue;
              const double m = stats.mean[n];
              if (m < lo) lo = m;
              if (m > hi) hi = m;
            }
        stats.spread[b] = data ? hi - lo : infinity;
        stats.window[b] = all_air ? window / count : infinity;
      }
}

}  // namespace noise_sigma
