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
// background, without noise.
inline Volume Head(int n) {
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
        vol.at(r, c, s) = clean;
      }
  return vol;
}

// Head(n) with noise of standard deviation `sigma` of either model.
inline Volume Phantom(int n, double sigma, NoiseModel model, Background background, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  Volume vol = Head(n);
  for (double& v : vol.v) {
    const double clean = v;
    const double a = clean + noise(rng);
    v = a;
    if (model == NoiseModel::kRician) {
      const double b = noise(rng);
      v = std::sqrt(a * a + b * b);
    }
    if (background == Background::kZeroed && clean == 0.0) v = 0.0;
  }
  if (background != Background::kCropped) return vol;
  const int lo = n / 4, size = n / 2;  // well inside the head's outer shell
  Volume crop(size, size, size);
  for (int s = 0; s < size; ++s)
    for (int c = 0; c < size; ++c)
      for (int r = 0; r < size; ++r) crop.at(r, c, s) = vol.at(lo + r, lo + c, lo + s);
  return crop;
}

// Gaussian noise of marginal standard deviation `sigma`, white or, with
// `smoothed`, filtered by [1 2 1]/sqrt(6) along each axis (wrapping round
// the faces): a lag-1 correlation of 2/3 along each.
inline Volume NoiseField(int rows, int cols, int slices, double sigma, bool smoothed, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, sigma);
  Volume f(rows, cols, slices);
  for (double& v : f.v) v = normal(rng);
  if (!smoothed) return f;
  const int n[3] = {rows, cols, slices};
  for (int axis = 0; axis < 3; ++axis) {
    Volume g = f;
    for (int s = 0; s < slices; ++s)
      for (int c = 0; c < cols; ++c)
        for (int r = 0; r < rows; ++r) {
          int at[3] = {r, c, s};
          auto value = [&](int d) {
            int q[3] = {at[0], at[1], at[2]};
            q[axis] = (q[axis] + d + n[axis]) % n[axis];
            return f.at(q[0], q[1], q[2]);
          };
          g.at(r, c, s) = (value(-1) + 2.0 * value(0) + value(1)) / std::sqrt(6.0);
        }
    f = g;
  }
  return f;
}

// `clean` with noise of either model added (the Rician magnitude of clean
// plus two noise fields).
inline Volume WithNoise(const Volume& clean, double sigma, NoiseModel model, bool smoothed,
                        uint64_t seed) {
  Volume out = clean;
  const Volume a = NoiseField(clean.rows, clean.cols, clean.slices, sigma, smoothed, seed);
  const Volume b = NoiseField(clean.rows, clean.cols, clean.slices, sigma, smoothed, seed + 1);
  for (std::size_t i = 0; i < out.v.size(); ++i) {
    const double re = clean.v[i] + a.v[i];
    out.v[i] = model == NoiseModel::kRician ? std::sqrt(re * re + b.v[i] * b.v[i]) : re;
  }
  return out;
}

// The mean of each f x f x f block: voxels f times as coarse.
inline Volume Coarse(const Volume& fine, int f) {
  Volume out(fine.rows / f, fine.cols / f, fine.slices / f);
  for (int s = 0; s < out.slices; ++s)
    for (int c = 0; c < out.cols; ++c)
      for (int r = 0; r < out.rows; ++r) {
        double sum = 0.0;
        for (int k = 0; k < f * f * f; ++k) sum += fine.v[(f * r + k % f) + (f * c + k / f % f) * std::size_t(fine.rows) +
                                                       (f * s + k / (f * f)) * std::size_t(fine.rows) * fine.cols];
        out.at(r, c, s) = sum / (f * f * f);
      }
  return out;
}

// The estimator called on a test volume, with everything it found.
inline Result ResultOf(const Volume& vol, NoiseModel model, int threads = 0) {
  Request request;
  request.volume = vol.View();
  request.model = model;
  request.options.threads = threads;
  Result result;
  result.estimator = Estimator::kNone;
  if (Estimate(request, &result) != Status::kOk) result.sigma = -1.0;
  return result;
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
