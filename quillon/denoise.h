// The two-pass denoising of one call, on plain memory.
#pragma once

namespace quillon {

struct QuillonJob {
  int rows = 0;
  int cols = 0;
  int slices = 0;
  const double* in_image = nullptr;  // rows*cols*slices voxels
  double* out_image = nullptr;       // receives the final estimate
  double* weights = nullptr;         // scratch volume
  double* acc_image = nullptr;       // scratch volume
  double sigma = 0.0;
  int rician = 0;                    // the flag, already truncated
  double* bias_table = nullptr;      // 8 * bias_len doubles; only read when rician > 0
  int bias_len = 0;
  double* forward_table = nullptr;   // 16 doubles each, owned by the caller
  double* inverse_table = nullptr;
  double* first_estimate = nullptr;  // optional: receives the first pass's result
  bool one_thread = false;           // run the workers one after another (reference runs)
};

enum class Outcome { kDone, kThreadsFailed };

// Runs the hard-threshold pass, then the oracle pass, and leaves the final
// estimate in out_image. kThreadsFailed when a worker could not be started;
// the workers that did start have finished by then.
Outcome Denoise(const QuillonJob& job);

}  // namespace quillon
