// The local-mean feature of the guide volume: each voxel's mean over itself
// (counted twice) and its six face neighbours, with mirrored borders. A
// guide value that is not finite never reaches a neighbour's mean: the
// neighbour counts its own value in its place, and its own mean is NaN.
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

// The same for slices first_slice .. end_slice - 1 of `mean` alone (each
// voxel's mean is its own, so slabs may be built on different threads).
void BuildLocalMeanSlices(const double* guide, double* mean, int rows, int cols, int slices,
                          int first_slice, int end_slice);

}  // namespace tessary
