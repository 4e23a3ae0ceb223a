#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
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
        ASSERT_EQ(threaded.status, Status::kOk);
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
// and their voxels become 0.
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

// A voxel that is not finite comes back as it went in, in both outputs, and
// never spreads: every block holding it is skipped. A finite voxel whose
// every block was skipped so keeps its value.
TEST(QuillonDenoise, ValuesThatAreNotFinitePassThroughAlone) {
  for (double bad : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    for (int flag : {0, 1, -1}) {
      Volume in = fixtures::NoisyPhantom(11, 10, 9, 5.0, 8);
      in.at(4, 4, 4) = bad;
      in.at(0, 0, 0) = bad;
      const Result r = Denoised(in, 5.0, flag);
      ASSERT_EQ(r.status, Status::kOk);
      for (const auto* out : {&r.final_estimate, &r.first_estimate}) {
        for (size_t i = 0; i < in.v.size(); ++i) {
          if (std::isfinite(in.v[i])) {
            EXPECT_TRUE(std::isfinite((*out)[i])) << i;
          } else {
            EXPECT_TRUE(SameBits((*out)[i], in.v[i])) << i;
          }
        }
      }
    }
  }
  // One block holds every voxel: all of them keep their values.
  Volume one_block = fixtures::NoisyPhantom(4, 4, 4, 5.0, 6);
  one_block.at(1, 2, 3) = NAN;
  const Result o = Denoised(one_block, 5.0, 1);
  EXPECT_TRUE(SameBits(o.final_estimate, one_block.v));
  EXPECT_TRUE(SameBits(o.first_estimate, one_block.v));
  Volume all_nan(8, 8, 8, NAN);
  const Result r = Denoised(all_nan, 5.0, 1);
  for (double x : r.final_estimate) EXPECT_TRUE(std::isnan(x));
  for (double x : r.first_estimate) EXPECT_TRUE(std::isnan(x));
}

// The per-call thread cap runs the same eight slabs on fewer OS threads:
// the same bits for any cap, with and without Rician noise.
TEST(QuillonDenoise, AnyThreadCapGivesTheSameBits) {
  Volume in = fixtures::NoisyPhantom(30, 27, 21, 8.0, 12, -30.0);
  for (int flag : {1, 0}) {
    const Result reference = Denoised(in, 8.0, flag, true);
    for (int threads : {1, 2, 3, 8}) {
      const Result capped =
          fixtures::RunDenoise(in, 8.0, flag, platform::Schedule::kThreads, {.threads = threads});
      ASSERT_EQ(capped.status, Status::kOk);
      EXPECT_TRUE(SameBits(capped.first_estimate, reference.first_estimate)) << threads;
      EXPECT_TRUE(SameBits(capped.final_estimate, reference.final_estimate)) << threads;
    }
  }
}

// An interrupt query that answers yes stops the call with kInterrupted: in
// the table build, in either pass, on threads or one after another; a call
// without the query is unaffected.
TEST(QuillonDenoise, AnInterruptStopsTheCall) {
  Volume in = fixtures::NoisyPhantom(96, 96, 48, 8.0, 13);
  struct Asked {
    int count = 0;
    int yes_from = 0;
  };
  auto query = [](void* context) {
    auto& a = *static_cast<Asked*>(context);
    return ++a.count > a.yes_from;
  };
  for (int flag : {1, 0}) {
    for (auto schedule : {platform::Schedule::kThreads, platform::Schedule::kOneAfterAnother}) {
      // Threaded passes are asked before they start and then every few
      // tens of milliseconds, a pass one after another before each slab.
      const bool threads = schedule == platform::Schedule::kThreads;
      for (int yes_from : {0, 1, threads ? 1 : 8}) {
        Asked asked{0, yes_from};
        const Result r = fixtures::RunDenoise(
            in, 8.0, flag, schedule, {.interrupt_query = query, .interrupt_context = &asked});
        EXPECT_EQ(r.status, Status::kInterrupted) << flag << " " << yes_from;
        EXPECT_EQ(asked.count, yes_from + 1);  // never asked again once it said yes
      }
    }
  }
  Volume small = fixtures::NoisyPhantom(12, 12, 12, 5.0, 2);
  EXPECT_TRUE(SameBits(Denoised(small, 5.0, 1).final_estimate,
                       fixtures::RunDenoise(small, 5.0, 1).final_estimate));
}

// A start that fails in either pass ends the call with kThreadsFailed after
// the started workers have finished; the next call is unaffected.
TEST(QuillonDenoise, EveryFailedWorkerStartIsReported) {
  Volume in = fixtures::NoisyPhantom(12, 12, 12, 5.0, 2);
  const Result good = Denoised(in, 5.0, 1);
  for (int k = 0; k < 2 * testbits::StartsOfAPass(8); ++k) {
    platform::FailThreadStartAfter(k);
    EXPECT_EQ(Denoised(in, 5.0, 1).status, Status::kThreadsFailed) << k;
    platform::FailThreadStartAfter(-1);
  }
  EXPECT_TRUE(SameBits(Denoised(in, 5.0, 1).final_estimate, good.final_estimate));
}

