// The record each block worker receives.
#pragma once

namespace quillon {

// Blocks that start in a worker's last three start slices reach three slices
// past its slab, where the next workers add too. A worker adds those
// contributions into its own spill planes instead of the shared volumes; the
// driver adds the spill planes into the volumes in worker order after the
// join, so nothing is lost and every run gives the same bits.
inline constexpr int kSpillPlanes = 3;

struct DctThreadArgs {
  int cols;
  int rows;
  int slices;               // carried, not read by the workers
  const double* in_image;   // the noisy volume
  double* out_image;        // pass 1: accumulator; pass 2: the first estimate
  double* acc_image;        // pass 2 accumulator
  double* weights;          // block weights, both passes
  int first_slice;          // first block-start slice, inclusive
  int last_slice;           // last block-start slice, inclusive
  double sigma;
  const double* bias_table; // this worker's copy of the bias table (pass 2)
  int bias_len;             // entries in that copy
  double* spill_sum;        // kSpillPlanes planes past the slab: sums
  double* spill_weights;    // the same planes: weights
};

}  // namespace quillon
