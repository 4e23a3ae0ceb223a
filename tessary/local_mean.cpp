#include "local_mean.h"

#include <cmath>
#include <limits>

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
        const double centre = guide[r + c * rows + s * plane];
        // The additions run over the offsets of length at most one, rows in
        // the outer loop and slices in the inner one, so the centre enters
        // first and again in the middle. The order fixes the last bits.
        auto sum = [&](auto value) {
          double a = centre;
          a += value(r - 1, c, s);
          a += value(r, c - 1, s);
          a += value(r, c, s - 1);
          a += centre;
          a += value(r, c, s + 1);
          a += value(r, c + 1, s);
          a += value(r + 1, c, s);
          return a * 0.125;
        };
        double m = sum(at);
        // Only a value that is not finite makes the mean so (or a sum past
        // the largest double): the mean of such a centre is no number, and
        // a finite centre counts itself in place of each such neighbour.
        if (!std::isfinite(m)) {
          m = !std::isfinite(centre) ? std::numeric_limits<double>::quiet_NaN()
                                     : sum([&](int rr, int cc, int ss) {
                                         const double x = at(rr, cc, ss);
                                         return std::isfinite(x) ? x : centre;
                                       });
        }
        mean[r + c * rows + s * plane] = m;
      }
    }
  }
}

}  // namespace tessary
