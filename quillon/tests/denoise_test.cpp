#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "quillon_support.h"
#include "threads.h"
#include "workers.h"

namespace quillon {
namespace {

using fixtures::Volume;

using fixtures::SameBits;
using Result = fixtures::Denoised;

Result Denoised(Volume& in, double sigma, int flag, bool one_thread = false) {
  return fixtures::RunDenoise(
      in, sigma, flag,
      one_thread ? platform::Schedule::kOneAfterAnother : platform::Schedule::kThreads);
}

// The eight slabs and their spill planes together add every block exactly
// once: the first estimate matches one worker sweeping the whole volume.
TEST(QuillonDenoise, SlabsAndSpillsCoverEveryBlockOnce) {
  Volume in = fixtures::NoisyPhantom(21, 18, 13, 6.0, 5);
  const Result r = Denoised(in, 6.0, 0);
  std::vector<double> sum(in.v.size()), weights(in.v.size());
  fixtures::RunWholeVolume(
      ThreadFunc, fixtures::MakeContext(in, sum.data(), nullptr, weights.data(), 6.0), sum.data());
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

// No block reaches a voxel of a volume thinner than a block: its positive
// voxels come back unchanged. Blocks of non-positive values are skipped,
// and their voxels become 0; so are blocks that hold a value that is not
// finite, and when one block holds every voxel, all keep their values.
TEST(QuillonDenoise, UnreachedVoxelsKeepPositiveValuesAndClearTheOthers) {
  Volume small(3, 9, 9, 5.0), flat(9, 9, 3, 5.0), negative(8, 8, 8, -2.0);
  flat.at(4, 4, 1) = -3.0;
  for (Volume* v : {&small, &flat, &negative}) {
    const Result r = Denoised(*v, 1.0, 0);
    for (size_t i = 0; i < v->v.size(); ++i) {
      EXPECT_EQ(r.final_estimate[i], v->v[i] > 0.0 ? v->v[i] : 0.0);
      EXPECT_EQ(r.first_estimate[i], r.final_estimate[i]);
    }
  }
  Volume one_block = fixtures::NoisyPhantom(4, 4, 4, 5.0, 6);
  one_block.at(1, 2, 3) = NAN;
  const Result o = Denoised(one_block, 5.0, 1);
  EXPECT_TRUE(SameBits(o.final_estimate, one_block.v));
  EXPECT_TRUE(SameBits(o.first_estimate, one_block.v));
}

// Coefficients of any size are kept against the threshold: block sums past
// 2^31 once came back as zeros.
TEST(QuillonDenoise, ValuesWhoseBlockSumsPass2To31AreKept) {
  Volume constant(8, 8, 8, 3e8);
  const Result r = Denoised(constant, 1e7, 0);
  for (size_t i = 0; i < constant.v.size(); ++i) {
    EXPECT_NEAR(r.final_estimate[i], 3e8, 1e-3);
    EXPECT_NEAR(r.first_estimate[i], 3e8, 1e-3);
  }
  Volume bright = fixtures::NoisyPhantom(12, 10, 9, 2e6, 4, 5e8);
  const Result b = Denoised(bright, 2e6, 0);
  double error = 0.0, noise = 0.0;
  for (size_t i = 0; i < bright.v.size(); ++i) {
    error += std::fabs(b.final_estimate[i] - bright.v[i]);
    noise += 2e6;
  }
  EXPECT_LT(error, noise);  // near the input, not zeros
}

// What only quillon refuses (FilterCore has the rest): a missing output,
// too small a bias table, and too large a value for one.
TEST(QuillonDenoise, RefusedRequestsReturnTheirStatus) {
  Volume in = fixtures::NoisyPhantom(6, 6, 6, 3.0, 1);
  std::vector<double> out(in.v.size());
  auto request = [&] { return fixtures::RequestFor(in, out.data(), 3.0, 1); };
  Request q = request();
  q.denoised = nullptr;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  q = request();
  std::vector<double> small(8);
  q.bias_table = small.data();
  q.bias_table_size = 8;
  EXPECT_EQ(BiasTableSize(q), BiasLength(LargestValue(in.data(), 216)));
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  q = request();
  in.v[5] = 5e6;
  EXPECT_EQ(BiasTableSize(q), -1);
  EXPECT_EQ(Denoise(q), Status::kValueRange);
}

}  // namespace
}  // namespace quillon
