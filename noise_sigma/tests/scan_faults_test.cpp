// The ways real scans fooled a single median of fine wavelet coefficients,
// one test each, on small synthetic volumes: coarse voxels, correlated
// noise, integer data, series, and the warnings.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "synthetic_volume.h"
#include "threads.h"

namespace noise_sigma {
namespace {

using fixtures::Coarse;
using fixtures::Head;
using fixtures::ResultOf;
using fixtures::Volume;
using fixtures::WithNoise;

Volume ZeroWhereClean0(Volume v, const Volume& clean) {
  for (std::size_t i = 0; i < v.v.size(); ++i)
    if (clean.v[i] == 0.0) v.v[i] = 0.0;
  return v;
}

// Volumes of one shape one after another, as a series lies in memory.
Volume Stacked(const std::vector<Volume>& volumes) {
  const Volume& one = volumes.front();
  Volume series(one.rows, one.cols, one.slices * static_cast<int>(volumes.size()));
  for (std::size_t t = 0; t < volumes.size(); ++t)
    std::copy(volumes[t].v.begin(), volumes[t].v.end(), series.v.begin() + t * one.v.size());
  return series;
}

bool SameBits(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The series read one volume at a time, each into a buffer the next read
// overwrites (as a file's reader hands them out), gives the same bits on
// one thread (volume after volume) and on three (volumes three at a time,
// each on its own); a read that fails stops the estimate.
void ExpectSameReadOneAtATime(const SeriesRequest& request, const std::vector<Result>& each,
                              const SeriesResult& pooled) {
  const int64_t voxels = int64_t{request.first.rows} * request.first.cols * request.first.slices;
  std::vector<double> buffer(static_cast<std::size_t>(voxels));
  SeriesRequest streamed = request;
  streamed.first.data = nullptr;
  streamed.volume = [&](int64_t t) -> const double* {
    std::copy_n(request.first.data + t * voxels, voxels, buffer.begin());
    return buffer.data();
  };
  std::vector<Result> again(static_cast<std::size_t>(request.count));
  SeriesResult pooled_again;
  platform::PretendProcessors(4);
  for (int threads : {1, 3}) {
    streamed.options.threads = threads;
    ASSERT_EQ(EstimateSeries(streamed, again.data(), &pooled_again), Status::kOk);
    EXPECT_TRUE(SameBits(pooled_again.pooled.sigma, pooled.pooled.sigma)) << threads;
    EXPECT_TRUE(SameBits(pooled_again.repeats, pooled.repeats));
    EXPECT_EQ(pooled_again.pooled.estimator, pooled.pooled.estimator);
    EXPECT_EQ(pooled_again.estimated, pooled.estimated);
    for (std::size_t t = 0; t < again.size(); ++t) {
      EXPECT_TRUE(SameBits(again[t].sigma, each[t].sigma)) << "volume " << t << ", " << threads;
      EXPECT_EQ(again[t].samples, each[t].samples);
    }
  }
  platform::PretendProcessors(0);
  streamed.volume = [&](int64_t t) -> const double* {
    return t + 1 < request.count ? request.first.data + t * voxels : nullptr;
  };
  EXPECT_EQ(EstimateSeries(streamed, again.data(), &pooled_again), Status::kInterrupted);
}

SeriesResult PooledOf(const Volume& series, int count, std::vector<Result>& each) {
  SeriesRequest request;
  request.first = VolumeView{series.v.data(), series.rows, series.cols, series.slices / count};
  request.count = count;
  each.assign(count, Result{});
  SeriesResult pooled;
  EXPECT_EQ(EstimateSeries(request, each.data(), &pooled), Status::kOk);
  ExpectSameReadOneAtATime(request, each, pooled);
  return pooled;
}

Volume Rounded(Volume v) {
  for (double& x : v.v) x = std::nearbyint(x);
  return v;
}

TEST(ScanFaults, CoarseVoxelsAreReadFromTheAirAndTheDisagreementIsFlagged) {
  // Voxels four times as coarse: the head's edges and texture reach the
  // finest scale everywhere.
  const Volume clean = Coarse(Head(192), 4);
  for (double sigma : {2.0, 4.0}) {
    const Result r = ResultOf(WithNoise(clean, sigma, NoiseModel::kRician, false, 7), NoiseModel::kRician);
    EXPECT_EQ(r.estimator, Estimator::kBackground) << sigma;
    EXPECT_NEAR(r.sigma / sigma, 1.0, 0.05) << sigma;
    EXPECT_NEAR(r.background, r.sigma, 0.0);
    const bool apart = std::fabs(r.tissue / r.background - 1.0) > kDisagreement;
    EXPECT_EQ((r.warnings & kWarnDisagree) != 0, apart) << r.tissue << " " << r.background;
  }
}

TEST(ScanFaults, CorrelatedNoiseGivesTheMarginalSigmaAndIsFlagged) {
  const Volume clean = Head(64);
  const Volume noisy = WithNoise(clean, 6.0, NoiseModel::kRician, true, 8);
  const Result air = ResultOf(noisy, NoiseModel::kRician);
  EXPECT_EQ(air.estimator, Estimator::kBackground);
  EXPECT_NEAR(air.sigma / 6.0, 1.0, 0.05);
  const Result tissue = ResultOf(ZeroWhereClean0(noisy, clean), NoiseModel::kRician);
  EXPECT_EQ(tissue.estimator, Estimator::kTissue);
  EXPECT_NEAR(tissue.sigma / 6.0, 1.0, 0.1);
  for (const Result& r : {air, tissue}) {
    for (double rho : r.correlation_axes) EXPECT_NEAR(rho, 2.0 / 3.0, 0.1);
    EXPECT_TRUE(r.warnings & kWarnCorrelated);
  }
  // White noise is not flagged.
  const Result white = ResultOf(WithNoise(clean, 6.0, NoiseModel::kRician, false, 9), NoiseModel::kRician);
  EXPECT_LT(white.correlation, 0.1);
  EXPECT_FALSE(white.warnings & kWarnCorrelated);
}

TEST(ScanFaults, IntegerDataAreEstimatedWithinTenPercentFromHalfAStepAndNeverAsZero) {
  const Volume clean = Head(64);
  for (double sigma : {0.5, 1.0, 2.0}) {
    const Volume noisy = Rounded(WithNoise(clean, sigma, NoiseModel::kRician, false, 10));
    for (bool air : {true, false}) {
      const Result r = ResultOf(air ? noisy : ZeroWhereClean0(noisy, clean), NoiseModel::kRician);
      EXPECT_EQ(r.estimator, air ? Estimator::kBackground : Estimator::kTissue);
      EXPECT_NEAR(r.sigma / sigma, 1.0, 0.1) << sigma << (air ? " air" : " tissue");
      EXPECT_EQ(r.step, 1.0);
    }
  }
  // Scaled integers (a file's slope and intercept) are a grid too.
  Volume scaled = Rounded(WithNoise(clean, 1.0, NoiseModel::kGaussian, false, 11));
  for (double& x : scaled.v) x = 0.25 * x + 3.0;
  const Result g = ResultOf(scaled, NoiseModel::kGaussian);
  EXPECT_EQ(g.step, 0.25);
  EXPECT_NEAR(g.sigma / 0.25, 1.0, 0.1);
  // Without noise the rounding is all there is: never 0, and flagged.
  const Result quiet = ResultOf(Rounded(clean), NoiseModel::kRician);
  EXPECT_GT(quiet.sigma, 0.0);
  EXPECT_TRUE(quiet.warnings & kWarnBelowStep);
  EXPECT_EQ(quiet.confidence, Confidence::kLow);
}

TEST(ScanFaults, TheBackgroundMaskMarksTheAirTheEstimateUsedAndNothingElse) {
  const Volume clean = Head(64);
  const Volume noisy = WithNoise(clean, 6.0, NoiseModel::kRician, false, 11);
  const Volume stripped = ZeroWhereClean0(noisy, clean);
  // Two volumes side by side: the first with air, the second without.
  const Volume series = Stacked({noisy, stripped});
  std::vector<unsigned char> mask(series.v.size(), 7);
  SeriesRequest request;
  request.first = noisy.View();
  request.first.data = series.v.data();
  request.count = 2;
  request.background_mask = mask.data();
  Result each[2];
  SeriesResult pooled;
  ASSERT_EQ(EstimateSeries(request, each, &pooled), Status::kOk);
  ASSERT_EQ(each[0].estimator, Estimator::kBackground);
  ASSERT_EQ(each[1].estimator, Estimator::kTissue);
  std::size_t air = 0, air_marked = 0, head_marked = 0, second_marked = 0;
  for (std::size_t i = 0; i < noisy.v.size(); ++i) {
    ASSERT_LE(mask[i], 1);
    if (clean.v[i] == 0.0) {
      ++air;
      air_marked += mask[i];
    } else {
      head_marked += mask[i];
    }
    second_marked += mask[noisy.v.size() + i];
  }
  EXPECT_GT(air_marked, air / 2);
  EXPECT_LT(head_marked, air_marked / 100);
  EXPECT_EQ(second_marked, 0u);  // no air found: nothing marked, every entry written
}

// Anatomy at the finest scale (a fine texture) raises the tissue estimate;
// repeats of the acquisition carry the noise alone in their differences.
// Volumes that differ in signal, or copies of one volume, leave the
// volumes' own estimate in place.
TEST(ScanFaults, RepeatsGiveTheNoiseWhereAnatomyRaisesTheTissueEstimate) {
  Volume clean = Head(64);
  for (int s = 0; s < 64; ++s)
    for (int c = 0; c < 64; ++c)
      for (int r = 0; r < 64; ++r) clean.at(r, c, s) *= 1.0 + 0.015 * ((r + c + s) % 2);
  const double sigma = 3.0;
  std::vector<Volume> repeats;
  for (int t = 0; t < 3; ++t)
    repeats.push_back(ZeroWhereClean0(WithNoise(clean, sigma, NoiseModel::kRician, false, 40 + 2 * t), clean));
  std::vector<Result> each;
  const SeriesResult pooled = PooledOf(Stacked(repeats), 3, each);
  EXPECT_GT(each[0].sigma / sigma, 1.25);  // what the volumes alone read
  EXPECT_EQ(pooled.pooled.estimator, Estimator::kRepeats);
  EXPECT_NEAR(pooled.pooled.sigma / sigma, 1.0, 0.05);
  EXPECT_EQ(pooled.pooled.sigma, pooled.repeats);

  Volume dimmer = repeats[1];
  for (double& x : dimmer.v) x *= 0.6;
  const Volume copy = repeats[0];
  for (const Volume& second : {dimmer, copy}) {
    const SeriesResult kept = PooledOf(Stacked({repeats[0], second}), 2, each);
    EXPECT_NE(kept.pooled.estimator, Estimator::kRepeats);
    EXPECT_TRUE(kept.pooled.sigma == each[0].sigma || kept.pooled.sigma == each[1].sigma);
  }
}

TEST(ScanFaults, ASeriesIsPooledAndASmallVolumeNeverAbortsIt) {
  // A diffusion-like series: the signal decays volume by volume, the noise
  // stays; the last volume is mostly masked away.
  const Volume clean = Head(40);
  const int count = 6;
  std::vector<double> data;
  for (int t = 0; t < count; ++t) {
    Volume v = clean;
    for (double& x : v.v) x *= std::exp(-0.35 * t);
    v = ZeroWhereClean0(WithNoise(v, 5.0, NoiseModel::kRician, false, 20 + t), clean);
    if (t == count - 1) {  // data in a 6x6x6 cube only: 27 blocks
      Volume cube(40, 40, 40);
      for (int k = 17; k < 23; ++k)
        for (int j = 17; j < 23; ++j)
          for (int i = 17; i < 23; ++i) cube.at(i, j, k) = v.at(i, j, k);
      v = cube;
    }
    data.insert(data.end(), v.v.begin(), v.v.end());
  }
  SeriesRequest request;
  request.first = VolumeView{data.data(), 40, 40, 40};
  request.count = count;
  std::vector<Result> each(count);
  SeriesResult series;
  ASSERT_EQ(EstimateSeries(request, each.data(), &series), Status::kOk);
  ExpectSameReadOneAtATime(request, each, series);
  EXPECT_EQ(series.estimated, count - 1);
  EXPECT_EQ(each[count - 1].estimator, Estimator::kNone);
  EXPECT_TRUE(std::isnan(each[count - 1].sigma));
  EXPECT_NEAR(series.pooled.sigma / 5.0, 1.0, 0.05);

  // Volumes too small alone (12x12x2 voxels: 36 blocks) are estimated side by side.
  const Volume head = Coarse(Head(48), 4);
  std::vector<double> smalls;
  for (int t = 0; t < 4; ++t) {
    const Volume v = WithNoise(head, 5.0, NoiseModel::kGaussian, false, 30 + t);
    smalls.insert(smalls.end(), v.v.begin() + 5 * 144, v.v.begin() + 7 * 144);
  }
  request.first = VolumeView{smalls.data(), 12, 12, 2};
  request.count = 4;
  request.model = NoiseModel::kGaussian;
  ASSERT_EQ(EstimateSeries(request, each.data(), &series), Status::kOk);
  ExpectSameReadOneAtATime(request, {each.begin(), each.begin() + 4}, series);
  EXPECT_EQ(series.estimated, 0);
  EXPECT_NEAR(series.pooled.sigma / 5.0, 1.0, 0.25);
}

TEST(ScanFaults, TheDiagnosticsHaveTheSameBitsForAnyThreadCount) {
  const Volume clean = Head(48);
  const Volume noisy = Rounded(WithNoise(clean, 3.0, NoiseModel::kRician, true, 40));
  for (const Volume& v : {noisy, ZeroWhereClean0(noisy, clean)}) {
    const Result one = ResultOf(v, NoiseModel::kRician, 1);
    for (int threads : {2, 3, 8}) {
      const Result many = ResultOf(v, NoiseModel::kRician, threads);
      const double a[] = {one.sigma, one.background, one.tissue, one.correlation, one.step};
      const double b[] = {many.sigma, many.background, many.tissue, many.correlation, many.step};
      EXPECT_EQ(std::memcmp(a, b, sizeof a), 0) << threads << " threads";
      EXPECT_EQ(std::memcmp(one.correlation_axes, many.correlation_axes, sizeof one.correlation_axes), 0);
      EXPECT_EQ(one.samples, many.samples);
      EXPECT_EQ(one.warnings, many.warnings);
      EXPECT_EQ(one.estimator, many.estimator);
    }
  }
}

}  // namespace
}  // namespace noise_sigma
