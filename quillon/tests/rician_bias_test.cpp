#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "rician_bias.h"

namespace quillon {
namespace {

// The k-th running sum of 0.1, as the table's candidates are formed.
double RunningSum(int k) {
  double a = 0.0;
  for (int i = 0; i < k; ++i) a = a + 0.1;
  return a;
}

std::vector<double> Table(int n, double sigma, int copies = 8) {
  std::vector<double> t(static_cast<size_t>(n) * copies, -1.0);
  RicianBias(n, t.data(), copies, sigma);
  return t;
}

TEST(QuillonBessel, SymmetryAndTheBranchAt375) {
  for (double x : {0.3, 1.0, 3.7, 3.75, 4.0, 12.0, 40.0}) {
    EXPECT_EQ(Bessel0(-x), Bessel0(x));
    EXPECT_EQ(Bessel1(-x), -Bessel1(x));
  }
  EXPECT_EQ(Bessel0(0.0), 1.0);
  EXPECT_EQ(Bessel1(0.0), 0.0);
  // At exactly 3.75 the large-argument branch applies.
  const double large0 = (0.39894228 + 0.01328592 + 0.00225319 - 0.00157565 + 0.00916281 -
                         0.02057706 + 0.02635537 - 0.01647633 + 0.00392377);
  EXPECT_NEAR(Bessel0(3.75), large0 * std::exp(3.75) / std::sqrt(3.75), 1e-12);
  // Both branches approximate the functions closely (I0(1) = 1.2660658..., I1(5) = 24.335642...).
  EXPECT_NEAR(Bessel0(1.0), 1.2660658777520082, 2e-7);
  EXPECT_NEAR(Bessel1(5.0), 24.335642142450524, 24.3 * 2e-7);
  EXPECT_TRUE(std::isnan(Bessel0(NAN)));
}

TEST(QuillonRicianBias, SigmaTenEntries) {
  const auto t = Table(20, 10.0);
  for (int i = 0; i <= 11; ++i) EXPECT_EQ(t[i], 0.0) << i;
  EXPECT_EQ(t[12], RunningSum(1));
  EXPECT_EQ(t[13], RunningSum(39));
  EXPECT_EQ(t[14], RunningSum(70));
  // Expected magnitude of a = 0 is sigma * sqrt(pi / 2).
  EXPECT_NEAR(ExpectedMagnitude(0.0, 10.0), 12.533141373155, 1e-9);
}

TEST(QuillonRicianBias, CopiesAreIdentical) {
  const int n = 50;
  const auto t = Table(n, 3.0);
  for (int k = 1; k < 8; ++k)
    for (int i = 0; i < n; ++i) EXPECT_EQ(t[k * n + i], t[i]);
}

TEST(QuillonRicianBias, SigmaZeroUsesTheFallbackIndex) {
  const auto t = Table(5, 0.0, 1);
  EXPECT_EQ(t[0], RunningSum(1));
  EXPECT_EQ(t[1], RunningSum(11));
  EXPECT_LT(RunningSum(10), 1.0);
  EXPECT_EQ(t[2], RunningSum(20));
  EXPECT_GT(t[2], 2.0);
  EXPECT_EQ(t[3], RunningSum(30));
  EXPECT_GT(t[3], 3.0);
}

TEST(QuillonRicianBias, NegativeSigmaEqualsItsMagnitude) {
  EXPECT_EQ(Table(80, -4.5), Table(80, 4.5));
}

TEST(QuillonRicianBias, CandidateRangeEndsBelowTheLength) {
  // With a tiny sigma every candidate lands on its own integer part, so
  // the last entry shows the last candidate that ran.
  const auto one = Table(1, 1e-3, 1);
  EXPECT_EQ(one[0], RunningSum(1));
  const auto hundred = Table(100, 1e-3, 1);
  int k = 0;
  while (std::trunc(RunningSum(k)) < 99) ++k;
  EXPECT_EQ(hundred[99], RunningSum(k));
  EXPECT_LT(RunningSum(1000), 100.0);  // 10N + 1 candidates: the last is just below N
  EXPECT_EQ(Table(0, 5.0, 8).size(), 0u);
}

TEST(QuillonRicianBias, LengthOfTheTable) {
  EXPECT_EQ(BiasLength(2.3), 5);
  EXPECT_EQ(BiasLength(3.0), 6);
  EXPECT_EQ(BiasLength(0.0), 0);
  EXPECT_EQ(BiasLength(134217727.5), 268435455);
  EXPECT_EQ(BiasLength(134217728.0), -1);
  EXPECT_EQ(BiasLength(INFINITY), -1);
  const double v[] = {-5.0, NAN, 2.5, -1.0};
  EXPECT_EQ(LargestValue(v, 4), 2.5);
  EXPECT_EQ(LargestValue(v, 2), 0.0);
}

}  // namespace
}  // namespace quillon
