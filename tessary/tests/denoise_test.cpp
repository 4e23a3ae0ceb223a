// The driver on plain memory: own-value results, a pair computed by hand,
// the mended sigma cases, and threaded sums against the literal search
// (FilterCore, tests/filters, has what both filters share).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tessary_support.h"
#include "threads.h"

namespace tessary {
namespace {

using testing::Denoised;
using testing::Volume;

Volume Column(std::vector<double> in, std::vector<double> guide) {
  Volume v;
  v.rows = static_cast<int>(in.size());
  v.cols = 1;
  v.slices = 1;
  v.in = std::move(in);
  v.guide = std::move(guide);
  return v;
}

using testing::SameBits;

TEST(TessaryOwnValue, NoPairGivesTheInputBack) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Volume v = Column({30, -4.5, -0.0, nan, 1e300}, {1, 2, 3, 4, 5});
  const Denoised run(v, 0, 10.0, 0);
  ASSERT_EQ(run.status, Status::kOk);
  for (int i = 0; i < v.size(); ++i)
    EXPECT_TRUE(SameBits(run.out[i], v.in[i])) << "voxel " << i << ": " << run.out[i];
}

TEST(TessaryOwnValue, RicianRemovesTheBias) {
  const Volume v = Column({30, 12, 0, -3, std::sqrt(200.0)}, {1, 2, 3, 4, 5});
  const Denoised run(v, 0, 10.0, 1);
  EXPECT_EQ(run.out[0], std::sqrt(700.0));
  EXPECT_EQ(run.out[1], 0.0);  // 144 is below 200
  EXPECT_EQ(run.out[2], 0.0);
  EXPECT_EQ(run.out[3], 0.0);  // 9 - 200 < 0, and the input is not positive
}

// sigma 0 declares no noise: the input comes back bit for bit, under either
// noise model (Rician included, where a negative value would become 0). Any
// other sigma that leaves the weight's denominators at zero, or a negative
// one, weighs no pair, even with a window.
TEST(TessaryOwnValue, SigmaZeroTinyOrNegative) {
  Volume v = testing::MakeVolume(5, 4, 10, 3);
  v.in[7] = -3.0;
  for (double sigma : {0.0, -0.0, 1e-300, -6.0}) {
    const Denoised plain(v, 3, sigma, 0);
    ASSERT_EQ(plain.status, Status::kOk);
    for (int i = 0; i < v.size(); ++i)
      ASSERT_TRUE(SameBits(plain.out[i], v.in[i])) << "sigma " << sigma << " voxel " << i;
    const Denoised squared(v, 3, sigma, 1);
    const double bias = (sigma + sigma) * sigma;
    for (int i = 0; i < v.size(); ++i) {
      const double x = v.in[i] * v.in[i] - bias;
      const double own = v.in[i] <= 0.0 || x < 0.0 ? 0.0 : std::sqrt(x);
      ASSERT_TRUE(SameBits(squared.out[i], sigma == 0.0 ? v.in[i] : own))
          << "sigma " << sigma << " voxel " << i;
    }
  }
}

// The spill buffers start at -0.0, the identity of addition, so a -0.0
// voxel past a slab that no pair reaches keeps its sign.
TEST(TessaryOwnValue, NegativeZeroSurvivesTheMerge) {
  Volume v = testing::MakeVolume(3, 3, 10, 8);
  for (int i = 0; i < v.size(); ++i) v.in[i] = -0.0;
  v.in[0] = 5.0;
  const Denoised run(v, 3, -1.0, 0);
  for (int i = 1; i < v.size(); ++i) ASSERT_TRUE(std::signbit(run.out[i])) << "voxel " << i;
}

// Two voxels in a column, guide 1 and 3, sigma 3 (h = 1):
//   local means (6*1 + 2*3)/8 = 1.5 and (7*3 + 1)/8 = 2.75 (row -1 mirrors to
//   row 1, row 2 to row 1 itself), so K = trunc(1.25) = 1 = h passes;
//   G = 2^2 / (2*1*1) - 1 = 1, M = 1^2 / (0.5*1*1) - 1 = 1, d = 1, w = e^-1.
TEST(TessaryHandChecked, TwoVoxelPair) {
  const Volume v = Column({10, 20}, {1, 3});
  const double w = std::exp(-1.0);

  const Denoised plain(v, 1, 3.0, 0);
  EXPECT_EQ(plain.mean[0], 1.5);
  EXPECT_EQ(plain.mean[1], 2.75);
  EXPECT_EQ(plain.out[0], (10.0 + w * 20.0) / (1.0 + w));
  EXPECT_EQ(plain.out[1], (20.0 + w * 10.0) / (1.0 + w));
  EXPECT_NEAR(plain.out[0], 12.689414213699951, 1e-12);

  const Denoised squared(v, 1, 3.0, 1);
  EXPECT_EQ(squared.out[0], std::sqrt((100.0 + 20.0 * (w * 20.0)) / (1.0 + w) - 18.0));
  EXPECT_EQ(squared.out[1], std::sqrt((400.0 + 10.0 * (w * 10.0)) / (1.0 + w) - 18.0));
}

// With a constant guide every pair weighs 1 and integer sums are exact, so
// the result must equal the literal search over the whole volume exactly:
// nothing lost in the merge of the spill buffers, nothing counted twice.
TEST(TessaryThreads, SumsEqualTheWholeVolumeSearch) {
  Volume v = testing::MakeVolume(9, 7, 13, 4);
  for (int i = 0; i < v.size(); ++i) {
    v.guide[i] = 2.0;
    v.in[i] = std::floor(v.in[i]);
  }
  for (int radius : {1, 3, 5}) {
    const Denoised run(v, radius, 30.0, 0);
    std::vector<double> ref_out(v.in), ref_weights(v.size(), 1.0);
    testing::ReferenceSearch(v, run.mean, radius, 10.0, false, ref_out, ref_weights);
    for (int i = 0; i < v.size(); ++i)
      ASSERT_EQ(run.out[i], ref_out[i] / ref_weights[i]) << "radius " << radius << " voxel " << i;
  }
}

// On general data the threaded sums equal the literal search up to the
// rounding order.
TEST(TessaryThreads, CloseToTheWholeVolumeSearch) {
  const Volume v = testing::MakeVolume(11, 10, 12, 9);
  const Denoised run(v, 2, 12.0, 0);
  std::vector<double> ref_out(v.in), ref_weights(v.size(), 1.0);
  testing::ReferenceSearch(v, run.mean, 2, 4.0, false, ref_out, ref_weights);
  for (int i = 0; i < v.size(); ++i)
    ASSERT_NEAR(run.out[i], ref_out[i] / ref_weights[i], 1e-11) << "voxel " << i;
}

// What only tessary refuses (FilterCore has the rest): a missing guide.
// Scratch the caller does not pass is the call's own, with the same bits.
TEST(TessaryOwnValue, RefusedRequestsAndOwnScratch) {
  const Volume v = testing::MakeVolume(6, 5, 4, 7);
  const Denoised given(v, 2, 9.0, 1);
  std::vector<double> out(v.size());
  auto request = [&] { return testing::RequestFor(v, out.data(), 2, 9.0, 1); };
  ASSERT_EQ(Denoise(request()), Status::kOk);
  EXPECT_TRUE(SameBits(out, given.out));
  Request q = request();
  q.guide = nullptr;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
}

}  // namespace
}  // namespace tessary
