#include "verdict.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace noise_sigma {

namespace {

// Confidence: a background fit is high when its sample's moments are within
// these of the law's; tissue when it rests on this many flat blocks (the
// median's sampling error is then under 3%), medium from kFewFlatBlocks up
// (under 9%).
constexpr double kCloseMean = 0.05;
constexpr double kCloseSd = 0.1;
constexpr int64_t kManyFlatBlocks = 2000;
constexpr int64_t kFewFlatBlocks = 200;

// The central chi law of many coils is narrow (its sd over its mean is 0.18
// for eight), so dark tissue whose signal varies a little passes the
// background's moment checks where one coil's Rayleigh law catches it: on
// a brain-extracted Colin27 T1 with four or eight coils the darkest tissue
// read 3.4 to 4.8 times the per-channel sigma, the tissue estimate within
// 7%. A true background beside a tissue estimate this far below it has not
// been met (correlated noise moves both).
constexpr double kDarkTissue = 2.0;

Confidence AtMost(Confidence c, Confidence cap) { return std::min(c, cap); }

}  // namespace

Result Verdict(const Findings& f) {
  Result r;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const bool tissue = f.tissue.blocks > 0;
  const bool dark_tissue =
      f.coils > 1 && tissue && f.background.sigma > kDarkTissue * f.tissue.sigma;
  const bool background = f.rician && f.background.found && !dark_tissue;
  r.background = background ? f.background.sigma : nan;
  r.tissue = tissue ? f.tissue.sigma : nan;
  r.step = f.step;
  const double* correlation = f.tissue.correlation;
  if (background) {
    r.sigma = f.background.sigma;
    r.estimator = Estimator::kBackground;
    r.samples = f.background.voxels;
    correlation = f.background.correlation;
    const bool close = std::fabs(f.background.mean_ratio - 1.0) <= kCloseMean &&
                       std::fabs(f.background.sd_ratio - 1.0) <= kCloseSd;
    r.confidence = close ? Confidence::kHigh : Confidence::kMedium;
  } else if (tissue) {
    r.sigma = f.tissue.sigma;
    r.estimator = Estimator::kTissue;
    r.samples = f.tissue.blocks;
    r.confidence = f.tissue.blocks >= kManyFlatBlocks  ? Confidence::kHigh
                   : f.tissue.blocks >= kFewFlatBlocks ? Confidence::kMedium
                                                       : Confidence::kLow;
  } else {
    r.sigma = f.first_guess;
    r.estimator = Estimator::kTissue;
    r.confidence = Confidence::kLow;
  }
  for (int a = 0; a < 3; ++a) {
    r.correlation_axes[a] = correlation[a];
    r.correlation = std::max(r.correlation, correlation[a]);
  }
  if (r.correlation > kMostCorrelation) r.warnings |= kWarnCorrelated;
  if (background && tissue) {
    const double lo = std::min(r.background, r.tissue), hi = std::max(r.background, r.tissue);
    if (hi > (1.0 + kDisagreement) * lo) {
      r.warnings |= kWarnDisagree;
      r.confidence = AtMost(r.confidence, Confidence::kMedium);
    }
  }
  if (f.step > 0.0) {
    r.sigma = std::max(r.sigma, f.step / std::sqrt(12.0));
    if (r.sigma < f.step) {
      r.warnings |= kWarnBelowStep;
      r.confidence = Confidence::kLow;
    }
  }
  if (r.sigma == 0.0) {
    r.warnings |= kWarnZero;
    r.confidence = Confidence::kLow;
  }
  return r;
}

}  // namespace noise_sigma
