// The denoiser's whole call on plain memory: local means, the own-value
// start of the sums, the workers, and the final estimate.
#pragma once

#include "search_worker.h"

namespace tessary {

struct DenoiseRequest {
  int rows = 0;
  int cols = 0;
  int slices = 0;
  const double* in_image = nullptr;     // the noisy volume
  const double* guide_image = nullptr;  // same shape as in_image
  double* out_image = nullptr;          // receives the estimate
  double* mean_image = nullptr;         // scratch: the guide's local means
  double* weights = nullptr;            // scratch: the weight sums
  int search_radius = 0;
  int extra_param = 0;
  double sigma = 0.0;
  unsigned char rician = 0;  // already narrowed from the caller's flag
  // The search kernel; one this processor cannot run falls back to the
  // fastest one.
  Kernel kernel = Kernel::kFastest;
};

enum class DenoiseStatus {
  kOk,
  kThreadsFailed,  // a worker could not be started; out_image is undefined
  kOutOfMemory,    // the per-worker buffers could not be obtained
};

// How the workers run. kOneAfterAnother runs them in worker order on the
// calling thread with the same merge, which is the reference that the
// threaded run must match bit for bit.
enum class Schedule { kThreads, kOneAfterAnother };

// The volumes hold rows*cols*slices voxels each, at most 2^31 - 1. Returns
// only after every started worker has ended.
DenoiseStatus Denoise(const DenoiseRequest& request, Schedule schedule = Schedule::kThreads) noexcept;

}  // namespace tessary
