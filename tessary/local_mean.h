// The local-mean feature of the guide volume: each voxel's mean over itself
// (counted twice) and its six face neighbours, with mirrored borders.
#pragma once

namespace tessary {

// Mirrored index of x in [-1, n] for a dimension n >= 1. The two borders are
// not alike: -1 maps to 1 (the voxel after the border voxel), n maps to n - 1
// (the border voxel itself); with n = 1 both map to 0.
inline int MirrorIndex(int x, int n) {
  const int ax = x < 0 ? -x : x;
  return ax >= n ? 2 * n - 1 - ax : ax;
}

// Writes the local mean of `guide` into `mean` (both rows*cols*slices voxels,
// column-major). Every dimension must be at least 1.
void BuildLocalMean(const double* guide, double* mean, int rows, int cols, int slices);

}  // namespace tessary
