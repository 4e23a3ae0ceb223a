#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "dct.h"

namespace quillon {
namespace {

uint64_t Bits(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

class BlockTransforms : public ::testing::Test {
 protected:
  const Transforms t_ = MakeTransforms();
  const double* tabla1 = t_.tabla1;
  const double* tabla2 = t_.tabla2;
  const double W1 = t_.W1;
  const double W2 = t_.W2;
};

TEST_F(BlockTransforms, TablesAndFactorsHaveTheirExactBits) {
  for (int n = 0; n < 4; ++n) EXPECT_EQ(tabla1[n], 1.0);
  // The vector kernels count on this, and leave those products out.
  EXPECT_TRUE(HasUnitDcBasis(t_));
  Transforms off = t_;
  off.tabla2[8] = std::nextafter(1.0, 2.0);
  EXPECT_FALSE(HasUnitDcBasis(off));
  for (int n = 0; n < 4; ++n)
    for (int u = 0; u < 4; ++u) EXPECT_EQ(Bits(tabla2[4 * n + u]), Bits(tabla1[4 * u + n]));
  EXPECT_EQ(Bits(W1), 0x3FE0000000000000u);
  EXPECT_EQ(Bits(W2), 0x3FE6A09E667F3BCDu);
  // Entries equal in exact arithmetic are not forced equal: the tables hold
  // what the cosine gives for each argument.
  EXPECT_DOUBLE_EQ(tabla1[8], tabla1[11]);
  EXPECT_NE(Bits(tabla1[8]), Bits(tabla1[11]));
}

TEST_F(BlockTransforms, ConstantBlockHasOnlyItsDcCoefficient) {
  for (double v : {1.0, 100.0, 0.37}) {
    double block[64], coef[64];
    for (double& x : block) x = v;
    dct3(t_, block, coef);
    if (v == 1.0 || v == 100.0) {
      EXPECT_EQ(coef[0], 8 * v);
    }
    EXPECT_NEAR(coef[0], 8 * v, 1e-14 * v);
    for (int i = 1; i < 64; ++i) EXPECT_LT(std::fabs(coef[i]), 1e-14 * v) << i;
  }
}

TEST_F(BlockTransforms, ImpulseAndDcOnlyBlocks) {
  double block[64] = {1.0};
  double coef[64];
  dct3(t_, block, coef);
  EXPECT_EQ(coef[0], 0.125);
  for (double c : coef) EXPECT_GT(c, 0.0);

  for (double y : {8.0, 3.0, 800.0, -2.5}) {
    double dc[64] = {y};
    double out[64];
    idct3(t_, dc, out);
    for (double x : out) EXPECT_EQ(x, y / 8);
  }
  double zeros[64] = {};
  double out[64];
  idct3(t_, zeros, out);
  for (double x : out) EXPECT_EQ(Bits(x), 0u);
}

TEST_F(BlockTransforms, RoundTripAndInPlaceCalls) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-300, 300);
  for (int trial = 0; trial < 50; ++trial) {
    double block[64], coef[64], back[64];
    double largest = 0;
    for (double& x : block) {
      x = value(rng);
      largest = std::fmax(largest, std::fabs(x));
    }
    dct3(t_, block, coef);
    idct3(t_, coef, back);
    for (int i = 0; i < 64; ++i) EXPECT_NEAR(back[i], block[i], 2e-15 * largest * 4);

    double energy_in = 0, energy_out = 0;
    for (int i = 0; i < 64; ++i) {
      energy_in += block[i] * block[i];
      energy_out += coef[i] * coef[i];
    }
    EXPECT_NEAR(energy_in, energy_out, 1e-12 * energy_in);

    double same[64];
    std::memcpy(same, block, sizeof same);
    dct3(t_, same, same);
    EXPECT_EQ(0, std::memcmp(same, coef, sizeof same));
    idct3(t_, same, same);
    EXPECT_EQ(0, std::memcmp(same, back, sizeof same));
  }
}

TEST_F(BlockTransforms, OneNanSpoilsTheWholeBlock) {
  double block[64] = {};
  block[37] = NAN;
  double coef[64];
  dct3(t_, block, coef);
  for (double c : coef) EXPECT_TRUE(std::isnan(c));
  idct3(t_, block, coef);
  for (double c : coef) EXPECT_TRUE(std::isnan(c));
}

}  // namespace
}  // namespace quillon
