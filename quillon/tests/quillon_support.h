// What the quillon tests share: small volumes, whole-volume worker runs and
// whole calls of the core.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "common.h"
#include "quillon_context.h"
#include "quillon_driver.h"
#include "quillon.h"
#include "rician_bias.h"

namespace quillon::fixtures {

using testbits::SameBits;

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

// A context over `in` for hand-run workers, with the process's kernels.
inline Context MakeContext(Volume& in, double* out, double* acc, double* weights, double sigma,
                           int rician = 0, int bias_len = 0) {
  return Context{in.rows,  in.cols,  in.slices,        in.data(), out,      acc,
                 weights,  sigma,    rician,           MakeTransforms(), bias_len,
                 platform::ResolveIsa(platform::Isa::kAuto), nullptr, nullptr, nullptr};
}

// Runs `worker` over every block start slice of the volume as one slab, and
// adds its spill planes into the accumulators, as the driver would.
inline void RunWholeVolume(void (*worker)(void*), const Context& c, double* sum_volume,
                           const double* bias_table = nullptr) {
  const int plane = c.rows * c.cols;
  std::vector<double> spill_sum(size_t(kSpillPlanes) * plane, 0.0);
  std::vector<double> spill_w(size_t(kSpillPlanes) * plane, 0.0);
  const DctThreadArgs record{&c, 0, c.slices - 4, bias_table, spill_sum.data(), spill_w.data()};
  worker(const_cast<DctThreadArgs*>(&record));
  if (record.last_slice < 0) return;
  for (int p = 0; p < kSpillPlanes; ++p)
    for (int i = 0; i < plane; ++i) {
      const size_t at = size_t(record.last_slice + 1 + p) * plane + i;
      sum_volume[at] += spill_sum[p * plane + i];
      c.weights[at] += spill_w[p * plane + i];
    }
}

// Both estimates of a whole call of the core.
struct Denoised {
  std::vector<double> final_estimate, first_estimate;
  Status status;
};

// A request for `in`, writing into `out`, with the core's own scratch.
inline Request RequestFor(const Volume& in, double* out, double sigma, int flag) {
  Request q;
  q.rows = in.rows;
  q.cols = in.cols;
  q.slices = in.slices;
  q.noisy = in.v.data();
  q.denoised = out;
  q.sigma = sigma;
  q.rician = flag;
  return q;
}

inline Denoised RunDenoise(const Volume& in, double sigma, int flag,
                           platform::Schedule schedule = platform::Schedule::kThreads,
                           platform::CallOptions options = {}) {
  const size_t n = in.v.size();
  Denoised r{std::vector<double>(n, -7.0), std::vector<double>(n), Status::kOk};
  Request q = RequestFor(in, r.final_estimate.data(), sigma, flag);
  q.first_estimate = r.first_estimate.data();
  q.options = options;
  r.status = Denoise(q, schedule);
  return r;
}

}  // namespace quillon::fixtures
