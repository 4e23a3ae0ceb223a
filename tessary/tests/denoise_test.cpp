// The driver on plain memory: own-value results, a pair computed by hand,
// the mended sigma cases, and lossless, deterministic threaded sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
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

// A value that is not finite, in the volume or in the guide, passes
// through and never spreads: no pair takes its voxel, and a neighbour's
// local mean counts the neighbour's own guide value in its place. Once one
// NaN in the guide reached every voxel of its window. Voxels beyond the
// reach of every such value (radius + 1) keep the bits of the call without.
TEST(TessaryOwnValue, ValuesThatAreNotFinitePassThroughAlone) {
  const Volume clean = testing::MakeVolume(14, 12, 10, 31);
  const int R = 2, reach = R + 1;
  auto far = [&](int i, const std::vector<int>& bad) {
    for (int b : bad) {
      const int dr = std::abs(i % 14 - b % 14), dc = std::abs(i / 14 % 12 - b / 14 % 12),
                ds = std::abs(i / 168 - b / 168);
      if (std::max({dr, dc, ds}) <= reach) return false;
    }
    return true;
  };
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    for (unsigned char flag : {0, 1}) {
      const Denoised whole(clean, R, 15.0, flag);
      Volume v = clean;
      v.in[5 + 14 * 6 + 168 * 4] = bad;      // inside
      v.guide[9 + 14 * 3 + 168 * 6] = bad;   // inside, in the guide only
      v.in[0] = v.guide[0] = bad;            // a corner, both
      const std::vector<int> placed = {5 + 14 * 6 + 168 * 4, 9 + 14 * 3 + 168 * 6, 0};
      const Denoised run(v, R, 15.0, flag);
      ASSERT_EQ(run.status, Status::kOk);
      for (int i = 0; i < v.size(); ++i) {
        if (std::isfinite(v.in[i]) && std::isfinite(v.guide[i])) {
          ASSERT_TRUE(std::isfinite(run.out[i])) << bad << " flag " << int{flag} << " voxel " << i;
          if (far(i, placed)) {
            ASSERT_TRUE(SameBits(run.out[i], whole.out[i])) << i;
          }
        } else {
          ASSERT_TRUE(SameBits(run.out[i], v.in[i])) << bad << " voxel " << i;
        }
      }
    }
  }
  Volume all_nan = testing::MakeVolume(6, 5, 4, 2);
  for (double& x : all_nan.in) x = std::numeric_limits<double>::quiet_NaN();
  const Denoised nan_run(all_nan, 2, 9.0, 1);
  EXPECT_TRUE(SameBits(nan_run.out, all_nan.in));
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

// Thin slabs (10 slices into 8, radius 3) make every worker add into up to
// three following slabs. Running the workers one after another with the
// same merge is the reference: threads must reproduce it bit for bit, every
// time, which a lost or reordered addition would break.
TEST(TessaryThreads, LosslessAndDeterministic) {
  const Volume v = testing::MakeVolume(64, 48, 10, 21);
  for (unsigned char rician_flag : {0, 1}) {
    const Denoised reference(v, 3, 15.0, rician_flag, platform::Schedule::kOneAfterAnother);
    for (int repeat = 0; repeat < 4; ++repeat) {
      const Denoised threaded(v, 3, 15.0, rician_flag);
      ASSERT_EQ(threaded.status, Status::kOk);
      ASSERT_EQ(std::memcmp(threaded.out.data(), reference.out.data(), v.size() * sizeof(double)),
                0)
          << "rician " << int{rician_flag} << ", run " << repeat;
    }
  }
}

