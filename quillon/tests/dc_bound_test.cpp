// The bound that lets the oracle pass skip a smooth block's transforms,
// against the block transform itself, at the threshold's edge.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "dct.h"
#include "dc_bound.h"

namespace quillon {
namespace {

// The operations the bound takes, on one double.
struct OneLane {
  using D = double;
  using M = bool;
  static D Set(double x) { return x; }
  static D Zero() { return 0.0; }
  static D Add(D a, D b) { return a + b; }
  static D Sub(D a, D b) { return a - b; }
  static D Mul(D a, D b) { return a * b; }
  static D Abs(D x) { return std::fabs(x); }
  static M Greater(D a, D b) { return a > b; }
  static M Less(D a, D b) { return a < b; }
  static M And(M a, M b) { return a && b; }
  static D Select(M m, D a, D b) { return m ? a : b; }
};

// The bound's verdict on a block, from its row lines as the kernels hold
// them (each the forward line transform of its four voxels).
bool Verdict(const Transforms& t, const double* block, double threshold) {
  double squares = 0.0, magnitudes = 0.0;
  for (int line = 0; line < 16; ++line) {
    double y[4];
    dct(t, block + 4 * line, y);
    for (double v : y) {
      squares += v * v;
      magnitudes += std::fabs(v);
    }
  }
  double coefficients[64];
  dct3(t, block, coefficients);
  return OnlyDcSurvives<OneLane>(coefficients[0], squares, magnitudes, threshold);
}

// One coefficient besides the first, at `share` of the threshold, at every
// position and under first coefficients from none to far above the
// threshold: the bound never passes a block whose transform keeps a second
// coefficient, and passes those whose second one lies clearly below.
TEST(QuillonDcBound, PassesOnlyBlocksThatKeepTheirFirstCoefficientAlone) {
  const Transforms t = MakeTransforms();
  const double threshold = 8.0;
  int passed = 0, blocks = 0;
  for (double dc : {0.0, 3.0, 40.0, 8000.0}) {
    for (double share : {0.5, 0.9, 0.999, 1.0, 1.0 + 1e-12, 1.001, 1.02, 1.5}) {
      for (int at = 1; at < 64; ++at) {
        for (double sign : {1.0, -1.0}) {
          double coefficients[64] = {};
          coefficients[0] = dc;
          coefficients[at] = sign * share * threshold;
          double block[64];
          idct3(t, coefficients, block);
          double made[64];
          dct3(t, block, made);
          bool below = true;
          for (int i = 1; i < 64; ++i) below = below && std::fabs(made[i]) < threshold;
          const bool verdict = Verdict(t, block, threshold);
          ++blocks;
          passed += verdict;
          EXPECT_TRUE(below || !verdict) << "dc " << dc << " share " << share << " at " << at;
          EXPECT_TRUE(verdict || share > 0.9) << "dc " << dc << " share " << share << " at " << at;
        }
      }
    }
  }
  EXPECT_GT(passed, blocks / 4);

  // Not a number, an infinity, or a threshold inside the margin: never.
  double block[64];
  for (double& x : block) x = 1.0;
  EXPECT_TRUE(Verdict(t, block, threshold));
  EXPECT_FALSE(Verdict(t, block, 0.0));
  block[5] = NAN;
  EXPECT_FALSE(Verdict(t, block, threshold));
  block[5] = INFINITY;
  EXPECT_FALSE(Verdict(t, block, threshold));
}

}  // namespace
}  // namespace quillon
