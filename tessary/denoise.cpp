#include "denoise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "local_mean.h"
#include "search_worker.h"
#include "slabs.h"
#include "threads.h"

namespace tessary {
namespace {

// The private sums of one worker for the slices past its slab.
struct Spill {
  std::vector<double> out;
  std::vector<double> weights;
};

void StartOwnValues(const DenoiseRequest& q, int n) {
  for (int i = 0; i < n; ++i) {
    q.out_image[i] = rician != 0 ? q.in_image[i] * q.in_image[i] : q.in_image[i];
    q.weights[i] = 1.0;
  }
}

void FillRecord(const DenoiseRequest& q, int w, int workers, NlmThreadArgs& a, Spill& spill) {
  const Slab slab = SlabOf(w, workers, q.slices);
  a.cols = q.cols;
  a.rows = q.rows;
  a.slices = q.slices;
  a.in_image = q.in_image;
  a.out_image = q.out_image;
  a.mean_image = q.mean_image;
  a.guide_image = q.guide_image;
  a.weights = q.weights;
  a.first_slice = slab.first_slice;
  a.end_slice = slab.end_slice;
  a.search_radius = q.search_radius;
  a.extra_param = q.extra_param;
  a.filter_h = q.sigma / 3.0;
  a.direction = slab.direction;

  // The window reaches search_radius slices past the slab, never past the
  // volume. -0.0 is the exact identity of addition, so a voxel that this
  // worker never reaches keeps its bits (even a -0.0) through the merge.
  const int64_t reach = std::max<int64_t>(q.search_radius, 0);
  a.spill_end_slice =
      static_cast<int>(std::min<int64_t>(int64_t{slab.end_slice} + reach, q.slices));
  const auto spill_voxels =
      static_cast<size_t>(int64_t{a.spill_end_slice - slab.end_slice} * q.rows * q.cols);
  spill.out.assign(spill_voxels, -0.0);
  spill.weights.assign(spill_voxels, -0.0);
  a.spill_out = spill.out.data();
  a.spill_weights = spill.weights.data();
}

// Runs the workers; false when one could not be started (the ones already
// running have then been waited for, and no further one was started).
bool RunWorkers(std::vector<NlmThreadArgs>& records, std::vector<Spill>& spills,
                const DenoiseRequest& q, Schedule schedule) {
  const int workers = static_cast<int>(records.size());
  auto fill = [&](int w, NlmThreadArgs& a) { FillRecord(q, w, workers, a, spills[w]); };
  KernelFunction worker = KernelThreadFunc(q.kernel);
  if (worker == nullptr) worker = KernelThreadFunc(Kernel::kFastest);
  if (schedule == Schedule::kOneAfterAnother) {
    for (int w = 0; w < workers; ++w) fill(w, records[w]);
    for (int w = 0; w < workers; ++w) worker(&records[w]);
    return true;
  }
  return platform::RunWorkers(records.data(), workers, worker, fill);
}

// Adds each worker's private sums into the shared ones, in worker order, so
// that the rounding is the same on every run.
void MergeSpills(const std::vector<NlmThreadArgs>& records, const std::vector<Spill>& spills,
                 const DenoiseRequest& q) {
  const int plane = q.rows * q.cols;
  for (size_t w = 0; w < records.size(); ++w) {
    const int base = records[w].end_slice * plane;
    const int count = static_cast<int>(spills[w].out.size());
    for (int i = 0; i < count; ++i) {
      q.out_image[base + i] += spills[w].out[i];
      q.weights[base + i] += spills[w].weights[i];
    }
  }
}

void FinalEstimate(const DenoiseRequest& q, int n) {
  if (rician == 0) {
    for (int i = 0; i < n; ++i) q.out_image[i] = q.out_image[i] / q.weights[i];
    return;
  }
  const double bias = (q.sigma + q.sigma) * q.sigma;
  for (int i = 0; i < n; ++i) {
    const double x = q.out_image[i] / q.weights[i] - bias;
    q.out_image[i] = x < 0.0 ? 0.0 : std::sqrt(x);
    if (q.in_image[i] <= 0.0) q.out_image[i] = 0.0;
  }
}

}  // namespace

DenoiseStatus Denoise(const DenoiseRequest& q, Schedule schedule) noexcept {
  const int n = q.rows * q.cols * q.slices;
  if (n <= 0) return DenoiseStatus::kOk;
  rician = q.rician;
  BuildLocalMean(q.guide_image, q.mean_image, q.rows, q.cols, q.slices);
  StartOwnValues(q, n);

  // A weight divides by 2h^2 and 0.5h^2. When those vanish (sigma 0, or so
  // small that its square underflows) every accepted pair would add NaN, so
  // no pair is weighed and the own-value estimate stands, as it does for a
  // negative sigma.
  const double h = q.sigma / 3.0;
  const bool weigh_pairs = (h * 0.5) * h != 0.0;
  if (weigh_pairs) {
    try {
      const auto workers = static_cast<size_t>(WorkerCount(q.slices));
      std::vector<NlmThreadArgs> records(workers);
      std::vector<Spill> spills(workers);
      if (!RunWorkers(records, spills, q, schedule)) return DenoiseStatus::kThreadsFailed;
      MergeSpills(records, spills, q);
    } catch (const std::bad_alloc&) {
      return DenoiseStatus::kOutOfMemory;
    }
  }
  FinalEstimate(q, n);
  return DenoiseStatus::kOk;
}

}  // namespace tessary
