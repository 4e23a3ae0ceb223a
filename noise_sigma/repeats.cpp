// Volumes acquired again and again (the time series of a functional scan,
// the repeated b = 0 volumes of a diffusion series) carry the noise in their
// differences directly: at a voxel that holds the same signal in both, the
// difference of two volumes is the noise of both, of standard deviation
// sigma * sqrt(2), whatever the anatomy. A robust spread (the median
// absolute difference) keeps the few voxels that moved or changed from
// raising it. Volumes whose signal differs (diffusion weightings, contrast
// changes) add their change to the differences, so the fit then lies above
// sigma: the repeat estimate is an upper bound that the spatial estimates
// may pass when anatomy reaches the finest scale (a 2 mm echo-planar series
// of 24 slices whose air was zeroed: its tissue estimate was 1.27 times the
// noise of its repeats).
#include "repeats.h"

#include <cmath>
#include <limits>
#include <vector>

#include "quantile.h"

namespace noise_sigma {

namespace {

// Magnitudes above this many sigma have a noise within 1% of Gaussian.
constexpr double kRepeatSnr = 5.0;
// A pair needs this many voxels (its median's sampling error is then
// about 2%).
constexpr int64_t kLeastRepeatVoxels = 4096;

}  // namespace

RepeatFit FitRepeats(const VolumeView& first, int64_t count, NoiseModel model, double spatial) {
  RepeatFit fit;
  fit.sigma = std::numeric_limits<double>::quiet_NaN();
  const int64_t voxels = int64_t{first.rows} * first.cols * first.slices;
  const bool rician = model == NoiseModel::kRician;
  const double floor = kRepeatSnr * spatial;
  std::vector<double> per_pair, differences;
  for (int64_t t = 0; t + 1 < count; ++t) {
    const double* a = first.data + t * voxels;
    const double* b = a + voxels;
    differences.clear();
    for (int64_t i = 0; i < voxels; ++i) {
      if (!std::isfinite(a[i]) || !std::isfinite(b[i]) || a[i] == 0.0 || b[i] == 0.0) continue;
      if (rician && !(a[i] > floor && b[i] > floor)) continue;
      differences.push_back(std::fabs(a[i] - b[i]));
    }
    if (static_cast<int64_t>(differences.size()) < kLeastRepeatVoxels) continue;
    fit.voxels += static_cast<int64_t>(differences.size());
    per_pair.push_back(kMadToSigma * Quantile(differences, 0.5) / std::sqrt(2.0));
  }
  fit.pairs = static_cast<int64_t>(per_pair.size());
  if (!per_pair.empty()) fit.sigma = Quantile(per_pair, 0.5);
  return fit;
}

}  // namespace noise_sigma