// The per-call thread cap runs the same slabs on fewer OS threads: the same
// bits for any cap.
TEST(TessaryThreads, AnyThreadCapGivesTheSameBits) {
  const Volume v = testing::MakeVolume(40, 36, 19, 22);
  for (unsigned char rician_flag : {0, 1}) {
    const Denoised reference(v, 2, 15.0, rician_flag, platform::Schedule::kOneAfterAnother);
    for (int threads : {1, 2, 3, 8}) {
      const Denoised capped(v, 2, 15.0, rician_flag, platform::Schedule::kThreads,
                            {.threads = threads});
      ASSERT_EQ(capped.status, Status::kOk);
      EXPECT_EQ(std::memcmp(capped.out.data(), reference.out.data(), v.size() * sizeof(double)), 0)
          << threads;
    }
  }
}

// An interrupt query that answers yes stops the call with kInterrupted,
// asked while the workers run or between them.
TEST(TessaryThreads, AnInterruptStopsTheCall) {
  const Volume v = testing::MakeVolume(64, 64, 40, 23);
  auto yes = [](void* asked) { return ++*static_cast<int*>(asked) > 0; };
  for (auto schedule : {platform::Schedule::kThreads, platform::Schedule::kOneAfterAnother}) {
    int asked = 0;
    const Denoised stopped(v, 4, 15.0, 1, schedule,
                           {.interrupt_query = yes, .interrupt_context = &asked});
    EXPECT_EQ(stopped.status, Status::kInterrupted);
    EXPECT_EQ(asked, 1);
  }
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

TEST(TessaryThreads, FailedStartIsReportedAndRecoverable) {
  const Volume v = testing::MakeVolume(6, 5, 10, 2);
  const Denoised good(v, 2, 12.0, 0);
  for (int k = 0; k < testbits::StartsOfAPass(8); ++k) {
    platform::FailThreadStartAfter(k);
    const Denoised failed(v, 2, 12.0, 0);
    platform::FailThreadStartAfter(-1);
    EXPECT_EQ(failed.status, Status::kThreadsFailed) << "start " << k;
  }
  const Denoised again(v, 2, 12.0, 0);
  EXPECT_EQ(again.out, good.out);
}

// Calls on several threads at once, each with its own volume, radius, sigma
// and flag, give the bits of the same calls made one after another: no
// state of one call reaches another.
TEST(TessaryThreads, ConcurrentCallsGiveTheirOwnBits) {
  struct Case {
    Volume v;
    int radius;
    double sigma;
    unsigned char flag;
  };
  std::vector<Case> cases;
  for (int k = 0; k < 6; ++k)
    cases.push_back({testing::MakeVolume(12 + 3 * k, 9 + k, 5 + 2 * k, 50 + k), 1 + k % 3,
                     9.0 + 2.0 * k, static_cast<unsigned char>(k % 2)});
  std::vector<Denoised> alone;
  for (const Case& c : cases) alone.emplace_back(c.v, c.radius, c.sigma, c.flag);
  for (int round = 0; round < 2; ++round) {
    std::vector<Denoised> together(cases.size());
    testbits::RunAtOnce(cases.size(), [&](size_t k) {
      together[k] = Denoised(cases[k].v, cases[k].radius, cases[k].sigma, cases[k].flag);
    });
    for (size_t k = 0; k < cases.size(); ++k) {
      ASSERT_EQ(together[k].status, Status::kOk) << k;
      EXPECT_TRUE(SameBits(together[k].out, alone[k].out)) << k;
    }
  }
}

// What the core refuses instead of computing, and the scratch it makes
// itself when the caller passes none.
// A mask skips the centres whose window holds no wanted voxel. A pair
// wrongly skipped, or a vector kernel's run of centres cut at another lane
// than the unmasked run's (which reorders a voxel's additions), changes a
// wanted voxel's bits; an unwanted voxel must show its input.
TEST(TessaryThreads, MaskedCallsKeepTheUnmaskedBitsInside) {
  const Volume v = testing::MakeVolume(37, 26, 12, 4);
  for (unsigned char rician_flag : {0, 1}) {
    for (int radius : {1, 3}) {
      const Denoised whole(v, radius, 15.0, rician_flag);
      for (const testbits::NamedMask& m : testbits::TestMasks(v.rows, v.cols, v.slices, 3)) {
        SCOPED_TRACE(m.name + ", radius " + std::to_string(radius) + ", flag " +
                     std::to_string(rician_flag));
        std::vector<double> out(v.size(), 123.0);
        Request q = testing::RequestFor(v, out.data(), radius, 15.0, rician_flag);
        q.mask = m.mask.data();
        ASSERT_EQ(Denoise(q), Status::kOk);
        EXPECT_EQ(testbits::FirstMaskedDifference(m.mask, out, whole.out, v.in), -1);
      }
    }
  }
}

// A chunk cut out of a volume along the slices and along the rows (from a
// multiple of 8 rows), told where it lies along the slices, gets the whole
// call's bits at least radius + 1 voxels from its inner faces: its slabs,
// their directions and its vector runs are the whole call's.
TEST(TessaryThreads, ChunksGetTheWholeCallsBits) {
  const Volume v = testing::MakeVolume(45, 14, 30, 8);
  const int R = 2, halo = R + 1;
  for (unsigned char rician_flag : {0, 1}) {
    const Denoised whole(v, R, 15.0, rician_flag);
    for (const auto& [row0, first, end] : {std::tuple{0, 0, 12}, std::tuple{16, 7, 23},
                                          std::tuple{8, 13, 30}}) {
      SCOPED_TRACE(std::to_string(row0) + ", " + std::to_string(first) + ".." + std::to_string(end) +
                   ", flag " + std::to_string(rician_flag));
      Volume c;
      c.rows = v.rows - row0;
      c.cols = v.cols;
      c.slices = end - first;
      for (int s = first; s < end; ++s)
        for (int k = 0; k < v.cols; ++k)
          for (int r = row0; r < v.rows; ++r) {
            const size_t at = r + k * size_t(v.rows) + s * size_t(v.rows) * v.cols;
            c.in.push_back(v.in[at]);
            c.guide.push_back(v.guide[at]);
          }
      std::vector<double> out(c.size());
      Request q = testing::RequestFor(c, out.data(), R, 15.0, rician_flag);
      q.chunk = {v.slices, first};
      ASSERT_EQ(Denoise(q), Status::kOk);
      const int s_from = first == 0 ? 0 : halo, s_to = end == v.slices ? c.slices : c.slices - halo;
      for (int s = s_from; s < s_to; ++s)
        for (int k = 0; k < c.cols; ++k)
          for (int r = row0 == 0 ? 0 : halo; r < c.rows; ++r) {
            const size_t at = r + k * size_t(c.rows) + s * size_t(c.rows) * c.cols;
            const size_t in_whole = r + row0 + k * size_t(v.rows) + (s + first) * size_t(v.rows) * v.cols;
            ASSERT_TRUE(SameBits(out[at], whole.out[in_whole])) << r << " " << k << " " << s;
          }
    }
  }
}

TEST(TessaryOwnValue, RefusedRequestsAndOwnScratch) {
  const Volume v = testing::MakeVolume(6, 5, 4, 7);
  const Denoised given(v, 2, 9.0, 1);
  std::vector<double> out(v.size());
  auto request = [&] { return testing::RequestFor(v, out.data(), 2, 9.0, 1); };
  ASSERT_EQ(Denoise(request()), Status::kOk);
  EXPECT_TRUE(SameBits(out, given.out));
  Request q = request();
  q.slices = -2;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  q = request();
  q.rows = q.cols = q.slices = 1300;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  q = request();
  q.guide = nullptr;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  for (platform::Isa isa : platform::kIsas) {
    q = request();
    q.options.isa = isa;
    EXPECT_EQ(Denoise(q), platform::IsaRuns(isa) ? Status::kOk : Status::kIsaUnavailable);
  }
}

}  // namespace
}  // namespace tessary
