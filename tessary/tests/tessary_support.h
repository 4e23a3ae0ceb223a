// What the tessary tests share. First, a literal, single-threaded transcription of the pair search over a whole
// volume: every offset of the cube is enumerated and filtered by the
// half-window rule and the volume bounds, in the documented order. The
// worker's narrowed loops, slabs and spill buffers are held against it.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "common.h"
#include "tessary_context.h"
#include "tessary_driver.h"
#include "search_worker.h"
#include "tessary.h"

namespace tessary::testing {

using testbits::SameBits;

struct Volume {
  int rows = 0, cols = 0, slices = 0;
  std::vector<double> in, guide;
  int size() const { return rows * cols * slices; }
};

// Adds every accepted pair's contributions into out and weights, visiting
// centres in increasing linear index.
inline void ReferenceSearch(const Volume& v, const std::vector<double>& mean, int radius,
                            double h, bool squared, std::vector<double>& out,
                            std::vector<double>& weights) {
  const int plane = v.rows * v.cols;
  for (int s = 0; s < v.slices; ++s)
    for (int c = 0; c < v.cols; ++c)
      for (int r = 0; r < v.rows; ++r) {
        const int p = r + c * v.rows + s * plane;
        if (v.in[p] == 0.0) continue;
        for (int ds = 0; ds <= radius; ++ds)
          for (int dc = -radius; dc <= radius; ++dc)
            for (int dr = -radius; dr <= radius; ++dr) {
              const bool forward = ds > 0 || (ds == 0 && dc > 0) || (ds == 0 && dc == 0 && dr > 0);
              if (!forward) continue;
              if (r + dr < 0 || r + dr >= v.rows || c + dc < 0 || c + dc >= v.cols ||
                  s + ds >= v.slices)
                continue;
              const int q = p + dr + dc * v.rows + ds * plane;
              const double diff = mean[p] - mean[q];
              const int t = static_cast<int>(diff);  // test data keeps |diff| small
              const double K = t < 0 ? -t : t;
              if (K > h) continue;
              const double dg = v.guide[p] - v.guide[q];
              double G = dg * dg / ((h + h) * h) - 1.0;
              double M = K * K / ((h * 0.5) * h) - 1.0;
              if (G < 0.0) G = 0.0;
              if (M < 0.0) M = 0.0;
              const double d = 0.5 * G + 0.5 * M;
              const double w = d <= 0.0 ? 1.0 : (d > 10.0 ? 0.0 : std::exp(-d));
              out[p] += squared ? v.in[q] * (w * v.in[q]) : w * v.in[q];
              weights[p] += w;
              out[q] += squared ? v.in[p] * (w * v.in[p]) : w * v.in[p];
              weights[q] += w;
            }
      }
}

// Deterministic pseudo-random data: a smooth ramp plus noise, so that
// gates both pass and fail and weights cover (0, 1].
inline Volume MakeVolume(int rows, int cols, int slices, uint32_t seed, bool with_zeros = true) {
  Volume v;
  v.rows = rows;
  v.cols = cols;
  v.slices = slices;
  v.in.resize(v.size());
  v.guide.resize(v.size());
  uint32_t state = seed;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<double>(state >> 8) / 16777216.0;  // [0, 1)
  };
  for (int i = 0; i < v.size(); ++i) {
    const double base = 40.0 + 30.0 * std::sin(0.05 * i);
    v.guide[i] = base + 4.0 * next();
    v.in[i] = base + 20.0 * (next() - 0.5);
    if (with_zeros && i % 17 == 0) v.in[i] = 0.0;
  }
  return v;
}

// A worker's context and record over slices [first_slice, end_slice) of v,
// adding up to spill_end_slice straight into out and weights.
struct WorkerCall {
  Context context{};
  NlmThreadArgs args{};
  void Run(KernelFunction kernel) {
    args.context = &context;
    kernel(&args);
  }
};

inline WorkerCall Record(const Volume& v, const std::vector<double>& mean, double* out,
                         double* weights, int first_slice, int end_slice, int radius, double h,
                         int direction, int spill_end_slice) {
  WorkerCall w;
  Context& c = w.context;
  c.rows = v.rows;
  c.cols = v.cols;
  c.slices = v.slices;
  c.in_image = v.in.data();
  c.out_image = out;
  c.mean_image = mean.data();
  c.guide_image = v.guide.data();
  c.weights = weights;
  c.search_radius = radius;
  c.filter_h = h;
  c.isa = platform::ResolveIsa(platform::Isa::kAuto);
  w.args.first_slice = first_slice;
  w.args.end_slice = end_slice;
  w.args.direction = direction;
  w.args.spill_end_slice = spill_end_slice;
  return w;
}

// A request over v, writing into out, with the core's own scratch.
inline Request RequestFor(const Volume& v, double* out, int radius, double sigma,
                          unsigned char rician_flag) {
  Request q;
  q.rows = v.rows;
  q.cols = v.cols;
  q.slices = v.slices;
  q.noisy = v.in.data();
  q.guide = v.guide.data();
  q.denoised = out;
  q.search_radius = radius;
  q.sigma = sigma;
  q.rician = rician_flag;
  return q;
}

// One whole call over v, with the buffers it writes. out starts as 123.0
// everywhere, so a voxel the call fails to write shows.
struct Denoised {
  std::vector<double> out, mean, weights;
  Status status = Status::kOk;

  Denoised() = default;
  Denoised(const Volume& v, int radius, double sigma, unsigned char rician_flag,
           platform::Schedule schedule = platform::Schedule::kThreads,
           platform::CallOptions options = {})
      : out(v.size(), 123.0), mean(v.size()), weights(v.size()) {
    Request q = RequestFor(v, out.data(), radius, sigma, rician_flag);
    q.local_mean = mean.data();
    q.weights = weights.data();
    q.options = options;
    status = Denoise(q, schedule);
  }
};

}  // namespace tessary::testing
