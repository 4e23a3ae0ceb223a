#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "dct.h"
#include "denoise.h"
#include "rician_bias.h"
#include "threads.h"
#include "volume_helpers.h"
#include "workers.h"

namespace quillon {
namespace {

using fixtures::Volume;

using Result = fixtures::Denoised;

Result Denoised(Volume& in, double sigma, int flag, bool one_thread = false) {
  return fixtures::RunDenoise(in, sigma, flag, one_thread);
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Slabs thin and thick, empty ones included: eight workers add into the
// same border slices at once. A lost or unordered addition changes bits.
TEST(QuillonDenoise, ThreadedRunsEqualTheOneThreadRunBitForBit) {
  const int shapes[][3] = {{40, 37, 11}, {23, 19, 6}, {33, 30, 20}, {9, 9, 4}};
  for (const auto& s : shapes) {
    Volume in = fixtures::NoisyPhantom(s[0], s[1], s[2], 8.0, 11, -40.0);
    for (int flag : {1, 0}) {
      const Result reference = Denoised(in, 8.0, flag, true);
      for (int run = 0; run < 3; ++run) {
        const Result threaded = Denoised(in, 8.0, flag);
        ASSERT_EQ(threaded.outcome, Outcome::kDone);
        EXPECT_TRUE(SameBits(threaded.first_estimate, reference.first_estimate)) << s[2];
        EXPECT_TRUE(SameBits(threaded.final_estimate, reference.final_estimate)) << s[2];
      }
    }
  }
}

// The eight slabs and their spill planes together add every block exactly
// once: the first estimate matches one worker sweeping the whole volume.
TEST(QuillonDenoise, SlabsAndSpillsCoverEveryBlockOnce) {
  Volume in = fixtures::NoisyPhantom(21, 18, 13, 6.0, 5);
  const Result r = Denoised(in, 6.0, 0);
  std::vector<double> sum(in.v.size()), weights(in.v.size());
  double forward[16], inverse[16];
  SetUpTransforms(forward, inverse);
  fixtures::RunWholeVolume(ThreadFunc, fixtures::Record(in, sum.data(), nullptr, weights.data(), 6.0),
                          sum.data());
  for (size_t i = 0; i < sum.size(); ++i) {
    const double expected = sum[i] / (weights[i] == 0.0 ? 1.0 : weights[i]);
    EXPECT_NEAR(r.first_estimate[i], expected, 1e-12 * std::fabs(expected) + 1e-300);
  }
}

TEST(QuillonDenoise, FlagDecidesTheCorrectionAndTheClearing) {
  Volume in = fixtures::NoisyPhantom(16, 14, 12, 10.0, 9, -70.0);  // many voxels below zero
  const Result gaussian = Denoised(in, 10.0, 0);
  const Result cleared = Denoised(in, 10.0, -1);
  const Result rician = Denoised(in, 10.0, 1);
  int negatives = 0;
  for (size_t i = 0; i < in.v.size(); ++i) {
    negatives += gaussian.final_estimate[i] < 0.0;
    // A negative flag only clears: no table, no correction.
    const double expected = gaussian.final_estimate[i] < 0.0 ? 0.0 : gaussian.final_estimate[i];
    EXPECT_EQ(cleared.final_estimate[i], expected);
    EXPECT_GE(rician.final_estimate[i], 0.0);
  }
  EXPECT_GT(negatives, 100);
  EXPECT_TRUE(SameBits(gaussian.first_estimate, rician.first_estimate));
  EXPECT_FALSE(SameBits(gaussian.final_estimate, cleared.final_estimate));
}

TEST(QuillonDenoise, VolumesWithoutBlocksOrPositiveVoxelsComeBackAsZeros) {
  Volume small(3, 9, 9, 5.0), flat(9, 9, 3, 5.0), negative(8, 8, 8, -2.0);
  for (Volume* v : {&small, &flat, &negative}) {
    const Result r = Denoised(*v, 1.0, 1);
    for (double x : r.final_estimate) EXPECT_EQ(x, 0.0);
  }
}

// A start that fails in either pass ends the call with kThreadsFailed after
// the started workers have finished; the next call is unaffected.
TEST(QuillonDenoise, EveryFailedWorkerStartIsReported) {
  Volume in = fixtures::NoisyPhantom(12, 12, 12, 5.0, 2);
  const Result good = Denoised(in, 5.0, 1);
  for (int k = 0; k < 16; ++k) {
    platform::FailThreadStartAfter(k);
    EXPECT_EQ(Denoised(in, 5.0, 1).outcome, Outcome::kThreadsFailed) << k;
    platform::FailThreadStartAfter(-1);
  }
  EXPECT_TRUE(SameBits(Denoised(in, 5.0, 1).final_estimate, good.final_estimate));
}

}  // namespace
}  // namespace quillon
