// What both cores promise, tested once for each: threaded runs that add
// every contribution in the one-thread run's order, for any thread cap and
// at once with other calls; an interrupt and a worker that cannot start
// reported as such; masks and chunks that keep the whole call's bits;
// values that are not finite passing through alone; sigma 0 giving the
// volume back; and the requests a core refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "filter_traits.h"
#include "threads.h"

namespace filtertest {
namespace {

using testbits::SameBits;

template <class F>
class FilterCore : public ::testing::Test {};
using Filters = ::testing::Types<Quillon, Tessary>;
TYPED_TEST_SUITE(FilterCore, Filters);

void ExpectSameOutputs(const Outcome& a, const Outcome& b, const std::string& what) {
  ASSERT_EQ(a.out.size(), b.out.size()) << what;
  for (std::size_t k = 0; k < a.out.size(); ++k)
    EXPECT_TRUE(SameBits(a.out[k], b.out[k])) << what << ", output " << k;
}

// Slabs thin and thick, empty ones included: the workers add into the same
// border slices at once. A lost or unordered addition changes bits.
TYPED_TEST(FilterCore, ThreadedRunsEqualTheOneThreadRunBitForBit) {
  const int shapes[][3] = {{40, 37, 11}, {23, 19, 6}, {33, 30, 20}, {9, 9, 4}, {64, 48, 10}};
  for (const auto& s : shapes) {
    const Input in = TypeParam::Make(s[0], s[1], s[2], 11, -40.0);
    for (int flag : {1, 0}) {
      const Outcome reference = TypeParam::Run(
          in, TypeParam::kSigma, flag, {.schedule = platform::Schedule::kOneAfterAnother, .radius = 3});
      ASSERT_EQ(reference.status, platform::Status::kOk);
      for (int run = 0; run < 3; ++run) {
        const Outcome threaded = TypeParam::Run(in, TypeParam::kSigma, flag, {.radius = 3});
        ASSERT_EQ(threaded.status, platform::Status::kOk);
        ExpectSameOutputs(threaded, reference, std::to_string(s[2]) + " slices, run " +
                                                   std::to_string(run));
      }
    }
  }
}

// The same slabs on fewer OS threads, or, past one thread per slab, cut into
// bands run as a wavefront (oversubscribed here, as on a machine of 64
// processors): the same bits for any thread count, with and without Rician
// noise. A lost or reordered addition where two bands meet changes bits.
TYPED_TEST(FilterCore, AnyThreadCountGivesTheSameBits) {
  const Input in = TypeParam::Make(40, 72, 21, 12, -30.0);
  platform::PretendProcessors(64);
  for (int flag : {1, 0}) {
    const Outcome reference = TypeParam::Run(
        in, TypeParam::kSigma, flag, {.schedule = platform::Schedule::kOneAfterAnother, .radius = 4});
    for (int threads : {1, 2, 3, 8, 16, 64, 64}) {
      const Outcome capped = TypeParam::Run(in, TypeParam::kSigma, flag,
                                            {.options = {.threads = threads}, .radius = 4});
      ASSERT_EQ(capped.status, platform::Status::kOk);
      ExpectSameOutputs(capped, reference, "threads " + std::to_string(threads));
    }
  }
  platform::PretendProcessors(0);
}

// An interrupt query that answers yes stops the call with kInterrupted,
// asked before the workers start and while they run (threaded), or before
// each slab (one after another); it is never asked again once it said yes,
// and a call without the query is unaffected.
TYPED_TEST(FilterCore, AnInterruptStopsTheCall) {
  const Input in = TypeParam::Make(96, 96, 48, 13);
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
      // quillon's table and second pass are asked too: later answers stop it.
      std::vector<int> yes_from = {0, 1};
      if (TypeParam::kPasses == 2 && schedule == platform::Schedule::kOneAfterAnother)
        yes_from.push_back(8);
      for (int from : yes_from) {
        Asked asked{0, from};
        const Outcome r = TypeParam::Run(
            in, TypeParam::kSigma, flag,
            {.schedule = schedule,
             .options = {.interrupt_query = query, .interrupt_context = &asked},
             .radius = 4});
        EXPECT_EQ(r.status, platform::Status::kInterrupted) << flag << " " << from;
        EXPECT_EQ(asked.count, from + 1);
      }
    }
  }
  const Input small = TypeParam::Make(12, 12, 12, 2);
  ExpectSameOutputs(TypeParam::Run(small, 5.0, 1, {.schedule = platform::Schedule::kOneAfterAnother}),
                    TypeParam::Run(small, 5.0, 1), "no query");
}

