// Which voxels are air is decided block by block, on the 3x3x3 blocks
// around each (216 voxels): air has a mean square of 2 sigma^2, tissue of
// signal A has A^2 + 2 sigma^2 (with N coils, 2N sigma^2 and A^2 + 2N sigma^2:
// each bound below is relative to the air's level). Starting from the quietest windows (their
// 1% quantile), each round takes the windows whose mean square is at most
// kWindowLimit * 2 sigma^2 (tissue of an SNR below 1.4 at most, which is
// near-noise too) and fits sigma to the magnitudes of their blocks; the
// rounds climb to the air's level and stop there. The bound is one-sided
// and loose because correlated noise (lag-1 correlations up to 0.9 are met
// in parallel-imaging scans) makes a window's mean square far more
// variable than 216 independent voxels would: the quantile band of a
// chi-square law would throw out most of such air, and two-sided it would
// bias the fit. Each voxel's magnitude keeps its Rayleigh law whatever the
// correlation, so the fit itself is unaffected.
//
// Measured on the Colin27 T1 with Rician noise added (bench/
// noise_sigma_accuracy.py): within 0.2% from 1 to 5% of the maximum, 1.7%
// high at 10% (dark tissue joins the air), within 2% under correlation 0.45
// to 0.9, and within 0.2% on integer-rounded data at 0.5 to 2 steps.
//
// When there is no air (a brain-extracted or masked volume, a field of view
// inside the head), the rounds settle on the darkest tissue instead; its
// magnitudes are far narrower than a Rayleigh law of their median
// (sd_ratio 0.35 to 0.45 where air gives 0.75 to 1.0), which the checks
// catch.
#include "background.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "exp.h"
#include "magnitude_law.h"
#include "portable_log.h"
#include "quantile.h"

