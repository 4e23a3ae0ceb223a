// What both block workers share: cutting a block out of a volume, the skip
// test, the integer magnitude of a coefficient, and adding a reconstruction
// into the accumulators.
//
// The helpers have internal linkage: the vector kernels are compiled with
// wider instruction sets, and a shared inline copy must never end up in the
// baseline code.
#pragma once

#include <cmath>

#include "quillon_context.h"

namespace quillon {

// Where the four slices of the blocks that start at one slice add into:
// the shared volume for slices of the worker's own slab, its spill planes
// for the slices past it.
struct BlockTargets {
  double* sum[4];
  double* weight[4];
};

static inline BlockTargets TargetsFor(const DctThreadArgs& a, double* sum_volume, int s0) {
  const Context& c = *a.context;
  const int plane = c.rows * c.cols;
  BlockTargets t;
  for (int p = 0; p < 4; ++p) {
    const int s = s0 + p;
    if (s <= a.last_slice) {
      t.sum[p] = sum_volume + s * plane;
      t.weight[p] = c.weights + s * plane;
    } else {
      const int spill = s - a.last_slice - 1;
      t.sum[p] = a.spill_sum + spill * plane;
      t.weight[p] = a.spill_weights + spill * plane;
    }
  }
  return t;
}

// Copies the block with origin (r0, c0, s0) out of `volume` in block order
// and returns its largest value, from 0 (a negative value never raises it),
// or NaN when any value is not finite. A block is skipped unless this is
// positive: a block of non-positive values adds nothing, and a block with a
// NaN or an infinity would spread it to all its 64 voxels.
static inline double GatherBlock(const double* volume, int rows, int plane, int r0, int c0, int s0,
                          double* block) {
  double m = 0.0;
  double finite = 0.0;  // x - x: 0 for every finite x, NaN for the others
  for (int p = 0; p < 4; ++p) {
    for (int j = 0; j < 4; ++j) {
      const double* line = volume + r0 + (c0 + j) * rows + (s0 + p) * plane;
      for (int k = 0; k < 4; ++k) {
        const double x = line[k];
        block[k + 4 * j + 16 * p] = x;
        if (x > m) m = x;
        finite = finite + (x - x);
      }
    }
  }
  return m + finite;
}

// Whether a block with this GatherBlock result adds into the volumes.
static inline bool Contributes(double gathered) { return gathered > 0.0; }

// The integer part of |c| as a double, which thresholds are compared with.
// Any size is kept: a coefficient of 2^31 or more exceeds every threshold.
static inline double IntegerMagnitude(double c) { return std::trunc(std::fabs(c)); }

// The Rician bias correction of a reconstructed value x: the table's entry
// for x's integer part, unless that entry exceeds 2x. Values the table has
// no entry for (-1 or less, its length or more, not a number) are used
// unchanged.
static inline double Corrected(double x, const double* table, int length) {
  if (length <= 0 || !(x > -1.0 && x < static_cast<double>(length))) return x;
  const double y = table[static_cast<int>(x)];
  return 2.0 * x < y ? x : y;
}

// Offset of block element (k, j, p)'s voxel within its slice plane.
static inline int InPlane(int rows, int r0, int c0, int k, int j) { return r0 + k + (c0 + j) * rows; }

}  // namespace quillon