// A kept progress moves within each pass as its workers count their work,
// never falls within a pass, stays within 0 to 1, and changes no bits.
TYPED_TEST(FilterCore, ProgressMovesWithinAPassAndChangesNoBits) {
  const Input in = TypeParam::Make(40, 36, 30, 14);
  struct Seen {
    std::atomic<double> share{0.0};
    std::vector<double> shares;
  };
  auto query = [](void* context) {
    auto& s = *static_cast<Seen*>(context);
    s.shares.push_back(s.share.load());
    return false;
  };
  const auto one_by_one = platform::Schedule::kOneAfterAnother;
  for (int flag : {1, 0}) {
    Seen seen;
    const Outcome kept = TypeParam::Run(
        in, TypeParam::kSigma, flag,
        {.schedule = one_by_one,
         .options = {.interrupt_query = query, .interrupt_context = &seen, .progress = &seen.share}});
    ASSERT_EQ(kept.status, platform::Status::kOk);
    ExpectSameOutputs(kept, TypeParam::Run(in, TypeParam::kSigma, flag, {.schedule = one_by_one}),
                      "progress kept");
    int rises = 0, falls = 0;
    for (std::size_t k = 0; k < seen.shares.size(); ++k) {
      EXPECT_GE(seen.shares[k], 0.0);
      EXPECT_LE(seen.shares[k], 1.0);
      if (k == 0) continue;
      rises += seen.shares[k] > seen.shares[k - 1];
      falls += seen.shares[k] < seen.shares[k - 1];
    }
    EXPECT_GE(rises, 3 * TypeParam::kPasses) << flag;  // several steps in every pass
    EXPECT_EQ(falls, 0) << flag;
  }
}

// A start that fails in any pass ends the call with kThreadsFailed after
// the started workers have finished; the next call is unaffected.
TYPED_TEST(FilterCore, EveryFailedWorkerStartIsReported) {
  const Input in = TypeParam::Make(12, 12, 12, 2);
  const Outcome good = TypeParam::Run(in, 5.0, 1);
  for (int k = 0; k < TypeParam::kPasses * testbits::StartsOfAPass(8); ++k) {
    platform::FailThreadStartAfter(k);
    const Outcome failed = TypeParam::Run(in, 5.0, 1);
    platform::FailThreadStartAfter(-1);
    EXPECT_EQ(failed.status, platform::Status::kThreadsFailed) << "start " << k;
  }
  ExpectSameOutputs(TypeParam::Run(in, 5.0, 1), good, "after the failures");
  // Bands wait on one another: one that never starts must not leave the
  // others waiting for ever.
  const Input wide = TypeParam::Make(16, 40, 20, 3);
  platform::PretendProcessors(32);
  for (int k : {1, 5}) {
    platform::FailThreadStartAfter(k);
    const Outcome failed = TypeParam::Run(wide, 5.0, 1, {.options = {.threads = 32}});
    platform::FailThreadStartAfter(-1);
    EXPECT_EQ(failed.status, platform::Status::kThreadsFailed) << "band start " << k;
  }
  platform::PretendProcessors(0);
}

// Calls on several threads at once, each with its own volume, sigma, flag
// and radius, give the bits of the same calls made one after another: no
// state of one call reaches another.
TYPED_TEST(FilterCore, ConcurrentCallsGiveTheirOwnBits) {
  struct Case {
    Input in;
    double sigma;
    int flag;
    int radius;
  };
  std::vector<Case> cases;
  for (int k = 0; k < 6; ++k)
    cases.push_back({TypeParam::Make(14 + 3 * k, 12 + k, 9 + 2 * k, 40 + k, -20.0),
                     4.0 + 1.5 * k, k % 3 == 0 ? 1 : (k % 3 == 1 ? 0 : -1), 1 + k % 3});
  std::vector<Outcome> alone;
  for (const Case& c : cases) alone.push_back(TypeParam::Run(c.in, c.sigma, c.flag, {.radius = c.radius}));
  for (int round = 0; round < 2; ++round) {
    std::vector<Outcome> together(cases.size());
    testbits::RunAtOnce(cases.size(), [&](std::size_t k) {
      const Case& c = cases[k];
      together[k] = TypeParam::Run(c.in, c.sigma, c.flag, {.radius = c.radius});
    });
    for (std::size_t k = 0; k < cases.size(); ++k) {
      ASSERT_EQ(together[k].status, platform::Status::kOk) << k;
      ExpectSameOutputs(together[k], alone[k], "call " + std::to_string(k));
    }
  }
}