namespace noise_sigma {

namespace {

constexpr double kWindowLimit = 2.0;
constexpr double kSpreads = 4.0;
constexpr double kStartQuantile = 0.01;
constexpr int kMostRounds = 16;
constexpr double kSettled = 1e-3;
constexpr int64_t kThinSample = 32768;
// The climbing rounds' band: the median expected, within this share either way.
constexpr double kClimbBand = 0.25;
// The last round's band: the median expected, within this share either way.
constexpr double kBandWidth = 0.1;
// A fit needs this many voxels (the median's sampling error is then about
// 2%) and moments this close to the law's.
constexpr int64_t kLeastVoxels = 4096;
constexpr double kMeanTolerance = 0.1;
constexpr double kSdTolerance = 0.3;

// Calls fn(b, p) for every block b of the region, in index order, with p
// its first voxel.
template <class Fn>
void ForEachBlock(const VolumeView& volume, const BlockGrid& grid, const BlockRegion& region, Fn fn) {
  const int64_t plane = int64_t{grid.rows} * grid.cols;
  const int64_t voxel_plane = int64_t{volume.rows} * volume.cols;
  for (int k = region.first[2]; k < region.end[2]; ++k)
    for (int j = region.first[1]; j < region.end[1]; ++j) {
      const double* p = volume.data + 2 * int64_t{j} * volume.rows + 2 * k * voxel_plane;
      for (int i = region.first[0]; i < region.end[0]; ++i)
        fn(i + j * int64_t{grid.rows} + k * plane, p + 2 * i);
    }
}

// The voxel pairs of a block along each axis, by position a + 2b + 4c.
constexpr int kPairs[3][4][2] = {{{0, 1}, {2, 3}, {4, 5}, {6, 7}},
                                 {{0, 2}, {1, 3}, {4, 6}, {5, 7}},
                                 {{0, 4}, {1, 5}, {2, 6}, {3, 7}}};

// What one pass over the chosen blocks' voxels gathers for the last fit:
// the band of magnitudes around the expected median, the count under it,
// the moments, and the products of neighbours' squared magnitudes.
struct Gathered {
  std::vector<double> band;
  int64_t below = 0, total = 0;
  double sum = 0.0, sum_sq = 0.0, quartic = 0.0;
  double cross[3] = {0.0, 0.0, 0.0};
};

}  // namespace

BackgroundFit FitBackground(const VolumeView& volume, const BlockGrid& grid, const BlockStats& stats,
                            const BlockRegion& region, double step, int coils) {
  BackgroundFit fit;
  // The air's mean square over sigma^2, and its magnitudes' median over sigma.
  const double air_level = 2.0 * coils;
  const double median_over_sigma = MagnitudeMedian(coils);
  std::vector<double> windows;
  ForEachBlock(volume, grid, region, [&](int64_t b, const double*) {
    if (std::isfinite(stats.window[b])) windows.push_back(stats.window[b]);
  });
  if (static_cast<int64_t>(windows.size()) * 8 < kLeastVoxels) return fit;
  double sigma = std::sqrt(Quantile(windows, kStartQuantile) / air_level);
  double window_factor = kWindowLimit;

  const int64_t rows = volume.rows, plane = rows * volume.cols;
  const int64_t offsets[8] = {0, 1, rows, rows + 1, plane, plane + 1, plane + rows, plane + rows + 1};
  // The rounds climb on every thinning-th candidate block (a fixed choice,
  // by index, of about kThinSample blocks) to where the windows of at most
  // `factor` * air_level * sigma^2 give sigma back.
  const int64_t thinning = std::max<int64_t>(1, static_cast<int64_t>(windows.size()) / kThinSample);
  // Each round keeps only the magnitudes within kClimbBand of the median
  // the last sigma predicts, and counts those under them: the median, and
  // the bins beside it on a value grid, come out as from the whole sample
  // whenever they lie inside, which the round checks (else it reads the
  // whole sample). nth_element then sorts out a fraction of the values.
  std::vector<double> magnitudes;
  // Room for every candidate block's voxels, picked or not.
  std::vector<double> picked(8 * (windows.size() / static_cast<std::size_t>(thinning) + 1));
  auto climb = [&](double factor) {
    for (int round = 0; round < kMostRounds && sigma > 0.0; ++round) {
      const double limit = factor * air_level * sigma * sigma;
      const double lo = sigma * median_over_sigma * (1.0 - kClimbBand);
      const double hi = sigma * median_over_sigma * (1.0 + kClimbBand);
      auto gather = [&](double from, double to, int64_t* below) {
        int64_t seen = 0, total = 0, kept = 0, under = 0;
        ForEachBlock(volume, grid, region, [&](int64_t b, const double* p) {
          if (stats.window[b] > limit || seen++ % thinning != 0) return;
          for (int64_t o : offsets) {  // without branches: which side is a coin toss
            const double m = std::fabs(p[o]);
            under += m < from;
            picked[kept] = m;
            kept += m >= from && m <= to;
          }
          total += 8;
        });
        *below += under;
        magnitudes.assign(picked.begin(), picked.begin() + kept);
        return total;
      };
      int64_t below = 0;
      const int64_t total = gather(lo, hi, &below);
      if (total == 0) {
        sigma = 0.0;
        return;
      }
      double median = 0.0;
      double next = FitMagnitudeSigma(magnitudes, below, total, step, coils, &median);
      if (next < 0.0 || median - 1.5 * step < lo || median + 1.5 * step > hi) {
        int64_t none = 0;
        gather(0.0, std::numeric_limits<double>::infinity(), &none);
        next = FitMagnitudeSigma(magnitudes, 0, total, step, coils);
      }
      const bool settled = std::fabs(next - sigma) <= kSettled * sigma;
      sigma = next;
      if (settled) return;
    }
  };
  climb(kWindowLimit);
  // Dark tissue of an SNR below 1.4 passes the loose bound too (the
  // mid-b volumes of a diffusion series are full of it) and would raise
  // sigma by up to 9% and read as correlated noise. It only ever adds to a
  // window's mean square, so the air shows as the densest cluster of the
  // windows' logarithms (the middle of the shortest range holding a tenth
  // of them) and its spread below that (logarithms, as the mean squares of
  // strongly correlated noise spread far more upwards than downwards): the
  // bound closes to kSpreads robust standard deviations above the cluster,
  // never wider than before, and the rounds climb again.
  if (sigma > 0.0) {
    const double limit = kWindowLimit * air_level * sigma * sigma;
    std::vector<double> air;
    for (std::size_t i = 0; i < windows.size(); i += static_cast<std::size_t>(thinning))
      if (windows[i] <= limit) air.push_back(PortableLog(windows[i]));
    std::sort(air.begin(), air.end());
    const std::size_t n = air.size(), h = std::max<std::size_t>(1, n / 10);
    if (n > h) {
      std::size_t best = 0;
      for (std::size_t i = 1; i + h < n; ++i)
        if (air[i + h] - air[i] < air[best + h] - air[best]) best = i;
      const double mode = 0.5 * (air[best] + air[best + h]);
      std::vector<double> below;
      for (double w : air)
        if (w < mode) below.push_back(mode - w);
      if (!below.empty()) {
        const double spread = kMadToSigma * Quantile(below, 0.5);
        window_factor =
            std::min(kWindowLimit, platform::Exp(mode + kSpreads * spread) / (air_level * sigma * sigma));
        climb(window_factor);
      }
    }
  }
  if (!(sigma > 0.0)) return fit;

  // The last round, on every block: one pass keeps only the magnitudes
  // within a band around the median the rounds found (the median of the
  // whole is exact as long as its rank falls in the band, else the band
  // widens) and sums what the checks need.
  const double limit = window_factor * air_level * sigma * sigma;
  Gathered g;
  double next = -1.0;
  for (double width = kBandWidth; next < 0.0; width *= 4.0) {
    const double lo = sigma * median_over_sigma * (1.0 - width) - step;
    const double hi = sigma * median_over_sigma * (1.0 + width) + step;
    g = Gathered{};
    ForEachBlock(volume, grid, region, [&](int64_t b, const double* p) {
      if (stats.window[b] > limit) return;
      double q[8];
      for (int t = 0; t < 8; ++t) {
        const double m = std::fabs(p[offsets[t]]);
        if (m < lo)
          ++g.below;
        else if (m <= hi)
          g.band.push_back(m);
        q[t] = m * m;
        g.sum += m;
        g.sum_sq += q[t];
        g.quartic += q[t] * q[t];
      }
      g.total += 8;
      for (int a = 0; a < 3; ++a)
        for (const auto& pair : kPairs[a]) g.cross[a] += q[pair[0]] * q[pair[1]];
    });
    if (g.total == 0) return fit;
    next = FitMagnitudeSigma(g.band, g.below, g.total, step, coils);
    if (width > 1.0 && next < 0.0) return fit;  // the band held every value: cannot happen
  }
  sigma = next;
  if (!(sigma > 0.0)) return fit;

  fit.sigma = sigma;
  fit.voxels = g.total;
  fit.window_limit = limit;
  const double n = static_cast<double>(g.total);
  const Moments law = MagnitudeMoments(sigma, step, coils);
  const double mean = g.sum / n;
  fit.mean_ratio = mean / law.mean;
  fit.sd_ratio = std::sqrt(std::max(0.0, g.sum_sq / n - mean * mean)) / law.sd;
  // The lag-1 correlation along each axis: for complex Gaussian noise of
  // correlation rho, squared magnitudes correlate by exactly rho^2 (a sum
  // over independent channels too).
  const double square_mean = g.sum_sq / n;
  const double square_variance = g.quartic / n - square_mean * square_mean;
  for (int a = 0; a < 3; ++a) {
    const double c = square_variance > 0.0
                         ? (g.cross[a] / (n / 2.0) - square_mean * square_mean) / square_variance
                         : 0.0;
    fit.correlation[a] = std::sqrt(std::clamp(c, 0.0, 1.0));
  }
  fit.found = fit.voxels >= kLeastVoxels && std::fabs(fit.mean_ratio - 1.0) <= kMeanTolerance &&
              std::fabs(fit.sd_ratio - 1.0) <= kSdTolerance;
  return fit;
}

void MarkBackground(const VolumeView& volume, const BlockGrid& grid, const BlockStats& stats,
                    const BlockRegion& region, const BackgroundFit& fit, unsigned char* mask) {
  const int64_t rows = volume.rows, plane = rows * volume.cols;
  const int64_t offsets[8] = {0, 1, rows, rows + 1, plane, plane + 1, plane + rows, plane + rows + 1};
  ForEachBlock(volume, grid, region, [&](int64_t b, const double* p) {
    if (stats.window[b] > fit.window_limit) return;
    unsigned char* m = mask + (p - volume.data);
    for (int64_t o : offsets) m[o] = 1;
  });
}

}  // namespace noise_sigma
