#include "quantisation.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace noise_sigma {

namespace {

// At most this many voxels are sampled, from slices spread over the volume.
constexpr int64_t kSampleVoxels = int64_t{1} << 16;

// SplitMix64: a fixed, well-mixed 64-bit hash.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

constexpr double kInvSqrt8 = 0.35355339059327373;

}  // namespace

ValueGrid SuggestedGrid(const VolumeView& volume) {
  const int64_t plane = int64_t{volume.rows} * volume.cols;
  std::vector<double> sample;
  if (plane > 0 && volume.slices > 0) {
    const int64_t slices = std::clamp<int64_t>(kSampleVoxels / plane, 1, volume.slices);
    for (int64_t t = 0; t < slices; ++t) {
      const int64_t s = (2 * t + 1) * volume.slices / (2 * slices);
      const double* p = volume.data + s * plane;
      for (int64_t i = 0; i < std::min(plane, kSampleVoxels); ++i)
        if (std::isfinite(p[i])) sample.push_back(p[i]);
    }
  }
  std::sort(sample.begin(), sample.end());
  sample.erase(std::unique(sample.begin(), sample.end()), sample.end());
  if (sample.size() < 2) return ValueGrid{};
  double gap = sample.back() - sample.front();
  for (std::size_t i = 1; i < sample.size(); ++i) gap = std::min(gap, sample[i] - sample[i - 1]);
  if (!(gap > 1e-9 * (sample.back() - sample.front()))) return ValueGrid{};
  return ValueGrid{sample.front(), gap};
}

double ValueStep(const VolumeView& volume) {
  const ValueGrid grid = SuggestedGrid(volume);
  if (grid.step <= 0.0) return 0.0;
  const int64_t voxels = int64_t{volume.rows} * volume.cols * volume.slices;
  for (int64_t i = 0; i < voxels; ++i)
    if (std::isfinite(volume.data[i]) && !OnGrid(volume.data[i], grid)) return 0.0;
  return grid.step;
}

double Spread(double coefficient, double step, int64_t block, unsigned salt) {
  const double level = std::nearbyint(coefficient / (step * kInvSqrt8));
  const uint64_t bits = Mix(static_cast<uint64_t>(block) * 8u + salt) >> 11;  // 53 bits
  const double u = static_cast<double>(bits) * 0x1.0p-53 - 0.5;
  return (level + u) * (step * kInvSqrt8);
}

}  // namespace noise_sigma
