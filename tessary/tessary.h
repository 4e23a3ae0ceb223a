// tessary's core: the guided non-local means denoising of one volume, on
// plain memory. The contract (contract/tessary_contract.h) checks a front
// end's arguments and calls Denoise on each volume; it is safe to call from
// several threads at once, each call on its own volumes.
#pragma once

#include "call.h"

namespace tessary {

using platform::Status;

// One call. Volumes are dense, column-major (Fortran order): voxel (r, c, s)
// at r + c*rows + s*rows*cols, rows*cols*slices doubles each, at most
// 2147483647. Every pointer is the caller's; the call keeps none of them
// past its return.
struct Request {
  int rows = 0;    // extents in voxels; a zero extent makes an empty call
  int cols = 0;
  int slices = 0;
  const double* noisy = nullptr;  // read only
  const double* guide = nullptr;  // read only: the pre-filtered volume that voxels are compared by
  double* denoised = nullptr;     // receives the result
  int search_radius = 0;          // half-width of the cubic search window, in voxels
  // Noise standard deviation, in the units of the voxel values. 0 declares
  // no noise: the volume comes back unchanged. A negative sigma lets no
  // pair through the gate: each voxel keeps the estimate of its own value.
  double sigma = 0.0;
  // Non-zero: Rician noise (squared magnitudes are averaged and the bias
  // 2 sigma^2 removed). The contract narrows a caller's flag to this byte.
  unsigned char rician = 0;
  // Receive coils of a sum-of-squares magnitude under Rician noise: its
  // squared magnitude carries the bias 2 * coils * sigma^2. 1 (one coil,
  // the Rician case) keeps the bias 2 sigma^2 to the bit.
  int coils = 1;
  // Optional, rows*cols*slices bytes: the voxels wanted (non-zero). Centres
  // whose window holds no wanted voxel are skipped; every wanted voxel gets
  // the bits of the unmasked call, and the others take their input value.
  const unsigned char* mask = nullptr;
  // Set when the volume is a chunk of a larger one (see platform::Chunk).
  // With its first row at a multiple of 8 rows of the whole volume (so that
  // the kernels' groups of eight centres fall as in the whole call), every
  // voxel at least radius + 1 voxels from the chunk's inner faces, on a
  // guide that holds the whole call's values there, gets the whole call's
  // bits.
  platform::Chunk chunk;

  // Scratch, optional: null makes the call allocate its own. The MEX
  // gateway passes host arrays here, which the host reclaims.
  double* local_mean = nullptr;  // rows*cols*slices doubles: the guide's local means
  double* weights = nullptr;     // rows*cols*slices doubles: the weight sums

  platform::CallOptions options;
};

// Weighs every voxel pair within the search window once and writes the
// estimate into denoised. Never throws. kInvalidRequest: negative extents,
// more than 2147483647 voxels, a missing volume or a chunk outside its
// whole; kIsaUnavailable, kOutOfMemory, kThreadsFailed, kInterrupted: see
// platform::Status.
//
// A voxel whose value or guide value is not finite (NaN or infinite)
// passes through unchanged and never spreads: no pair takes it, and a
// neighbour's local mean counts the neighbour's own guide value in its
// place. Every voxel beyond search_radius + 1 of such a value keeps the
// bits it has without it.
Status Denoise(const Request& request) noexcept;

}  // namespace tessary
