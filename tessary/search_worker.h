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
// and its own spill buffers. Runs the fastest kernel this processor has.
void ThreadFunc(void* record);

// The kernels. The scalar one is the reference: every centre in the
// traversal order, its pairs one at a time in window order. The vector ones
// weigh the pairs of one window offset for consecutive centres of a column
// at once (one centre per lane) with the same arithmetic, so every pair gets
// the same weight bits; only the order in which a voxel's sums receive
// their additions differs, which changes nothing but the rounding of sums.
enum class Kernel { kFastest, kScalar, kSse2, kAvx2, kAvx512 };

const char* KernelName(Kernel kernel);

// True when the kernel is built in and this processor can run it.
bool KernelRuns(Kernel kernel);

// The widest kernel this processor can run (never kFastest).
Kernel FastestKernel();

using KernelFunction = void (*)(void* record);

// The worker entry of `kernel` (kFastest: of FastestKernel()); null when it
// cannot run here.
KernelFunction KernelThreadFunc(Kernel kernel);

// The reference kernel's worker entry.
void ScalarThreadFunc(void* record);

// The centre test, the gate and the weight of n pairs (p_i, q_i) given by
// their values, computed as `kernel` computes them in its workers: passed[i]
// is 1 when the centre value is not 0 and the pair passes the gate, and then
// w[i] is its weight; otherwise w[i] is unspecified. False when the kernel
// cannot run here.
bool WeighPairs(Kernel kernel, int n, const double* centre, const double* mean_p,
                const double* mean_q, const double* guide_p, const double* guide_q,
                double filter_h, double* w, unsigned char* passed);

}  // namespace tessary
