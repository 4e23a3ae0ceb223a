// The vector kernels against the scalar one: the same gate and weight bits
// for every pair, lane by lane, and the same sums over whole volumes, for
// every kernel this processor runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "local_mean.h"
#include "tessary_support.h"
#include "search_worker.h"

namespace tessary {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<platform::Isa> VectorKernels() {
  std::vector<platform::Isa> kernels;
  for (platform::Isa k : {platform::Isa::kSse2, platform::Isa::kAvx2, platform::Isa::kAvx512})
    if (platform::IsaRuns(k)) kernels.push_back(k);
  return kernels;
}

using testing::SameBits;

TEST(TessaryKernels, WidestIsOneThatRuns) {
  const platform::Isa fastest = platform::WidestIsa();
  EXPECT_NE(fastest, platform::Isa::kAuto);
  EXPECT_TRUE(platform::IsaRuns(fastest));
  EXPECT_NE(SearchKernel(fastest), nullptr);
  EXPECT_NE(SearchKernel(platform::Isa::kScalar), nullptr);
#if defined(__x86_64__)
  EXPECT_TRUE(platform::IsaRuns(platform::Isa::kSse2));  // every x86-64 processor has it
  EXPECT_NE(fastest, platform::Isa::kScalar);
#endif
}

// Pairs given by their values, weighed by a kernel and by the scalar code.
struct Lanes {
  std::vector<double> centre, mean_p, mean_q, guide_p, guide_q;

  void Add(double c, double mp, double mq, double gp, double gq) {
    centre.push_back(c);
    mean_p.push_back(mp);
    mean_q.push_back(mq);
    guide_p.push_back(gp);
    guide_q.push_back(gq);
  }
  int size() const { return static_cast<int>(centre.size()); }