// A mask skips the blocks (quillon) or centres (tessary) that no wanted
// voxel depends on. One wrongly skipped, or a kernel's group of centres cut
// at another lane than the unmasked call's (which reorders a voxel's
// additions), changes a wanted voxel's bits in some output; an unwanted
// voxel must show its input in every output.
TYPED_TEST(FilterCore, MaskedCallsKeepTheUnmaskedBitsInside) {
  for (int flag : {0, 1}) {
    const Input in = TypeParam::Make(37, 29, 23, 5, flag > 0 ? 0.0 : -40.0);
    for (int radius : TypeParam::Radii()) {
      const Outcome whole = TypeParam::Run(in, TypeParam::kSigma, flag, {.radius = radius});
      for (const testbits::NamedMask& m : testbits::TestMasks(in.rows, in.cols, in.slices, 9)) {
        SCOPED_TRACE(m.name + ", radius " + std::to_string(radius) + ", flag " +
                     std::to_string(flag));
        const Outcome masked =
            TypeParam::Run(in, TypeParam::kSigma, flag, {.mask = m.mask.data(), .radius = radius});
        ASSERT_EQ(masked.status, platform::Status::kOk);
        for (std::size_t k = 0; k < whole.out.size(); ++k)
          EXPECT_EQ(testbits::FirstMaskedDifference(m.mask, masked.out[k], whole.out[k], in.noisy), -1)
              << "output " << k;
      }
    }
  }
}

// A chunk cut out of a volume along the slices and the rows (from a
// multiple of 8 rows, where tessary's groups of centres fall), told where
// it lies along the slices, gets the whole call's bits at least the reach
// from its inner faces: its slabs, their directions and its groups are the
// whole call's, and quillon's Rician table is sized by the whole volume's
// largest value. Slabs of the chunk's own would round differently near
// their borders. A chunk outside its whole is refused.
TYPED_TEST(FilterCore, ChunksGetTheWholeCallsBits) {
  const Input whole_in = TypeParam::Make(45, 18, 61, 3);
  const int radius = 2, halo = TypeParam::Reach(radius);
  const double largest = *std::max_element(whole_in.noisy.begin(), whole_in.noisy.end());
  for (int flag : {0, 1}) {
    const Outcome whole = TypeParam::Run(whole_in, TypeParam::kSigma, flag, {.radius = radius});
    for (const auto& [row0, first, end] :
         {std::tuple{0, 0, 30}, std::tuple{16, 9, 47}, std::tuple{8, 40, 61}}) {
      SCOPED_TRACE(std::to_string(row0) + ", " + std::to_string(first) + ".." +
                   std::to_string(end) + ", flag " + std::to_string(flag));
      Input c{whole_in.rows - row0, whole_in.cols, end - first, {}, {}};
      for (int s = first; s < end; ++s)
        for (int k = 0; k < c.cols; ++k)
          for (int r = row0; r < whole_in.rows; ++r) {
            c.noisy.push_back(whole_in.noisy[whole_in.At(r, k, s)]);
            if (!whole_in.guide.empty()) c.guide.push_back(whole_in.guide[whole_in.At(r, k, s)]);
          }
      const Outcome chunk = TypeParam::Run(
          c, TypeParam::kSigma, flag,
          {.chunk = {whole_in.slices, first}, .table_largest = largest, .radius = radius});
      ASSERT_EQ(chunk.status, platform::Status::kOk);
      const int s_from = first == 0 ? 0 : halo;
      const int s_to = end == whole_in.slices ? c.slices : c.slices - halo;
      for (std::size_t o = 0; o < whole.out.size(); ++o)
        for (int s = s_from; s < s_to; ++s)
          for (int k = 0; k < c.cols; ++k)
            for (int r = row0 == 0 ? 0 : halo; r < c.rows; ++r)
              ASSERT_TRUE(SameBits(chunk.out[o][c.At(r, k, s)],
                                   whole.out[o][whole_in.At(r + row0, k, s + first)]))
                  << "output " << o << " at " << r << " " << k << " " << s;
    }
  }
  EXPECT_EQ(TypeParam::Run(whole_in, TypeParam::kSigma, 1, {.chunk = {whole_in.slices - 1, 0}}).status,
            platform::Status::kInvalidRequest);
}

