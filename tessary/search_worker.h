// The search worker: weighs every pair of voxels in the forward half of a
// cubic window around each centre of its slab, once, and adds each voxel's
// noisy value into the other's sums.
#pragma once

namespace tessary {

// Non-zero selects the Rician noise model: the workers then average squared
// magnitudes. Set by the driver before any worker starts and unchanged while
// they run; this is why a call is not re-entrant.
extern unsigned char rician;

struct NlmThreadArgs {
  int cols;
  int rows;
  int slices;
  const double* in_image;
  double* out_image;
  const double* mean_image;
  const double* guide_image;
  double* weights;
  int first_slice;
  int end_slice;
  int search_radius;
  int extra_param;  // carried for the caller; no worker reads it
  double filter_h;
  int direction;
  // Private sums for the slices [end_slice, spill_end_slice) past the slab,
  // indexed from the first voxel of slice end_slice. Other workers own those
  // slices, so this worker's additions there wait in these buffers until the
  // driver merges them after every worker has been joined.
  int spill_end_slice;
  double* spill_out;
  double* spill_weights;
};

// Worker entry: `record` points to this worker's NlmThreadArgs, which it
// only reads. Writes nothing but the slab's slices of out_image and weights
// and its own spill buffers.
void ThreadFunc(void* record);

}  // namespace tessary
