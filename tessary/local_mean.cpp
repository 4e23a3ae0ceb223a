#include "local_mean.h"

namespace tessary {

void BuildLocalMean(const double* guide, double* mean, int rows, int cols, int slices) {
  BuildLocalMeanSlices(guide, mean, rows, cols, slices, 0, slices);
}

void BuildLocalMeanSlices(const double* guide, double* mean, int rows, int cols, int slices,
                          int first_slice, int end_slice) {
  const int plane = rows * cols;
  auto at = [&](int r, int c, int s) {
    return guide[MirrorIndex(r, rows) + MirrorIndex(c, cols) * rows +
                 MirrorIndex(s, slices) * plane];
  };
  for (int s = first_slice; s < end_slice; ++s) {
    for (int c = 0; c < cols; ++c) {
      for (int r = 0; r < rows; ++r) {
        // The additions run over the offsets of length at most one, rows in
        // the outer loop and slices in the inner one, so the centre enters
        // first and again in the middle. The order fixes the last bits.
        const double centre = guide[r + c * rows + s * plane];
        double a = centre;
        a += at(r - 1, c, s);
        a += at(r, c - 1, s);
        a += at(r, c, s - 1);
        a += centre;
        a += at(r, c, s + 1);
        a += at(r, c + 1, s);
        a += at(r + 1, c, s);
        mean[r + c * rows + s * plane] = a * 0.125;
      }
    }
  }
}

}  // namespace tessary
