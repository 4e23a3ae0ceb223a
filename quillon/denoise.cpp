#include "denoise.h"

#include <array>
#include <cstddef>
#include <vector>

#include "dct.h"
#include "dct_thread_args.h"
#include "rician_bias.h"
#include "slabs.h"
#include "threads.h"
#include "workers.h"

namespace quillon {

int rician = 0;

namespace {

using Records = std::array<DctThreadArgs, kWorkers>;

// Spill planes for every worker whose slab is not empty, zeroed.
class SpillPlanes {
 public:
  SpillPlanes(int rows, int cols, int slices) : plane_(static_cast<std::size_t>(rows) * cols) {
    for (int k = 0; k < kWorkers; ++k) {
      const Slab slab = SlabOf(k, slices);
      offset_[k] = used_;
      if (slab.first_slice <= slab.last_slice) used_ += kSpillPlanes * plane_;
    }
    sums_.assign(used_, 0.0);
    weights_.assign(used_, 0.0);
  }

  void Clear() {
    sums_.assign(used_, 0.0);
    weights_.assign(used_, 0.0);
  }

  double* Sums(int k) { return sums_.data() + offset_[k]; }
  double* Weights(int k) { return weights_.data() + offset_[k]; }

  // Adds each worker's planes into the slices past its slab, in worker order.
  void AddInto(const Records& records, double* sum_volume, double* weight_volume) {
    for (int k = 0; k < kWorkers; ++k) {
      const DctThreadArgs& r = records[k];
      if (r.first_slice > r.last_slice) continue;
      for (int p = 0; p < kSpillPlanes; ++p) {
        const std::size_t base = static_cast<std::size_t>(r.last_slice + 1 + p) * plane_;
        const double* s = Sums(k) + p * plane_;
        const double* w = Weights(k) + p * plane_;
        for (std::size_t i = 0; i < plane_; ++i) {
          sum_volume[base + i] = sum_volume[base + i] + s[i];
          weight_volume[base + i] = weight_volume[base + i] + w[i];
        }
      }
    }
  }

 private:
  std::size_t plane_;
  std::size_t used_ = 0;
  std::array<std::size_t, kWorkers> offset_{};
  std::vector<double> sums_;
  std::vector<double> weights_;
};

bool RunPass(const QuillonJob& job, platform::WorkerFunction worker, Records& records,
             SpillPlanes& spill) {
  auto fill = [&](int k, DctThreadArgs& r) {
    const Slab slab = SlabOf(k, job.slices);
    r = DctThreadArgs{};
    r.cols = job.cols;
    r.rows = job.rows;
    r.slices = job.slices;
    r.in_image = job.in_image;
    r.out_image = job.out_image;
    r.acc_image = job.acc_image;
    r.weights = job.weights;
    r.first_slice = slab.first_slice;
    r.last_slice = slab.last_slice;
    r.sigma = job.sigma;
    r.bias_table = job.bias_table != nullptr ? job.bias_table + k * job.bias_len : nullptr;
    r.bias_len = job.bias_len;
    r.spill_sum = spill.Sums(k);
    r.spill_weights = spill.Weights(k);
  };
  if (job.one_thread) {
    for (int k = 0; k < kWorkers; ++k) {
      fill(k, records[k]);
      worker(&records[k]);
    }
    return true;
  }
  return platform::RunWorkers(records.data(), kWorkers, worker, fill);
}

}  // namespace

Outcome Denoise(const QuillonJob& job) {
  const std::size_t count = static_cast<std::size_t>(job.rows) * job.cols * job.slices;
  rician = job.rician;
  for (std::size_t i = 0; i < count; ++i) {
    job.out_image[i] = 0.0;
    job.weights[i] = 0.0;
  }
  SetUpTransforms(job.forward_table, job.inverse_table);
  if (rician > 0) RicianBias(job.bias_len, job.bias_table, kWorkers, job.sigma);

  Records records{};
  SpillPlanes spill(job.rows, job.cols, job.slices);

  // Pass 1: hard thresholding gives the first estimate.
  if (!RunPass(job, ThreadFunc, records, spill)) return Outcome::kThreadsFailed;
  spill.AddInto(records, job.out_image, job.weights);
  for (std::size_t i = 0; i < count; ++i) {
    if (job.weights[i] == 0.0) job.weights[i] = 1.0;
    job.out_image[i] = job.out_image[i] / job.weights[i];
  }
  if (job.first_estimate != nullptr) {
    for (std::size_t i = 0; i < count; ++i) job.first_estimate[i] = job.out_image[i];
  }

  // Pass 2: the oracle pass, read against the first estimate.
  for (std::size_t i = 0; i < count; ++i) {
    job.acc_image[i] = 0.0;
    job.weights[i] = 0.0;
  }
  spill.Clear();
  if (!RunPass(job, ThreadFunc2, records, spill)) return Outcome::kThreadsFailed;
  spill.AddInto(records, job.acc_image, job.weights);
  for (std::size_t i = 0; i < count; ++i) {
    if (job.weights[i] == 0.0) job.weights[i] = 1.0;
    job.out_image[i] = job.acc_image[i] / job.weights[i];
    // Any non-zero flag clears negatives, a negative one included.
    if (rician != 0 && job.out_image[i] < 0.0) job.out_image[i] = 0.0;
  }
  return Outcome::kDone;
}

}  // namespace quillon
