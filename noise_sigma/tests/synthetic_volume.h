// Textured head-like phantoms with noise of a known sigma, for the tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "noise_sigma.h"

namespace noise_sigma::fixtures {

struct Volume {
  int rows, cols, slices;
  std::vector<double> v;
  Volume(int r, int c, int s, double fill = 0.0)
      : rows(r), cols(c), slices(s), v(std::size_t(r) * c * s, fill) {}
  double& at(int r, int c, int s) { return v[r + c * std::size_t(rows) + std::size_t(s) * rows * cols]; }
  VolumeView View() const { return VolumeView{v.data(), rows, cols, slices}; }
};

enum class Background {
  kNoisy,    // an empty field around the head, noisy like the rest
  kZeroed,   // set to exactly zero after the noise, as skull stripping leaves it
  kCropped,  // no background: the field of view cut to the inside of the head
};

// An ellipsoid of two tissues with smooth texture, a dark core and a zero
// background, with noise of standard deviation `sigma` of either model.
inline Volume Phantom(int n, double sigma, NoiseModel model, Background background, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  Volume vol(n, n, n);
  const double h = 0.5 * (n - 1);
  auto inside = [&](int r, int c, int s, double a, double b, double d) {
    const double x = (r - h) / (a * h), y = (c - h) / (b * h), z = (s - h) / (d * h);
    return x * x + y * y + z * z < 1.0;
  };
  for (int s = 0; s < n; ++s)
    for (int c = 0; c < n; ++c)
      for (int r = 0; r < n; ++r) {
        double clean = 0.0;
        if (inside(r, c, s, 0.85, 0.9, 0.8)) {
          clean = 60.0;
          if (inside(r, c, s, 0.7, 0.75, 0.65))
            clean = 150.0 + 25.0 * std::sin(r * 0.25) * std::cos(c * 0.2) * std::sin(s * 0.15 + 1.0);
          if (inside(r, c, s, 0.15, 0.3, 0.2)) clean = 30.0;
        }
        const double a = clean + noise(rng);
        double v = a;
        if (model == NoiseModel::kRician) {
          const double b = noise(rng);
          v = std::sqrt(a * a + b * b);
        }
        if (background == Background::kZeroed && clean == 0.0) v = 0.0;
        vol.at(r, c, s) = v;
      }
  if (background != Background::kCropped) return vol;
  const int lo = n / 4, size = n / 2;  // well inside the head's outer shell
  Volume crop(size, size, size);
  for (int s = 0; s < size; ++s)
    for (int c = 0; c < size; ++c)
      for (int r = 0; r < size; ++r) crop.at(r, c, s) = vol.at(lo + r, lo + c, lo + s);
  return crop;
}

// The estimator called on a test volume.
inline Status EstimateOf(const Volume& vol, NoiseModel model, double* sigma, int threads = 0) {
  Request request;
  request.volume = vol.View();
  request.model = model;
  request.options.threads = threads;
  return Estimate(request, sigma);
}

}  // namespace noise_sigma::fixtures
