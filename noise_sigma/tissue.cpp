// The tissue estimate. Measured against the alternatives on the Colin27 T1
// (whole head and brain-extracted, at 1 mm and block-averaged to 4 mm) and
// on textured phantoms with an empty, a zeroed and a cropped background, at
// 1 to 10% noise of both models (bench/noise_sigma_accuracy.py):
//
// - The median absolute Haar HHH coefficient over every block is off by
//   27% on Rician data with an empty background (its Rayleigh noise has a
//   variance of 0.43 sigma^2) and, at 2 to 3% noise, 5 to 10% high on
//   textured data: signal that varies along all three axes at once leaks
//   into the finest subband. Longer wavelets (db2, db3) leak less but
//   still 4 to 7% at 2%.
// - So the median is taken only over blocks that carry data (eight finite,
//   non-zero voxels: a skull-stripped or masked background drops out), and
//   under Rician noise only over blocks whose local SNR theta is at least 2,
//   each coefficient divided by sqrt(xi(theta)) (Koay and Basser) so that
//   the remaining SNR dependence of the magnitude's variance is undone.
// - Leakage is removed by keeping the blocks flat at two scales: inside the
//   block, the mean square of its six other detail coefficients (gradient
//   and curvature, independent of HHH under Gaussian noise) is at most
//   (1.5 sigma)^2; around it, its 3x3x3 neighbourhood of block means varies
//   by at most 3 sigma (or, where fewer than a quarter are that flat, the
//   flattest quarter). The first alone brought every 1 mm volume within 2%
//   from 2% noise up; the second is what holds at 4 mm, where anatomy
//   reaches the finest scale everywhere: there the single-scale selection
//   was 15 to 40% high, the two scales 3 to 10%.
// - Correlated noise shrinks HHH by (1 - rho) per axis, so HHH alone reads
//   0.3 to 0.5 of the marginal sigma at lag-1 correlations of 0.7 to 0.45.
//   The pair coefficients (low-pass along one axis a, high-pass along the
//   others) have (1 + rho_a) there instead: their variance over HHH's gives
//   rho_a, and sigma^2 = var(HHH) / prod(1 - rho_a). On white noise the
//   signal that leaks into the pairs reads as rho of 0.01 to 0.03, which
//   would raise sigma by 2 to 5%: rho is used in full from 0.2 up, not at
//   all below 0.1, and in between in proportion.
// - A mode of local variances (3x3x3 windows, a local-moment estimator)
//   is within 1.5% where a large noisy background sets the mode, but 9 to
//   13% high on the cropped phantom at 2 to 3% noise, where no region is
//   flat enough to; under Rician noise its mode is the Rayleigh background's.
#include "tissue.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "quantile.h"
#include "quantisation.h"
#include "rician_variance.h"

namespace noise_sigma {

namespace {

// Below this local SNR, xi changes fast and a block's own noisy SNR says
// little about it: such blocks (the Rician background among them) are left out.
constexpr double kLowestTheta = 2.0;
// A block is flat inside when its six other coefficients' mean square is
// at most (kOwnFlat sigma)^2 (96% of noise-only blocks are), and flat
// around when its neighbourhood's means stay within kFlatSpread sigmas; at
// least kFlattestShare of the candidates is kept.
constexpr double kOwnFlat = 1.5;
constexpr double kFlatSpread = 3.0;
constexpr double kFlattestShare = 0.25;
// The correlation measured is used in full from kFullCorrelation up and
// not at all below kNoCorrelation.
constexpr double kNoCorrelation = 0.1;
constexpr double kFullCorrelation = 0.2;
constexpr double kHighestCorrelation = 0.95;
constexpr int64_t kLeastFlat = 64;

double Used(double rho) {
  const double share = std::clamp((rho - kNoCorrelation) / (kFullCorrelation - kNoCorrelation), 0.0, 1.0);
  return rho * share;
}

}  // namespace

void ScaleBlocks(const TissueRound& round, const BlockStats& stats, int64_t first, int64_t end,
                 TissueScratch& scratch) {
  const double variance = round.sigma * round.sigma;
  const double flat = kOwnFlat * kOwnFlat * variance;
  const double air = 2.0 * round.coils;
  for (int64_t b = first; b < end; ++b) {
    scratch.scale[b] = kLeftOut;
    if (!stats.has_data[b]) continue;
    double xi = 1.0;
    if (round.rician) {
      // E[M^2] = A^2 + 2 coils sigma^2 gives the block's SNR from its mean square.
      const double theta = std::sqrt(std::max(stats.mean_square[b] / variance - air, 0.0));
      if (theta < kLowestTheta) continue;
      xi = round.coils == 1 ? RicianVarianceFactor(theta) : ChiVarianceFactor(theta, round.coils);
    }
    if (stats.gradient[b] > flat * xi) continue;
    scratch.scale[b] = 1.0 / std::sqrt(xi);
  }
}

double FirstTissueGuess(const BlockStats& stats, int64_t count) {
  std::vector<double> pool;
  for (int64_t b = 0; b < count; ++b)
    if (stats.has_data[b]) pool.push_back(std::fabs(stats.detail[b]));
  return pool.empty() ? 0.0 : Quantile(pool, 0.5) * kMadToSigma;
}

TissueFit MeasureRound(const TissueRound& round, const BlockStats& stats, int64_t count,
                       const TissueScratch& scratch, TissueRound* next) {
  TissueFit fit;
  *next = round;
  std::vector<double> pool;
  for (int64_t b = 0; b < count; ++b)
    if (scratch.scale[b] != kLeftOut) pool.push_back(stats.spread[b]);
  if (static_cast<int64_t>(pool.size()) < kLeastFlat) return fit;
  const double limit = std::max(kFlatSpread * round.sigma, Quantile(pool, kFlattestShare));

  std::vector<double> detail, pairs[3];
  double inverse_xi = 0.0;
  for (int64_t b = 0; b < count; ++b) {
    const double scale = scratch.scale[b];
    if (scale == kLeftOut || stats.spread[b] > limit) continue;
    // On a value grid each coefficient is spread over its step first.
    auto value = [&](double c, unsigned salt) {
      return std::fabs(round.step > 0.0 ? Spread(c, round.step, b, salt) : c) * scale;
    };
    detail.push_back(value(stats.detail[b], 7));
    for (int a = 0; a < 3; ++a) pairs[a].push_back(value(stats.pairs[a][b], a));
    inverse_xi += scale * scale;
  }
  if (detail.empty()) return fit;
  fit.blocks = static_cast<int64_t>(detail.size());
  // What the grid's rounding and the spreading add to each variance.
  const double grid = kSpreadVariance * round.step * round.step * inverse_xi / static_cast<double>(fit.blocks);
  auto variance = [&](std::vector<double>& values) {
    const double s = Quantile(values, 0.5) * kMadToSigma;
    return s * s - grid;
  };
  const double hhh = variance(detail);
  fit.hhh_sigma = std::sqrt(std::max(hhh, 0.0));
  double shrink = 1.0;
  for (int a = 0; a < 3; ++a) {
    const double pair = variance(pairs[a]);
    double rho = 0.0;
    if (hhh > 0.0 && pair > 0.0) rho = std::clamp((pair - hhh) / (pair + hhh), 0.0, kHighestCorrelation);
    fit.correlation[a] = rho;
    next->correlation[a] = Used(rho);
    shrink *= 1.0 - next->correlation[a];
  }
  fit.sigma = std::sqrt(std::max(hhh, 0.0) / shrink);
  next->sigma = fit.sigma;
  return fit;
}

}  // namespace noise_sigma