  // Every pair's gate decision and weight bits must agree with the scalar
  // code's; returns the number of pairs that passed.
  int ExpectSameAsScalar(platform::Isa kernel, double h) const {
    const int n = size();
    std::vector<double> w(n), ref_w(n);
    std::vector<unsigned char> passed(n), ref_passed(n);
    EXPECT_TRUE(WeighPairs(platform::Isa::kScalar, n, centre.data(), mean_p.data(), mean_q.data(),
                           guide_p.data(), guide_q.data(), h, ref_w.data(), ref_passed.data()));
    EXPECT_TRUE(WeighPairs(kernel, n, centre.data(), mean_p.data(), mean_q.data(), guide_p.data(),
                           guide_q.data(), h, w.data(), passed.data()));
    int count = 0;
    for (int i = 0; i < n; ++i) {
      if (passed[i] != ref_passed[i]) {
        ADD_FAILURE() << platform::IsaName(kernel) << " h " << h << " pair " << i << ": gate "
                      << int{passed[i]} << " vs " << int{ref_passed[i]};
        return count;
      }
      if (passed[i] == 0) continue;
      ++count;
      // Where two different not-a-numbers meet in one operation, which one
      // comes through is the compiler's choice of operand order (in the
      // scalar code as much as in the vector code), so those only have to
      // be not a number.
      if (!SameBits(w[i], ref_w[i]) && !(std::isnan(w[i]) && std::isnan(ref_w[i]))) {
        ADD_FAILURE() << platform::IsaName(kernel) << " h " << h << " pair " << i << ": " << w[i]
                      << " vs " << ref_w[i] << " (mean " << mean_p[i] << " - " << mean_q[i]
                      << ", guide " << guide_p[i] << " - " << guide_q[i] << ")";
        return count;
      }
    }
    return count;
  }
};

// The boundaries of every step: the centre test, the truncation and its
// overflow, the gate at K = h, the clamps, d = 0 and d = 10, values that are
// not numbers or infinite. Each case is repeated at every lane position,
// with a remainder that the scalar tail takes.
TEST(TessaryKernels, SameGateAndWeightOnEdgeCases) {
  const double big = 2147483648.0;
  const double d10 = std::sqrt(168.0);  // h = 2, K = 0: d = 10 exactly
  struct Case {
    double c, mp, mq, gp, gq;
  };
  const Case cases[] = {
      {1, 2.9, 0, 0, 0},  {1, 3.0, 0, 0, 0},   {1, -2.9, 0, 0, 0},  {1, -0.9, 0, 0, 0},
      {1, 0, 2.99, 1, 0}, {1, 2.5, 0, 1.5, 0}, {1, 1.7, 0, 5, 0},   {1, 0, 0, d10, 0},
      {1, 0, 0, std::nextafter(d10, 100.0), 0},  {1, 0, 0, std::nextafter(d10, 0.0), 0},
      {1, 0, 0, 1e200, 0},  {1, 0, 0, kInf, 0},  {1, 0, 0, kInf, kInf}, {1, 0, 0, kNaN, 0},
      {1, 0, 0, 0, -kNaN},  {0.0, 0, 0, 0, 0},   {-0.0, 0, 0, 0, 0},  {kNaN, 0, 0, 0, 0},
      {kInf, 0, 0, 3, 0},   {1, big - 0.5, 0, 0, 0}, {1, big, 0, 0, 0}, {1, -big - 0.5, 0, 0, 0},
      {1, -big - 1.0, 0, 0, 0}, {1, kNaN, 0, 0, 0}, {1, kInf, 0, 0, 0}, {1, 0, kInf, 0, 0},
      {1, -1e300, 1e300, 0, 0}, {1, 0.25, 0.5, -0.0, 0.0}, {1, 1, 0, 2.7, 0.1}, {1, 0, 0, 6, 1},
  };
  int compared = 0;
  for (platform::Isa kernel : VectorKernels()) {
    ++compared;
    for (double h : {2.0, 0.5, 1.0, 2.55, 40.0, 3e9, -1.0, 0.0, 1e-300, kNaN, kInf}) {
      Lanes lanes;
      for (int shift = 0; shift < 8; ++shift)
        for (const Case& c : cases) {
          for (int pad = 0; pad < shift; ++pad) lanes.Add(1, 0, 0, 0, 0);
          lanes.Add(c.c, c.mp, c.mq, c.gp, c.gq);
        }
      lanes.Add(1, 0, 0, d10, 0);  // a remainder
      lanes.ExpectSameAsScalar(kernel, h);
      if (HasFailure()) return;
    }
  }
  EXPECT_GE(compared, 1);  // no vector kernel ran here: nothing was compared
}

// A dense sweep of the weight's exponent over (0, 12] and random pairs
// around the gate: bit-identical weights on every pair.
TEST(TessaryKernels, SameWeightOnDenseAndRandomPairs) {
  const double h = 2.55;
  Lanes sweep;
  // With K = 0, d = (dg^2 / 2h^2 - 1) / 2: dg from sqrt(2h^2) up sweeps d
  // from 0 past 10.
  const double dg0 = std::sqrt((h + h) * h);
  const int steps = 1 << 20;
  for (int i = 0; i <= steps; ++i) sweep.Add(1, 0.5, 0.25, dg0 * (1.0 + 4.0 * i / steps), 0.0);
  Lanes random;
  uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
  };
  for (int i = 0; i < 1 << 19; ++i) {
    const double centre = next() < 0.05 ? 0.0 : 100.0 * next();
    random.Add(centre, 120.0 * next(), 120.0 * next() * 0.05 + 60.0, 40.0 * next(), 40.0 * next());
  }
  int compared = 0;
  for (platform::Isa kernel : VectorKernels()) {
    ++compared;
    EXPECT_EQ(sweep.ExpectSameAsScalar(kernel, h), sweep.size());
    const int passed = random.ExpectSameAsScalar(kernel, h);
    EXPECT_GT(passed, random.size() / 50);  // the gate both passes and rejects
    EXPECT_LT(passed, random.size());
  }
  EXPECT_GE(compared, 1);  // no vector kernel ran here: nothing was compared
}

testing::WorkerCall WholeVolume(const testing::Volume& v, const std::vector<double>& mean,
                          std::vector<double>& out, std::vector<double>& weights, int radius,
                          double h, int direction) {
  return testing::Record(v, mean, out.data(), weights.data(), 0, v.slices, radius, h, direction,
                         v.slices);
}

// In one column with radius 1 a voxel receives at most two additions onto
// a zero sum, whose order cannot change the bits: the whole worker must
// then give exactly the scalar sums, through vectors and the remainder.
TEST(TessaryKernels, ExactSumsWhereOrderCannotMatter) {
  testing::Volume v = testing::MakeVolume(203, 1, 1, 17);
  v.in[40] = kNaN;
  v.guide[90] = kInf;
  std::vector<double> mean(v.size());
  BuildLocalMean(v.guide.data(), mean.data(), v.rows, v.cols, v.slices);
  int compared = 0;
  for (platform::Isa kernel : VectorKernels()) {
    ++compared;
    for (unsigned char flag : {0, 1}) {
      for (int direction : {1, -1}) {
        std::vector<double> out(v.size(), 0.0), weights(v.size(), 0.0);
        std::vector<double> ref_out(v.size(), 0.0), ref_weights(v.size(), 0.0);
        testing::WorkerCall a = WholeVolume(v, mean, out, weights, 1, 4.0, direction);
        testing::WorkerCall ref = WholeVolume(v, mean, ref_out, ref_weights, 1, 4.0, direction);
        a.context.rician = ref.context.rician = flag;
        a.Run(SearchKernel(kernel));
        ref.Run(ScalarThreadFunc);
        for (int i = 0; i < v.size(); ++i) {
          ASSERT_TRUE(SameBits(out[i], ref_out[i]))
              << platform::IsaName(kernel) << " rician " << int{flag} << " voxel " << i;
          ASSERT_TRUE(SameBits(weights[i], ref_weights[i]))
              << platform::IsaName(kernel) << " rician " << int{flag} << " voxel " << i;
        }
      }
    }
  }
  EXPECT_GE(compared, 1);  // no vector kernel ran here: nothing was compared
}