// Calls on several threads at once, each with its own volume, sigma and
// flag, give the bits of the same calls made one after another: no state of
// one call reaches another.
TEST(QuillonDenoise, ConcurrentCallsGiveTheirOwnBits) {
  struct Case {
    Volume in;
    double sigma;
    int flag;
  };
  std::vector<Case> cases;
  for (int k = 0; k < 6; ++k)
    cases.push_back({fixtures::NoisyPhantom(14 + 3 * k, 12 + k, 9 + 2 * k, 4.0 + k, 40 + k, -20.0),
                     4.0 + 1.5 * k, k % 3 == 0 ? 1 : (k % 3 == 1 ? 0 : -1)});
  std::vector<Result> alone;
  for (Case& c : cases) alone.push_back(Denoised(c.in, c.sigma, c.flag));
  for (int round = 0; round < 2; ++round) {
    std::vector<Result> together(cases.size());
    testbits::RunAtOnce(cases.size(), [&](size_t k) {
      together[k] = Denoised(cases[k].in, cases[k].sigma, cases[k].flag);
    });
    for (size_t k = 0; k < cases.size(); ++k) {
      ASSERT_EQ(together[k].status, Status::kOk) << k;
      EXPECT_TRUE(SameBits(together[k].first_estimate, alone[k].first_estimate)) << k;
      EXPECT_TRUE(SameBits(together[k].final_estimate, alone[k].final_estimate)) << k;
    }
  }
}

// What the core refuses instead of computing: extents that make no volume,
// a missing buffer, too small a bias table, too large a value for one, and
// an instruction set this processor lacks.
// A mask skips the blocks that no wanted voxel depends on, through either
// pass: a block wrongly skipped changes a wanted voxel's bits, in the result
// or in the first estimate, and an unwanted voxel must show its input.
TEST(QuillonDenoise, MaskedCallsKeepTheUnmaskedBitsInside) {
  for (int flag : {0, 1}) {
    Volume in = fixtures::NoisyPhantom(37, 29, 23, 8.0, 5, flag > 0 ? 0.0 : -40.0);
    const Result whole = Denoised(in, 8.0, flag);
    for (const testbits::NamedMask& m : testbits::TestMasks(in.rows, in.cols, in.slices, 9)) {
      SCOPED_TRACE(m.name + (flag > 0 ? ", Rician" : ", Gaussian"));
      Result masked{std::vector<double>(in.v.size(), -7.0), std::vector<double>(in.v.size()),
                    Status::kOk};
      Request q = fixtures::RequestFor(in, masked.final_estimate.data(), 8.0, flag);
      q.first_estimate = masked.first_estimate.data();
      q.mask = m.mask.data();
      ASSERT_EQ(Denoise(q), Status::kOk);
      EXPECT_EQ(testbits::FirstMaskedDifference(m.mask, masked.final_estimate,
                                                whole.final_estimate, in.v), -1);
      EXPECT_EQ(testbits::FirstMaskedDifference(m.mask, masked.first_estimate,
                                                whole.first_estimate, in.v), -1);
    }
  }
}

// A chunk cut out of a volume along the slices, told where it lies, gets
// the whole call's bits at least 6 slices from its inner faces: its slabs
// are the whole call's, so every voxel receives its additions in the same
// order. Slabs of the chunk's own would round differently near their
// borders, and a halo of 6 is what the two passes read.
TEST(QuillonDenoise, ChunksGetTheWholeCallsBits) {
  Volume whole_in = fixtures::NoisyPhantom(21, 18, 61, 8.0, 3);
  const Result whole = Denoised(whole_in, 8.0, 1);
  const int plane = whole_in.rows * whole_in.cols;
  for (const auto& [first, end] : {std::pair{0, 30}, std::pair{9, 47}, std::pair{40, 61}}) {
    SCOPED_TRACE(std::to_string(first) + ".." + std::to_string(end));
    Volume in(whole_in.rows, whole_in.cols, end - first);
    std::copy(whole_in.v.begin() + first * plane, whole_in.v.begin() + end * plane, in.v.begin());
    std::vector<double> out(in.v.size());
    Request q = fixtures::RequestFor(in, out.data(), 8.0, 1);
    q.table_largest = *std::max_element(whole_in.v.begin(), whole_in.v.end());
    q.chunk = {whole_in.slices, first};
    ASSERT_EQ(Denoise(q), Status::kOk);
    const int from = first == 0 ? 0 : 6, to = end == whole_in.slices ? in.slices : in.slices - 6;
    for (int i = from * plane; i < to * plane; ++i)
      ASSERT_TRUE(SameBits(out[i], whole.final_estimate[first * plane + i])) << i;
  }
  Request outside = fixtures::RequestFor(whole_in, whole_in.data(), 8.0, 1);
  outside.chunk = {whole_in.slices - 1, 0};
  EXPECT_EQ(Denoise(outside), Status::kInvalidRequest);
}

TEST(QuillonDenoise, RefusedRequestsReturnTheirStatus) {
  Volume in = fixtures::NoisyPhantom(6, 6, 6, 3.0, 1);
  std::vector<double> out(in.v.size());
  auto request = [&] { return fixtures::RequestFor(in, out.data(), 3.0, 1); };
  Request q = request();
  q.rows = -1;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  q = request();
  q.rows = q.cols = q.slices = 2000;
  EXPECT_EQ(Denoise(q), Status::kInvalidRequest);
  q = request();
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
  in.v[5] = 1.0;
  q = request();
  q.rows = 0;
  EXPECT_EQ(Denoise(q), Status::kOk);  // an empty call
  for (platform::Isa isa : platform::kIsas) {
    q = request();
    q.options.isa = isa;
    EXPECT_EQ(Denoise(q), platform::IsaRuns(isa) ? Status::kOk : Status::kIsaUnavailable);
  }
}

}  // namespace
}  // namespace quillon
