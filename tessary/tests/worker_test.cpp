// The search worker on hand-made records: the gate, the weight at its
// boundaries, the four additions, and the traversal against the reference.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

#include "local_mean.h"
#include "tessary_support.h"
#include "search_worker.h"

namespace tessary {
namespace {

// Two voxels in one column: the only pair is (0, 1), with voxel 0 the
// centre. The sums start at zero so they show exactly what the pair added.
struct Pair2 {
  double in[2] = {3.0, 5.0};
  double guide[2] = {0.0, 0.0};
  double mean[2] = {0.0, 0.0};
  double out[2] = {0.0, 0.0};
  double weights[2] = {0.0, 0.0};

  void Run(double h, unsigned char noise_is_rician = 0) {
    Context c{};
    c.rows = 2;
    c.cols = 1;
    c.slices = 1;
    c.in_image = in;
    c.out_image = out;
    c.mean_image = mean;
    c.guide_image = guide;
    c.weights = weights;
    c.search_radius = 1;
    c.filter_h = h;
    c.rician = noise_is_rician;
    c.isa = platform::ResolveIsa(platform::Isa::kAuto);
    const NlmThreadArgs a{&c, 0, 1, 1, 1, nullptr, nullptr};
    ThreadFunc(const_cast<NlmThreadArgs*>(&a));
  }
  bool Accepted() const { return weights[0] != 0.0 || out[0] != 0.0; }
};

TEST(TessaryWorkerGate, TruncatedMeanDifferenceAgainstH) {
  struct Case {
    double mean_difference, h;
    bool accepted;
  };
  const Case cases[] = {
      {2.9, 2.0, true},    // K = 2 = h passes
      {-2.9, 2.0, true},   // the absolute value is taken after truncation
      {3.0, 2.0, false},   // K = 3 > h
      {-0.9, 0.5, true},   // below 1 in magnitude: K = 0 whatever h > 0
      {1.0, 0.5, false},   // with h < 1 only differences below 1 pass
      {0.0, -1.0, false},  // a negative h accepts nothing
      {NAN, 2.0, false},   // a voxel without a mean takes part in no pair
  };
  for (const Case& c : cases) {
    Pair2 t;
    t.mean[0] = c.mean_difference;
    t.Run(c.h);
    EXPECT_EQ(t.Accepted(), c.accepted) << "difference " << c.mean_difference << ", h " << c.h;
  }
}

TEST(TessaryWorkerWeight, MeanTermAtTheGate) {
  // h = 2: K = 2 gives M = 4 / 2 - 1 = 1, so d = 0.5 and w = exp(-0.5).
  Pair2 t;
  t.mean[0] = 2.5;
  t.Run(2.0);
  const double w = std::exp(-0.5);
  EXPECT_EQ(t.weights[0], w);
  EXPECT_EQ(t.weights[1], w);
  EXPECT_EQ(t.out[0], w * 5.0);
  EXPECT_EQ(t.out[1], w * 3.0);
}

TEST(TessaryWorkerWeight, IdenticalFeaturesWeighOne) {
  Pair2 t;
  t.guide[0] = t.guide[1] = 7.25;
  t.Run(2.0);
  EXPECT_EQ(t.weights[0], 1.0);
  EXPECT_EQ(t.out[0], 5.0);
  EXPECT_EQ(t.out[1], 3.0);
}

TEST(TessaryWorkerWeight, ExponentStopsAtTen) {
  // h = 2, K = 0: d = (dg^2 / 8 - 1) / 2, and sqrt(168) squares to 168
  // exactly, so d = 10 exactly.
  const double dg = std::sqrt(168.0);
  ASSERT_EQ(0.5 * (dg * dg / 8.0 - 1.0), 10.0);
  Pair2 at_ten;
  at_ten.guide[0] = dg;
  at_ten.Run(2.0);
  EXPECT_EQ(at_ten.weights[0], std::exp(-10.0));

  // Just above 10 the pair is still accepted but weighs nothing: an
  // infinite neighbour value shows the addition of 0 * inf.
  Pair2 above;
  above.guide[0] = std::nextafter(dg, 1e9);
  above.in[1] = std::numeric_limits<double>::infinity();
  above.Run(2.0);
  EXPECT_EQ(above.weights[0], 0.0);
  EXPECT_TRUE(std::isnan(above.out[0]));
  EXPECT_EQ(above.out[1], 0.0);
}

TEST(TessaryWorkerWeight, NotANumberGuideGivesNotANumberWeight) {
  Pair2 t;
  t.guide[1] = std::numeric_limits<double>::quiet_NaN();
  t.Run(2.0);
  EXPECT_TRUE(std::isnan(t.weights[0]));
  EXPECT_TRUE(std::isnan(t.weights[1]));
}

TEST(TessaryWorkerAccumulation, RicianAddsWeightedSquares) {
  Pair2 t;
  t.Run(2.0, 1);
  EXPECT_EQ(t.out[0], 25.0);
  EXPECT_EQ(t.out[1], 9.0);
  EXPECT_EQ(t.weights[0], 1.0);
  EXPECT_EQ(t.weights[1], 1.0);
}

TEST(TessaryWorkerAccumulation, ZeroCentreStillReceives) {
  Pair2 zero_first;  // the only centre is 0: nothing at all
  zero_first.in[0] = -0.0;
  zero_first.Run(2.0);
  EXPECT_FALSE(zero_first.Accepted());
  EXPECT_EQ(zero_first.weights[1], 0.0);

  Pair2 zero_second;  // a zero neighbour is weighed like any other
  zero_second.in[1] = 0.0;
  zero_second.Run(2.0);
  EXPECT_EQ(zero_second.weights[0], 1.0);
  EXPECT_EQ(zero_second.out[0], 0.0);
  EXPECT_EQ(zero_second.out[1], 3.0);
}

// One record over the whole volume, in either direction, weighs exactly the
// pairs of the literal search and adds them into both voxels: the sums agree
// up to the order in which they are rounded.
TEST(TessaryWorkerTraversal, MatchesReferenceForEveryRadius) {
  const testing::Volume v = testing::MakeVolume(7, 6, 5, 11);
  std::vector<double> mean(v.size());
  BuildLocalMean(v.guide.data(), mean.data(), v.rows, v.cols, v.slices);
  const double h = 4.0;
  for (int radius : {-1, 0, 1, 2, 3, 9}) {
    for (int direction : {1, -1}) {
      std::vector<double> out(v.size(), 0.0), weights(v.size(), 0.0);
      std::vector<double> ref_out(v.size(), 0.0), ref_weights(v.size(), 0.0);
      testing::WorkerCall a = testing::Record(v, mean, out.data(), weights.data(), 0, v.slices,
                                              radius, h, direction, v.slices);
      a.Run(ScalarThreadFunc);
      testing::ReferenceSearch(v, mean, radius, h, false, ref_out, ref_weights);
      for (int i = 0; i < v.size(); ++i) {
        ASSERT_NEAR(out[i], ref_out[i], 1e-12 * std::abs(ref_out[i]) + 1e-300)
            << "radius " << radius << " direction " << direction << " voxel " << i;
        ASSERT_NEAR(weights[i], ref_weights[i], 1e-12 * ref_weights[i] + 1e-300)
            << "radius " << radius << " direction " << direction << " voxel " << i;
      }
    }
  }
}

// A worker writes only its slab directly; everything past it goes to its
// spill buffers, and an empty slab touches nothing: with every kernel, on
// columns long enough for whole vectors and a remainder.
TEST(TessaryWorkerTraversal, WritesPastTheSlabOnlyIntoSpill) {
  for (platform::Isa kernel : {platform::Isa::kScalar, platform::Isa::kSse2, platform::Isa::kAvx2, platform::Isa::kAvx512}) {
    if (!platform::IsaRuns(kernel)) continue;
    const testing::Volume v = testing::MakeVolume(19, 3, 6, 5, false);
    std::vector<double> mean(v.size());
    BuildLocalMean(v.guide.data(), mean.data(), v.rows, v.cols, v.slices);
    const int plane = v.rows * v.cols;
    for (int first_slice : {0, 2, 3}) {
      const int end_slice = first_slice == 3 ? 3 : first_slice + 1;
      std::vector<double> out(v.size(), 0.0), weights(v.size(), 0.0);
      std::vector<double> spill_out(2 * plane, 0.0), spill_weights(2 * plane, 0.0);
      // filter_h 100: every pair passes with weight 1.
      testing::WorkerCall a = testing::Record(v, mean, out.data(), weights.data(), first_slice,
                                              end_slice, 2, 100.0, -1, end_slice + 2);
      a.args.spill_out = spill_out.data();
      a.args.spill_weights = spill_weights.data();
      a.Run(SearchKernel(kernel));
      double spilled = 0.0;
      for (int i = 0; i < v.size(); ++i) {
        const int s = i / plane;
        if (s < first_slice || s >= end_slice) {
          EXPECT_EQ(weights[i], 0.0) << platform::IsaName(kernel) << " voxel " << i;
        }
      }
      for (double w : spill_weights) spilled += w;
      if (first_slice == end_slice) {
        EXPECT_EQ(spilled, 0.0) << platform::IsaName(kernel);
      } else {
        // Within a plane of 19x3 voxels and radius 2 there are 89 row
        // pairings (19 + 2*18 + 2*17) times 9 column pairings (3 + 2*2 + 2*1),
        // for each of the two slices past the slab.
        EXPECT_EQ(spilled, 2 * 89 * 9) << platform::IsaName(kernel);
      }
    }
  }
}

#if !defined(_WIN32)
// Pages of doubles from the system, some of them write-protected: a store
// there, even of the value already held, ends the test with a fault.
class GuardedDoubles {
 public:
  explicit GuardedDoubles(size_t count) : bytes_(count * sizeof(double)) {
    void* p = mmap(nullptr, bytes_ + 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<char*>(p);
    // A page of nothing on either side.
    Protect(base_, kPage, PROT_NONE);
    Protect(base_ + kPage + bytes_, kPage, PROT_NONE);
  }
  ~GuardedDoubles() { munmap(base_, bytes_ + 2 * kPage); }
  double* data() { return reinterpret_cast<double*>(base_ + kPage); }
  // Elements [first, end), whole pages, become read-only.
  void Freeze(size_t first, size_t end) {
    Protect(data() + first, (end - first) * sizeof(double), PROT_READ);
  }
  static constexpr size_t kPage = 4096;

 private:
  // A protection that did not take would let the test pass unguarded.
  static void Protect(void* at, size_t bytes, int protection) {
    if (mprotect(at, bytes, protection) != 0) throw std::runtime_error("mprotect failed");
  }
  size_t bytes_;
  char* base_;
};

// A worker stores nothing, not even a value unchanged, outside its slab and
// its spill buffers, whose neighbours other workers write at the same time
// or are not its memory at all: the slices around the slab and the pages
// around the spill buffers are write-protected. Twelve rows leave a group
// of four in every column, and a plane of 12 x 128 doubles is three pages.
TEST(TessaryWorkerTraversal, StoresNothingOutsideItsSlabAndSpill) {
  const testing::Volume v = testing::MakeVolume(12, 128, 6, 9, false);
  const size_t plane = size_t{12} * 128;
  ASSERT_EQ(plane * sizeof(double) % GuardedDoubles::kPage, 0u);
  std::vector<double> mean(v.size());
  BuildLocalMean(v.guide.data(), mean.data(), v.rows, v.cols, v.slices);
  for (platform::Isa kernel : {platform::Isa::kScalar, platform::Isa::kSse2, platform::Isa::kAvx2,
                               platform::Isa::kAvx512}) {
    if (!platform::IsaRuns(kernel)) continue;
    for (int direction : {1, -1}) {
      GuardedDoubles out(v.size()), weights(v.size()), spill_out(2 * plane),
          spill_weights(2 * plane);
      for (GuardedDoubles* g : {&out, &weights}) {
        g->Freeze(0, 2 * plane);
        g->Freeze(4 * plane, 6 * plane);
      }
      testing::WorkerCall a = testing::Record(v, mean, out.data(), weights.data(), 2, 4, 2, 100.0,
                                              direction, 6);
      a.args.spill_out = spill_out.data();
      a.args.spill_weights = spill_weights.data();
      a.Run(SearchKernel(kernel));
      double spilled = 0.0;
      for (size_t i = 0; i < 2 * plane; ++i) spilled += spill_weights.data()[i];
      EXPECT_GT(spilled, 0.0) << platform::IsaName(kernel);
    }
  }
}
#endif

}  // namespace
}  // namespace tessary
