// quillon's core: the two-pass block-DCT denoising of one volume, on plain
// memory. The contract (contract/quillon_contract.h) checks a front end's
// arguments and calls Denoise on each volume; it is safe to call from
// several threads at once, each call on its own volumes.
#pragma once

#include <cstdint>

#include "call.h"

namespace quillon {

using platform::Status;

// One call. Volumes are dense, column-major (Fortran order): voxel (r, c, s)
// at r + c*rows + s*rows*cols, rows*cols*slices doubles each, at most
// 2147483647. Every pointer is the caller's; the call keeps none of them
// past its return.
struct Request {
  int rows = 0;    // extents in voxels; a zero extent makes an empty call
  int cols = 0;
  int slices = 0;
  const double* noisy = nullptr;     // read only
  double* denoised = nullptr;        // receives the result
  double* first_estimate = nullptr;  // optional: receives the hard-threshold pass's estimate
  // Noise standard deviation, in the units of the voxel values. 0 declares
  // no noise: the volume comes back unchanged in both outputs.
  double sigma = 0.0;
  // Positive: Rician noise (the oracle pass corrects the bias). Any non-zero
  // value clears negative results.
  int rician = 0;
  // Receive coils of a sum-of-squares magnitude under Rician noise (sigma
  // per channel): the oracle pass's table maps through the non-central chi
  // mean of that many coils. 1 is the Rician table, to the bit.
  int coils = 1;
  // Not negative: sizes the Rician table in place of the volume's own
  // largest value. A chunk of a larger volume passes the whole volume's, so
  // that its table, and every corrected value, is the whole call's.
  double table_largest = -1.0;
  // Optional, rows*cols*slices bytes: the voxels wanted (non-zero). Blocks
  // that cannot reach a wanted voxel, not even through the first estimate,
  // are skipped; every wanted voxel gets the bits of the unmasked call, and
  // the others take their input value in both outputs.
  const unsigned char* mask = nullptr;
  // Set when the volume is a chunk of a larger one (see platform::Chunk):
  // every voxel at least 6 slices from the chunk's inner faces then gets
  // the whole call's bits, given the whole call's table_largest.
  platform::Chunk chunk;

  // Scratch, optional: null makes the call allocate its own. The MEX
  // gateway passes host arrays here, which the host reclaims.
  double* weights = nullptr;      // rows*cols*slices doubles
  double* accumulator = nullptr;  // rows*cols*slices doubles
  double* bias_table = nullptr;   // BiasTableSize(*this) doubles; only used when rician > 0
  int64_t bias_table_size = 0;    // doubles at bias_table
  // Set when bias_table already holds the table of this call's sigma,
  // coils and BiasTableSize (a caller denoising many volumes with one sigma
  // builds it once, by the call before): it is then only read.
  bool bias_table_ready = false;

  platform::CallOptions options;
};

// Runs the hard-threshold pass, then the oracle pass, into denoised. Never
// throws. kInvalidRequest: negative extents, more than 2147483647 voxels, a
// missing volume, too small a bias table or a chunk outside its whole; kValueRange: with Rician noise
// the largest voxel exceeds kLargestRicianValue (2^22); kIsaUnavailable,
// kOutOfMemory, kThreadsFailed, kInterrupted: see platform::Status.
//
// A voxel that is not finite (NaN or infinite) passes through to both
// outputs unchanged and never spreads: every block that holds one is
// skipped, as blocks of non-positive values are. A voxel that no block
// reaches keeps its input value when that is positive, and is 0 otherwise.
Status Denoise(const Request& request) noexcept;

// The doubles of the Rician bias table that a call of this request uses:
// 0 without Rician noise or voxels, -1 when the largest voxel value is too
// large for a table (Denoise would return kValueRange). One table serves
// every worker. Reads the volume unless table_largest is set.
int64_t BiasTableSize(const Request& request) noexcept;

}  // namespace quillon