// The scalar kernel's bits, or not a number where it gives one (which of
// two not-a-numbers comes through an operation is the compiler's choice).
void ExpectSame(double fast, double ref, const char* what, platform::Isa kernel, int i) {
  EXPECT_TRUE(SameBits(fast, ref) || (std::isnan(fast) && std::isnan(ref)))
      << what << " " << platform::IsaName(kernel) << " voxel " << i << ": " << fast << " vs "
      << ref;
}

// Whole volumes of shapes that leave every kind of remainder, every radius
// the window can take, both directions and both noise models: every voxel's
// sums are the scalar kernel's, bit for bit.
TEST(TessaryKernels, WholeVolumeSumsAreTheScalarOnes) {
  struct Shape {
    int rows, cols, slices;
  };
  for (const Shape& shape : {Shape{37, 9, 6}, Shape{64, 5, 4}, Shape{1, 30, 4}, Shape{9, 3, 2},
                             Shape{3, 7, 9}, Shape{21, 4, 3}}) {
    testing::Volume v = testing::MakeVolume(shape.rows, shape.cols, shape.slices, 29);
    v.in[v.size() / 3] = kNaN;
    v.guide[v.size() / 2] = 1e12;
    std::vector<double> mean(v.size());
    BuildLocalMean(v.guide.data(), mean.data(), v.rows, v.cols, v.slices);
    int compared = 0;
    for (platform::Isa kernel : VectorKernels()) {
      ++compared;
      for (int radius : {-1, 0, 1, 2, 3, 5}) {
        for (int direction : {1, -1}) {
          for (unsigned char flag : {0, 1}) {
            std::vector<double> out(v.size(), 0.0), weights(v.size(), 0.0);
            std::vector<double> ref_out(v.size(), 0.0), ref_weights(v.size(), 0.0);
            testing::WorkerCall a = WholeVolume(v, mean, out, weights, radius, 6.0, direction);
            testing::WorkerCall ref =
                WholeVolume(v, mean, ref_out, ref_weights, radius, 6.0, direction);
            a.context.rician = ref.context.rician = flag;
            a.Run(SearchKernel(kernel));
            ref.Run(ScalarThreadFunc);
            for (int i = 0; i < v.size(); ++i) {
              ExpectSame(out[i], ref_out[i], "out", kernel, i);
              ExpectSame(weights[i], ref_weights[i], "weights", kernel, i);
            }
            ASSERT_FALSE(HasFailure()) << shape.rows << "x" << shape.cols << "x" << shape.slices
                                       << " radius " << radius << " direction " << direction
                                       << " rician " << int{flag};
          }
        }
      }
    }
    EXPECT_GE(compared, 1);  // no vector kernel ran here: nothing was compared
  }
}

// Whole calls, threaded, with every vector kernel against the scalar one:
// the same bits, on every run. Ten slices into eight slabs with radius 3
// make every slab add into up to three following ones, in both directions.
TEST(TessaryKernels, DenoiseGivesTheScalarBitsEveryRun) {
  for (const testing::Volume& v :
       {testing::MakeVolume(45, 23, 19, 31), testing::MakeVolume(29, 11, 10, 32)}) {
    auto run = [&v](platform::Isa kernel, unsigned char flag) {
      const testing::Denoised call(v, 3, 12.0, flag, platform::Schedule::kThreads,
                                   {.isa = kernel});
      EXPECT_EQ(call.status, Status::kOk);
      return call.out;
    };
    for (unsigned char flag : {0, 1}) {
      const std::vector<double> ref = run(platform::Isa::kScalar, flag);
      int compared = 0;
      for (platform::Isa kernel : VectorKernels()) {
        ++compared;
        for (int repeat = 0; repeat < 2; ++repeat) {
          const std::vector<double> fast = run(kernel, flag);
          for (int i = 0; i < v.size(); ++i) ExpectSame(fast[i], ref[i], "result", kernel, i);
          ASSERT_FALSE(HasFailure()) << "rician " << int{flag} << " run " << repeat;
        }
      }
      EXPECT_GE(compared, 1);  // no vector kernel ran here: nothing was compared
    }
  }
}

}  // namespace
}  // namespace tessary
