// The noise level of one 3-D volume: the standard deviation sigma of its
// noise, in the units of the voxel values, for the two filters' sigma input.
// Host-free: a plain view of the voxels in, a number and a status out.
#pragma once

#include "call.h"

namespace noise_sigma {

using platform::Status;

// How the noise entered the data.
enum class NoiseModel {
  kGaussian,  // additive, zero-mean Gaussian noise of standard deviation sigma
  kRician,    // magnitude of complex data with Gaussian noise sigma in each part
};

// One volume, column-major: voxel (r, c, s) at data[r + c*rows + s*rows*cols].
struct VolumeView {
  const double* data = nullptr;  // rows*cols*slices values, read only; NaN and
                                 // infinite voxels are ignored
  int rows = 0;                  // each at least 0; the product fits in 32 bits
  int cols = 0;
  int slices = 0;
};

struct Request {
  VolumeView volume;
  NoiseModel model = NoiseModel::kRician;
  // Threads (at most eight here, and never more than the volume's block
  // slices) and the interrupt query, as for the filters; the instruction
  // set is not read. The result has the same bits for any thread count.
  platform::CallOptions options;
};

// The estimator works on the volume's whole 2x2x2 blocks (an odd last row,
// column or slice is left out), and needs at least this many of them, both in
// the volume and among the blocks that carry data: below that the median it
// takes is too coarse to trust (a relative error of about 15% at 64 blocks).
inline constexpr int kMinBlocks = 64;

// Estimates sigma. On kOk *sigma is set (0 for a constant volume);
// otherwise it is left alone. kTooLittleData: fewer than kMinBlocks 2x2x2
// blocks, or fewer than that many whose eight voxels are finite and
// non-zero; kOutOfMemory, kThreadsFailed, kInterrupted: see platform::Status.
Status Estimate(const Request& request, double* sigma);

}  // namespace noise_sigma
