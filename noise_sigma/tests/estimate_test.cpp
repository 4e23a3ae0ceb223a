// The estimator on volumes of known noise, and on volumes it must refuse.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "synthetic_volume.h"
#include "threads.h"

namespace noise_sigma {
namespace {

using fixtures::Background;
using fixtures::Phantom;
using fixtures::EstimateOf;
using fixtures::Volume;

const char* Name(NoiseModel m) { return m == NoiseModel::kRician ? "Rician" : "Gaussian"; }

TEST(NoiseSigma, KnownSigmaWithinFivePercentForBothModelsAndEveryBackground) {
  for (NoiseModel model : {NoiseModel::kGaussian, NoiseModel::kRician})
    for (Background bg : {Background::kNoisy, Background::kZeroed, Background::kCropped})
      for (double sigma : {4.0, 9.0, 16.0}) {  // 2.3, 5 and 9% of the phantom's maximum
        const Volume vol = Phantom(72, sigma, model, bg, 11);
        double estimate = -1.0;
        ASSERT_EQ(EstimateOf(vol, model, &estimate), Status::kOk);
        EXPECT_NEAR(estimate / sigma, 1.0, 0.05)
            << Name(model) << " noise " << sigma << ", background " << int(bg);
      }
}

TEST(NoiseSigma, RicianDataReadAsGaussianIsUnderestimated) {
  // The model matters: the Rayleigh background and the dark core pull a
  // Gaussian reading of Rician data down, which the Rician reading undoes.
  const Volume vol = Phantom(72, 16.0, NoiseModel::kRician, Background::kNoisy, 12);
  double rician = 0.0, gaussian = 0.0;
  ASSERT_EQ(EstimateOf(vol, NoiseModel::kRician, &rician), Status::kOk);
  ASSERT_EQ(EstimateOf(vol, NoiseModel::kGaussian, &gaussian), Status::kOk);
  EXPECT_LT(gaussian, 0.95 * rician);
}

TEST(NoiseSigma, SameBitsForAnyThreadCount) {
  for (NoiseModel model : {NoiseModel::kGaussian, NoiseModel::kRician}) {
    const Volume vol = Phantom(40, 7.0, model, Background::kZeroed, 13);
    double one = 0.0;
    ASSERT_EQ(EstimateOf(vol, model, &one, 1), Status::kOk);
    for (int threads : {0, 2, 3, 7, 8, 64}) {
      double many = 0.0;
      ASSERT_EQ(EstimateOf(vol, model, &many, threads), Status::kOk);
      EXPECT_EQ(std::memcmp(&one, &many, sizeof one), 0) << Name(model) << ", " << threads << " threads";
    }
  }
}

TEST(NoiseSigma, ConstantVolumesHaveNoNoise) {
  for (double value : {0.0, 7.5, -3.0}) {
    Volume vol(9, 10, 11, value);
    vol.v[5] = std::numeric_limits<double>::quiet_NaN();  // ignored, not a second value
    for (NoiseModel model : {NoiseModel::kGaussian, NoiseModel::kRician}) {
      double sigma = -1.0;
      ASSERT_EQ(EstimateOf(vol, model, &sigma), Status::kOk) << value;
      EXPECT_EQ(sigma, 0.0) << value;
    }
  }
}

TEST(NoiseSigma, TooLittleDataIsRefusedAndLeavesSigmaAlone) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Volume noisy = Phantom(16, 5.0, NoiseModel::kGaussian, Background::kCropped, 14);  // 8x8x8: 64 blocks
  double sigma = 0.0;
  EXPECT_EQ(EstimateOf(noisy, NoiseModel::kGaussian, &sigma), Status::kOk);
  EXPECT_GT(sigma, 0.0);

  Volume thin(8, 8, 7);  // 4x4x3 blocks
  Volume slice(40, 40, 1);
  Volume all_nan(10, 10, 10, nan);
  Volume mostly_zero(20, 20, 20, 0.0);  // data in 63 blocks only
  for (int b = 0; b < 63; ++b)
    for (int k = 0; k < 8; ++k)
      mostly_zero.at(2 * (b % 10) + k % 2, 2 * (b / 10) + (k / 2) % 2, k / 4) = 50.0 + b + k;
  Volume empty(0, 10, 10);
  for (Volume* vol : {&thin, &slice, &all_nan, &mostly_zero, &empty}) {
    if (vol != &all_nan && vol != &mostly_zero)
      for (double& v : vol->v) v = 1.0 + (&v - vol->v.data()) % 7;
    double untouched = -2.0;
    EXPECT_EQ(EstimateOf(*vol, NoiseModel::kRician, &untouched), Status::kTooLittleData)
        << vol->rows << "x" << vol->cols << "x" << vol->slices;
    EXPECT_EQ(untouched, -2.0);
  }
}

TEST(NoiseSigma, NanAndInfiniteVoxelsAreIgnored) {
  const Volume clean = Phantom(48, 8.0, NoiseModel::kRician, Background::kNoisy, 15);
  double reference = 0.0;
  ASSERT_EQ(EstimateOf(clean, NoiseModel::kRician, &reference), Status::kOk);
  Volume holes = clean;
  for (std::size_t i = 0; i < holes.v.size(); i += 97)
    holes.v[i] = i % 2 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  holes.v[1000] = 1e308;  // its block's sums overflow
  double sigma = 0.0;
  ASSERT_EQ(EstimateOf(holes, NoiseModel::kRician, &sigma), Status::kOk);
  EXPECT_TRUE(std::isfinite(sigma));
  EXPECT_NEAR(sigma / reference, 1.0, 0.03);
}

TEST(NoiseSigma, AFailedThreadStartIsReported) {
  const Volume vol = Phantom(24, 5.0, NoiseModel::kGaussian, Background::kNoisy, 16);
  for (int nth : {0, 1, 2}) {  // the block, spread and first rescaling passes
    platform::FailThreadStartAfter(nth);
    double sigma = -2.0;
    EXPECT_EQ(EstimateOf(vol, NoiseModel::kRician, &sigma, 2), Status::kThreadsFailed) << nth;
    EXPECT_EQ(sigma, -2.0);
  }
  platform::FailThreadStartAfter(-1);
}

}  // namespace
}  // namespace noise_sigma