// A value that is not finite (in the volume, or in tessary's guide) passes
// through to every output unchanged and never spreads: every finite voxel
// comes out finite, and every voxel beyond the reach of each such value
// keeps the bits of the call without it. Once tessary spread one NaN of the
// guide to every voxel of its search window.
TYPED_TEST(FilterCore, ValuesThatAreNotFinitePassThroughAlone) {
  const Input clean = TypeParam::Make(14, 12, 10, 31);
  const int radius = 2, reach = TypeParam::Reach(radius);
  const std::vector<std::size_t> placed = {clean.At(5, 6, 4), clean.At(9, 3, 6), 0};
  auto beyond_reach = [&](std::size_t i) {
    const int r = static_cast<int>(i % 14), c = static_cast<int>(i / 14 % 12),
              s = static_cast<int>(i / 168);
    for (std::size_t b : placed) {
      const int br = static_cast<int>(b % 14), bc = static_cast<int>(b / 14 % 12),
                bs = static_cast<int>(b / 168);
      if (std::max({std::abs(r - br), std::abs(c - bc), std::abs(s - bs)}) <= reach) return false;
    }
    return true;
  };
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    for (int flag : {0, 1, -1}) {
      const Outcome whole = TypeParam::Run(clean, TypeParam::kSigma, flag, {.radius = radius});
      Input in = clean;
      in.noisy[placed[0]] = bad;
      in.noisy[placed[2]] = bad;  // a corner
      // The second value sits in tessary's guide alone, and in quillon's volume.
      (in.guide.empty() ? in.noisy : in.guide)[placed[1]] = bad;
      if (!in.guide.empty()) in.guide[placed[2]] = bad;
      const Outcome r = TypeParam::Run(in, TypeParam::kSigma, flag, {.radius = radius});
      ASSERT_EQ(r.status, platform::Status::kOk);
      for (const std::vector<double>& out : r.out) {
        for (std::size_t i = 0; i < in.size(); ++i) {
          const bool usable =
              std::isfinite(in.noisy[i]) && (in.guide.empty() || std::isfinite(in.guide[i]));
          if (!usable) {
            ASSERT_TRUE(SameBits(out[i], in.noisy[i])) << bad << " flag " << flag << " voxel " << i;
            continue;
          }
          ASSERT_TRUE(std::isfinite(out[i])) << bad << " flag " << flag << " voxel " << i;
        }
      }
      for (std::size_t k = 0; k < r.out.size(); ++k) {
        for (std::size_t i = 0; i < in.size(); ++i) {
          if (!beyond_reach(i)) continue;
          ASSERT_TRUE(SameBits(r.out[k][i], whole.out[k][i])) << "voxel " << i;
        }
      }
    }
  }
  Input all_nan = TypeParam::Make(8, 8, 8, 2);
  std::fill(all_nan.noisy.begin(), all_nan.noisy.end(), std::numeric_limits<double>::quiet_NaN());
  const Outcome r = TypeParam::Run(all_nan, 5.0, 1);
  for (const std::vector<double>& out : r.out)
    for (double x : out) EXPECT_TRUE(std::isnan(x));
}

// sigma 0 declares no noise: every output is the input, bit for bit, under
// either noise model (Rician included, where a negative value would become
// 0), whatever the rest of the request asks.
TYPED_TEST(FilterCore, SigmaZeroGivesTheVolumeBack) {
  Input in = TypeParam::Make(11, 9, 7, 4, -50.0);
  in.noisy[3] = -0.0;
  for (double sigma : {0.0, -0.0}) {
    for (int flag : {0, 1}) {
      const Outcome r = TypeParam::Run(in, sigma, flag, {.options = {.isa = platform::Isa::kAvx512}});
      ASSERT_EQ(r.status, platform::Status::kOk);
      for (const std::vector<double>& out : r.out) EXPECT_TRUE(SameBits(out, in.noisy)) << flag;
    }
  }
}

// What a core refuses instead of computing: extents that make no volume,
// more voxels than 32 bits index, a missing output, and an instruction set
// this processor lacks; an empty volume is a call that does nothing.
TYPED_TEST(FilterCore, RefusedRequestsReturnTheirStatus) {
  Input in = TypeParam::Make(6, 6, 6, 1);
  auto status = [&](Input changed) { return TypeParam::Run(changed, 3.0, 1).status; };
  Input bad = in;
  bad.rows = -1;
  EXPECT_EQ(status(bad), platform::Status::kInvalidRequest);
  bad = in;
  bad.rows = bad.cols = bad.slices = 2000;
  EXPECT_EQ(status(bad), platform::Status::kInvalidRequest);
  bad = in;
  bad.cols = 0;
  EXPECT_EQ(status(bad), platform::Status::kOk);
  for (platform::Isa isa : platform::kIsas) {
    EXPECT_EQ(TypeParam::Run(in, 3.0, 1, {.options = {.isa = isa}}).status,
              platform::IsaRuns(isa) ? platform::Status::kOk : platform::Status::kIsaUnavailable)
        << platform::IsaName(isa);
  }
}

}  // namespace
}  // namespace filtertest
