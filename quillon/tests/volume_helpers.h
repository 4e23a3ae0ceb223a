// Small volumes and whole-volume worker runs for the quillon tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dct_thread_args.h"
#include "denoise.h"
#include "rician_bias.h"

namespace quillon::fixtures {

struct Volume {
  int rows, cols, slices;
  std::vector<double> v;
  Volume(int r, int c, int s, double fill = 0.0) : rows(r), cols(c), slices(s), v(size_t(r) * c * s, fill) {}
  double& at(int r, int c, int s) { return v[r + c * rows + size_t(s) * rows * cols]; }
  double* data() { return v.data(); }
};

// A smooth phantom with Gaussian noise, some of it below zero.
inline Volume NoisyPhantom(int rows, int cols, int slices, double sigma, uint64_t seed,
                           double offset = 0.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  Volume vol(rows, cols, slices);
  for (int s = 0; s < slices; ++s)
    for (int c = 0; c < cols; ++c)
      for (int r = 0; r < rows; ++r) {
        const double clean = 60.0 + 40.0 * std::sin(r * 0.3) * std::cos(c * 0.2) + s * 1.5;
        vol.at(r, c, s) = clean + offset + noise(rng);
      }
  return vol;
}

// Runs `worker` over every block start slice of the volume as one slab, and
// adds its spill planes into the accumulators, as the driver would.
inline void RunWholeVolume(void (*worker)(void*), DctThreadArgs record, double* sum_volume) {
  const int plane = record.rows * record.cols;
  std::vector<double> spill_sum(size_t(kSpillPlanes) * plane, 0.0);
  std::vector<double> spill_w(size_t(kSpillPlanes) * plane, 0.0);
  record.first_slice = 0;
  record.last_slice = record.slices - 4;
  record.spill_sum = spill_sum.data();
  record.spill_weights = spill_w.data();
  worker(&record);
  if (record.last_slice < 0) return;
  for (int p = 0; p < kSpillPlanes; ++p)
    for (int i = 0; i < plane; ++i) {
      const size_t at = size_t(record.last_slice + 1 + p) * plane + i;
      sum_volume[at] += spill_sum[p * plane + i];
      record.weights[at] += spill_w[p * plane + i];
    }
}

inline DctThreadArgs Record(Volume& in, double* out, double* acc, double* weights, double sigma) {
  DctThreadArgs r{};
  r.rows = in.rows;
  r.cols = in.cols;
  r.slices = in.slices;
  r.in_image = in.data();
  r.out_image = out;
  r.acc_image = acc;
  r.weights = weights;
  r.sigma = sigma;
  return r;
}

// Both estimates of a whole call of the driver on plain memory.
struct Denoised {
  std::vector<double> final_estimate, first_estimate;
  Outcome outcome;
};

inline Denoised RunDenoise(Volume& in, double sigma, int flag, bool one_thread = false) {
  const size_t n = in.v.size();
  std::vector<double> weights(n), acc(n), bias;
  Denoised r{std::vector<double>(n, -7.0), std::vector<double>(n), Outcome::kDone};
  double forward[16], inverse[16];
  QuillonJob job;
  job.rows = in.rows;
  job.cols = in.cols;
  job.slices = in.slices;
  job.in_image = in.data();
  job.out_image = r.final_estimate.data();
  job.weights = weights.data();
  job.acc_image = acc.data();
  job.sigma = sigma;
  job.rician = flag;
  if (flag > 0) {
    job.bias_len = static_cast<int>(BiasLength(LargestValue(in.data(), n)));
    bias.assign(8 * size_t(job.bias_len), 0.0);
    job.bias_table = bias.data();
  }
  job.forward_table = forward;
  job.inverse_table = inverse;
  job.first_estimate = r.first_estimate.data();
  job.one_thread = one_thread;
  r.outcome = Denoise(job);
  return r;
}

}  // namespace quillon::fixtures
